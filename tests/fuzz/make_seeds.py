#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into seeds/<target>/.

The signed requests use the credential pair of the recorded client requests (the one the fuzz
targets verify against), so the fuzzers start from requests that pass authentication and
streaming uploads whose chunk signatures check. Run it again after changing a seed here.
"""
import hashlib
import hmac
import os
import struct

ACCESS = "AKIDWIRECAPTURE00001"
SECRET = "wireCaptureSecretKey/0123456789abcdefghij"
DATE = "20260101T000000Z"
DAY = DATE[:8]
SCOPE = f"{DAY}/us-east-1/s3/aws4_request"
EMPTY = hashlib.sha256(b"").hexdigest()
# The seed signature of the streaming Authorization value the aws_chunked target arms with.
STREAM_SEED = "4f0c1c2d7b8e5a6f9d3b2a1c0e9f8d7c6b5a4f3e2d1c0b9a8f7e6d5c4b3a2f10"
HERE = os.path.dirname(os.path.abspath(__file__))


def hmac256(key, text):
    return hmac.new(key, text.encode(), hashlib.sha256).digest()


def signing_key():
    k = hmac256(("AWS4" + SECRET).encode(), DAY)
    for part in ("us-east-1", "s3", "aws4_request"):
        k = hmac256(k, part)
    return k


def canonical_query(query):
    pieces = sorted(p if "=" in p else p + "=" for p in query.split("&") if p)
    return "&".join(pieces)


def signed_head(method, target, headers, payload_hash):
    """The request head (without its empty line) signed over host and every x-amz-* header."""
    path, _, query = target.partition("?")
    headers = [("Host", "127.0.0.1:9000"), ("x-amz-date", DATE),
               ("x-amz-content-sha256", payload_hash)] + headers
    signed = sorted({n.lower() for n, _ in headers if n.lower() == "host" or n.lower().startswith("x-amz-")})
    values = {n.lower(): v.strip() for n, v in headers}
    creq = "\n".join([method, path, canonical_query(query),
                      "".join(f"{n}:{values[n]}\n" for n in signed), ";".join(signed), payload_hash])
    sts = "\n".join(["AWS4-HMAC-SHA256", DATE, SCOPE, hashlib.sha256(creq.encode()).hexdigest()])
    sig = hmac.new(signing_key(), sts.encode(), hashlib.sha256).hexdigest()
    authz = (f"AWS4-HMAC-SHA256 Credential={ACCESS}/{SCOPE}, SignedHeaders={';'.join(signed)}, "
             f"Signature={sig}")
    lines = [f"{method} {target} HTTP/1.1"] + [f"{n}: {v}" for n, v in headers]
    lines.append(f"Authorization: {authz}")
    return "\r\n".join(lines), sig


def aws_chunked(chunks, seed_sig):
    out, prev = b"", seed_sig
    for data in chunks + [b""]:
        sts = "\n".join(["AWS4-HMAC-SHA256-PAYLOAD", DATE, SCOPE, prev, EMPTY,
                         hashlib.sha256(data).hexdigest()])
        prev = hmac.new(signing_key(), sts.encode(), hashlib.sha256).hexdigest()
        out += f"{len(data):x};chunk-signature={prev}\r\n".encode() + data + b"\r\n"
    return out + b"\r\n"


def http_chunked(body, piece=5):
    out = b""
    for i in range(0, len(body), piece):
        out += f"{len(body[i:i + piece]):x}\r\n".encode() + body[i:i + piece] + b"\r\n"
    return out + b"0\r\n\r\n"


def put(target, body, extra=()):
    head, _ = signed_head("PUT", target, list(extra), hashlib.sha256(body).hexdigest())
    return (head + f"\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body


def streamed(target, chunks, carrier="length"):
    decoded = sum(len(c) for c in chunks)
    head, sig = signed_head("PUT", target, [("x-amz-decoded-content-length", str(decoded)),
                                            ("Content-Encoding", "aws-chunked")],
                            "STREAMING-AWS4-HMAC-SHA256-PAYLOAD")
    body = aws_chunked(chunks, sig)
    if carrier == "length":
        return (head + f"\r\nContent-Length: {len(body)}\r\n\r\n").encode() + body
    return (head + "\r\nTransfer-Encoding: chunked\r\n\r\n").encode() + http_chunked(body, 64)


def sigv2(text):
    """The Version 2 signature (Base64 HMAC-SHA1) of a string to sign."""
    import base64
    return base64.b64encode(hmac.new(SECRET.encode(), text.encode(), hashlib.sha1).digest()).decode()


def sigv2_seeds():
    """Version 2 requests under the fuzz keys: a presigned GET whose Expires lies far ahead (so
    it passes whatever the clock says), a header-signed PUT with x-amz-* headers and
    sub-resources, and a form upload's shape."""
    from urllib.parse import quote
    expires = "4102444800"
    sts = "GET\n\n\n%s\n/bucket/a%%20b?response-content-type=text/x y&versionId=v1" % expires
    get = ("GET /bucket/a%%20b?versionId=v1&response-content-type=text%%2Fx%%20y&prefix=p"
           "&AWSAccessKeyId=%s&Expires=%s&Signature=%s HTTP/1.1\r\nHost: h\r\n\r\n"
           % (ACCESS, expires, quote(sigv2(sts), safe="")))
    date = "Thu, 01 Jan 2026 00:00:00 GMT"
    sts = ("PUT\nbWQ1\ntext/plain\n\nx-amz-date:%s\nx-amz-meta-a:1,2\n/bucket/k?partNumber=2&uploadId=u"
           % date)
    put = ("PUT /bucket/k?uploadId=u&partNumber=2 HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n"
           "Content-MD5: bWQ1\r\nx-amz-date: %s\r\nx-amz-meta-a: 1\r\nX-Amz-Meta-A: 2\r\n"
           "Authorization: AWS %s:%s\r\nContent-Length: 0\r\n\r\n" % (date, ACCESS, sigv2(sts)))
    return {"get_presigned": get, "put_header_signed": put}


