# Builds a signed aws-chunked PUT (header signature, chunk-signature chain, optional CRC-32 trailer
# and trailer signature) with Python's hmac/hashlib, as an independent signer for the stream tests.
# Usage: stream_request.py OUT PORT ACCESS SECRET PATH SIZE CHUNK MODE[,MODE...] [REGION]
#   MODE: signed | trailer | tamper (one payload byte changed after signing) | cut (no terminal chunk)
#         | badcrc (trailer mode with a CRC-32 that differs from the payload, the trailer signed)
#   REGION: the credential scope's region, us-east-1 when not given
# Writes one request per mode to OUT.MODE, each to PATH-MODE. The payload is SIZE bytes of
# "abcdefghijklmnopqrstuvwxyz" repeated.
import datetime
import hashlib
import hmac
import struct
import sys
import zlib
import base64

out, port, access, secret, base_path, size, chunk, modes = sys.argv[1:9]
region = sys.argv[9] if len(sys.argv) > 9 else "us-east-1"
size, chunk = int(size), int(chunk)
payload = (b"abcdefghijklmnopqrstuvwxyz" * (size // 26 + 1))[:size]
now = datetime.datetime.now(datetime.timezone.utc)
amz_date = now.strftime("%Y%m%dT%H%M%SZ")
date = amz_date[:8]
scope = date + "/" + region + "/s3/aws4_request"
empty = hashlib.sha256(b"").hexdigest()


def mac(key, msg):
    return hmac.new(key, msg.encode(), hashlib.sha256).digest()


key = mac(("AWS4" + secret).encode(), date)
for part in (region, "s3", "aws4_request"):
    key = mac(key, part)


def sign(sts):
    return hmac.new(key, sts.encode(), hashlib.sha256).hexdigest()


pieces = [payload[i:i + chunk] for i in range(0, len(payload), chunk)]
crc_line = "x-amz-checksum-crc32:" + base64.b64encode(struct.pack(">I", zlib.crc32(payload))).decode()
bad_crc_line = "x-amz-checksum-crc32:" + base64.b64encode(struct.pack(">I", zlib.crc32(payload) ^ 1)).decode()


def build(mode, path):
    trailer = mode in ("trailer", "badcrc")
    crc = bad_crc_line if mode == "badcrc" else crc_line
    content_sha = ("STREAMING-AWS4-HMAC-SHA256-PAYLOAD-TRAILER" if trailer
                   else "STREAMING-AWS4-HMAC-SHA256-PAYLOAD")

    def body_for(seed):
        prev, body = seed, b""
        for p in pieces + [b""]:
            sig = sign("AWS4-HMAC-SHA256-PAYLOAD\n%s\n%s\n%s\n%s\n%s" % (amz_date, scope, prev, empty,
                                                                       hashlib.sha256(p).hexdigest()))
            prev = sig
            if mode == "cut" and not p:
                break
            body += b"%x;chunk-signature=%s\r\n" % (len(p), sig.encode())
            if p:
                body += p + b"\r\n"
        if trailer:
            text = crc + "\n"
            tsig = sign("AWS4-HMAC-SHA256-TRAILER\n%s\n%s\n%s\n%s" % (amz_date, scope, prev,
                                                                    hashlib.sha256(text.encode()).hexdigest()))
            body += crc.encode() + b"\r\nx-amz-trailer-signature:" + tsig.encode() + b"\r\n"
        return body + b"\r\n"

    # The body length is signed, so build it once with a placeholder seed to learn it.
    length = len(body_for("0" * 64))
    headers = [
        ("content-encoding", "aws-chunked"),
        ("content-length", str(length)),
        ("host", "127.0.0.1:" + port),
        ("x-amz-content-sha256", content_sha),
        ("x-amz-date", amz_date),
        ("x-amz-decoded-content-length", str(size)),
    ]
    if trailer:
        headers.append(("x-amz-trailer", "x-amz-checksum-crc32"))
    signed = ";".join(h for h, _ in headers)
    canonical = "PUT\n%s\n\n%s\n%s\n%s" % (path, "".join("%s:%s\n" % hv for hv in headers), signed, content_sha)
    seed = sign("AWS4-HMAC-SHA256\n%s\n%s\n%s" % (amz_date, scope, hashlib.sha256(canonical.encode()).hexdigest()))
    body = body_for(seed)
    if mode == "tamper":
        at = body.index(b"\r\n") + 2 + len(pieces[0]) // 2
        body = body[:at] + (b"Z" if body[at:at + 1] != b"Z" else b"Y") + body[at + 1:]
    head = "PUT %s HTTP/1.1\r\n" % path
    head += "".join("%s: %s\r\n" % hv for hv in headers)
    head += "Authorization: AWS4-HMAC-SHA256 Credential=%s/%s, SignedHeaders=%s, Signature=%s\r\n\r\n" % (
        access, scope, signed, seed)
    with open(out + "." + mode, "wb") as f:
        f.write(head.encode() + body)


for m in modes.split(","):
    build(m, base_path + "-" + m)