def write(target, name, data):
    d = os.path.join(HERE, "seeds", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def main():
    get_head, _ = signed_head("GET", "/photos/2024/a%20b.jpg?list-type=2&prefix=x", [], EMPTY)
    copy_head, _ = signed_head("PUT", "/dst/key", [("x-amz-copy-source", "/src/a%2Fb")], EMPTY)
    requests = {
        "get_signed": get_head + "\r\n\r\n",
        "copy_signed": copy_head + "\r\n\r\n",
        "put_signed": put("/bucket/obj.txt", b"hello world\n", [("x-amz-meta-color", "blue")]),
        "put_streamed": streamed("/bucket/big", [b"a" * 70, b"bcd"]),
        "put_streamed_http_chunked": streamed("/bucket/big", [b"0123456789"], carrier="chunked"),
        "put_http_chunked": b"PUT /bucket/k HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n"
                            b"Expect: 100-continue\r\n\r\n" + http_chunked(b"hello chunked world"),
        "lf_only": "GET /bucket/dir/../x HTTP/1.1\nHost: h\n\n",
        "encoded_dots": "DELETE /bucket/x%2F.%2Fy?uploadId=abc HTTP/1.1\r\nHost: h\r\n\r\n",
        "service": "GET / HTTP/1.1\r\nHost: h\r\nDate: Thu, 01 Jan 2026 00:00:00 GMT\r\n\r\n",
    }
    for t in ("head", "sigv4", "body"):
        for name, data in requests.items():
            write(t, name, data)
    for name, data in sigv2_seeds().items():
        write("sigv2", name, data)

    for name, q in {"plain": "uploadId\nuploadId=abc&partNumber=3",
                    "encoded": "prefix\nprefix=a%2Fb%20c&delimiter=%2F&list-type=2",
                    "empty_pieces": "x\n&&x&x=&=y&%zz&x=%4",
                    "bare": "delete"}.items():
        write("query", name, q)

    for name, (size, value) in {"suffix": (100, "bytes=-10"), "open": (100, "bytes=90-"),
                                "closed": (100, "bytes=0-0"), "list": (10, "bytes=1-2,4-5"),
                                "big": (1 << 40, "bytes=18446744073709551615-"),
                                "blank": (5, " bytes= 1 - 3")}.items():
        write("range", name, struct.pack("<Q", size) + value.encode())

    for name, v in {"plain": "/src-bucket/dir/key.txt", "encoded": "src-bucket/a%20b%2Fc",
                    "dots": "/src-bucket/a/%2E%2E/b", "nul": "src-bucket/a%00b",
                    "version": "src-bucket/k?versionId=1"}.items():
        write("copy_source", name, v)

    write("xml", "delete", '<?xml version="1.0"?><Delete><Quiet>true</Quiet><Object><Key>a&amp;b'
                           '</Key></Object><Object><Key>&#x1F600;&#65;&lt;</Key></Object></Delete>')
    write("xml", "complete", "<CompleteMultipartUpload><Part><PartNumber> 1 </PartNumber>"
                             "<ETag>&quot;0123&quot;</ETag></Part><Part><PartNumber>10000"
                             "</PartNumber></Part><Part><PartNumber>0</PartNumber></Part>"
                             "</CompleteMultipartUpload>")

    write("policy", "public", '{"Version":"2012-10-17","Statement":[{"Sid":"R","Effect":"Allow",'
                              '"Principal":"*","Action":["s3:GetObject","s3:ListBucket"],"Resource":'
                              '["arn:aws:s3:::fuzz-b/*","arn:aws:s3:::fuzz-b"]}]}\0img/a.png')
    write("policy", "deny", '{"Statement":{"Effect":"Deny","Principal":{"AWS":["*"]},"NotAction":'
                            '"s3:Get?bject","Resource":"arn:aws:s3:::fuzz-*","Condition":{"Bool":'
                            '{"aws:SecureTransport":false},"IpAddress":{"aws:SourceIp":["10.0.0.0/8",'
                            '1,null]}}}}\0doc/\u00e9')
    for name, (pick, doc) in {
            "encryption": (0, "<ServerSideEncryptionConfiguration><Rule><ApplyServerSideEncryptionByDefault>"
                              "<SSEAlgorithm>AES256</SSEAlgorithm></ApplyServerSideEncryptionByDefault>"
                              "<BucketKeyEnabled>true</BucketKeyEnabled></Rule>"
                              "</ServerSideEncryptionConfiguration>"),
            "access_block": (1, "<PublicAccessBlockConfiguration><BlockPublicPolicy>true"
                                "</BlockPublicPolicy></PublicAccessBlockConfiguration>"),
            "notification": (5, "<NotificationConfiguration><TopicConfiguration><Id>t</Id><Topic>arn"
                                "</Topic><Event>s3:ObjectCreated:*</Event><Filter><S3Key><FilterRule>"
                                "<Name>prefix</Name><Value>a&amp;b</Value></FilterRule></S3Key></Filter>"
                                "</TopicConfiguration></NotificationConfiguration>"),
            "website": (6, "<WebsiteConfiguration><IndexDocument><Suffix>index.html</Suffix>"
                           "</IndexDocument><RoutingRules><RoutingRule><Condition><KeyPrefixEquals>a/"
                           "</KeyPrefixEquals></Condition><Redirect><ReplaceKeyPrefixWith>b/"
                           "</ReplaceKeyPrefixWith></Redirect></RoutingRule></RoutingRules>"
                           "</WebsiteConfiguration>"),
            "lifecycle": (7, "<?xml version=\"1.0\"?><LifecycleConfiguration><Rule><ID>r</ID><Filter><And>"
                             "<Prefix>p/</Prefix><Tag><Key>k</Key><Value>v</Value></Tag></And></Filter>"
                             "<Status>Enabled</Status><Transition><Days>30</Days><StorageClass>GLACIER"
                             "</StorageClass></Transition><Expiration><Days>365</Days></Expiration></Rule>"
                             "</LifecycleConfiguration>")}.items():
        write("config_xml", name, bytes([pick]) + doc.encode())

    write("aws_chunked", "signed", b"\x01" + aws_chunked([b"hello", b"world!"], STREAM_SEED))
    write("aws_chunked", "unsigned_trailer",
          b"\x04" + b"5\r\nhello\r\n0\r\nx-amz-checksum-crc32:NhCmhg==\r\n\r\n")
    write("aws_chunked", "plain", b"\x00" + b"3;chunk-signature=00\r\nabc\r\n0;x\r\n\r\n")

    write("meta", "file", "text/plain\n0123456789abcdef0123456789abcdef\nx-amz-meta-a:1\r\n"
                          "x-amz-meta-b: two\n")
    write("meta", "head", "PUT /b/k HTTP/1.1\r\nX-Amz-Meta-Color: red\r\nx-amz-meta-long:"
                          + "v" * 1100 + "\r\nx-amz-meta-cr:a\rb\r\n\r\n")

    write("tags", "document", '<?xml version="1.0" encoding="UTF-8"?>\n<Tagging xmlns="x">'
                              "<TagSet><Tag><Key>color</Key><Value>blue &#x1F600;</Value></Tag>"
                              "<Tag><Value></Value><Key>a+-=._:/@ z</Key></Tag></TagSet></Tagging>")
    write("tags", "query", "color=blue&size%20class=x%3Dl+2&&empty&%F0%9F%98%80=%C3%A9")
    write("tags", "record", "+Tag k%3Ab %25v%20w")

    # The first byte picks the hexadecimal reader's flags (blanks 1, sign 2, 0x 4, saturate 8).
    for name, (flags, text) in {"rfc1123": (1, "Wed, 01 May 2024 12:00:00 GMT"),
                                "rfc850": (0, "Wednesday, 01-May-24 12:00:00 GMT"),
                                "asctime": (0, "Wed May  1 12:00:00 2024"),
                                "signer": (3, "01 May 2024 12:00:00 +0000"),
                                "amz": (0, "20240501T120000Z"),
                                "iso": (0, "2024-05-01T12:00:00.000Z"),
                                "chunk": (1, " 1a2b;chunk-signature=00"),
                                "aws_size": (15, "-0x7fffffff"),
                                "percent": (0, "a%20b%zz%4%00"),
                                "refs": (0, "a&amp;&#x1F600;&#65;&bogus;&#0;")}.items():
        write("readers", name, bytes([flags]) + text.encode())


if __name__ == "__main__":
    main()
