"""boto3 (whichever the interpreter running this file has) against quillmar-s3d, default config."""
import datetime
import gzip
import io
import os
import sys
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

import boto3  # noqa: E402
import botocore  # noqa: E402
from botocore.config import Config  # noqa: E402
from boto3.s3.transfer import TransferConfig  # noqa: E402

BIG = 20 * 1024 * 1024


def s3(srv, secret=q.SECRET_KEY, region=q.REGION, config=None):
    os.environ.pop("AWS_CA_BUNDLE", None)
    return boto3.client("s3", endpoint_url=srv.endpoint, region_name=region,
                        aws_access_key_id=q.ACCESS_KEY, aws_secret_access_key=secret, config=config)


def region_round_trip(srv, region, big):
    """A client configured for another region than us-east-1, end to end: every request is
    signed with that region's scope (header, aws-chunked or checksummed bodies, presigned URL)."""
    c = s3(srv, region=region)
    b = "boto-" + region
    c.create_bucket(Bucket=b, CreateBucketConfiguration={"LocationConstraint": region})
    q.check(c.get_bucket_location(Bucket=b).get("LocationConstraint") in (None, ""), "location")
    c.put_object(Bucket=b, Key="dir/k.txt", Body=b"regional")
    c.put_object(Bucket=b, Key="dir/stream.bin", Body=io.BytesIO(big[:200000]))
    q.check(c.get_object(Bucket=b, Key="dir/k.txt")["Body"].read() == b"regional", "get")
    q.check(q.read(os.path.join(srv.root, b, "dir", "stream.bin")) == big[:200000], "stream differs")
    r = c.list_objects_v2(Bucket=b, Prefix="dir/", Delimiter="/")
    q.check([x["Key"] for x in r.get("Contents", [])] == ["dir/k.txt", "dir/stream.bin"], "list %r" % r)
    up = c.create_multipart_upload(Bucket=b, Key="mp.bin")["UploadId"]
    parts = []
    for n, piece in ((1, big[:5 * 1024 * 1024]), (2, big[5 * 1024 * 1024:6 * 1024 * 1024])):
        parts.append({"PartNumber": n, "ETag": c.upload_part(Bucket=b, Key="mp.bin", UploadId=up,
                                                             PartNumber=n, Body=piece)["ETag"]})
    c.complete_multipart_upload(Bucket=b, Key="mp.bin", UploadId=up, MultipartUpload={"Parts": parts})
    q.check(q.read(os.path.join(srv.root, b, "mp.bin")) == big[:6 * 1024 * 1024], "multipart differs")
    # boto3 1.26 presigns in the older signature scheme unless told otherwise.
    p = s3(srv, region=region, config=Config(signature_version="s3v4"))
    url = p.generate_presigned_url("get_object", Params={"Bucket": b, "Key": "dir/k.txt"}, ExpiresIn=300)
    q.check("%2F" + region + "%2Fs3%2F" in url, "presigned for another scope: %s" % url)
    with urllib.request.urlopen(url, timeout=60) as f:
        q.check(f.read() == b"regional", "presigned GET")
    c.delete_objects(Bucket=b, Delete={"Objects": [{"Key": k} for k in ("dir/k.txt", "dir/stream.bin")]})
    c.delete_object(Bucket=b, Key="mp.bin")
    c.delete_bucket(Bucket=b)
    q.check(not os.path.exists(os.path.join(srv.root, b)), "bucket dir still there")


HUNDRED = 100 * 1024 * 1024


def checksum_round_trips(srv, res, c):
    """Uploads of 100 MiB through the transfer manager with the client's default checksums, with
    SHA256 (composite) and, where this boto3 knows checksum types, a full-object CRC32 (CRC32C needs the CRT); the
    downloads validate in checksum mode; GetObjectAttributes describes the parts."""
    import tempfile
    from s3transfer.manager import TransferManager
    b = "boto-sums"
    c.create_bucket(Bucket=b)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "hundred.bin")
        big = q.data(HUNDRED, 26)
        q.write(path, big)
        digest = q.md5(big)
        with res.op("upload_file 100M"):
            c.upload_file(path, b, "default.bin")
            q.check(q.md5(q.read(os.path.join(srv.root, b, "default.bin"))) == digest, "stored bytes differ")
            h = c.head_object(Bucket=b, Key="default.bin", ChecksumMode="ENABLED")
            # An older botocore does not parse every algorithm: the raw header tells.
            raw = h["ResponseMetadata"]["HTTPHeaders"]
            q.check(any(k.startswith("x-amz-checksum-") and k != "x-amz-checksum-type" for k in raw),
                    "no checksum: %r" % sorted(raw))
        with res.op("upload_file SHA256"):
            c.upload_file(path, b, "sha.bin", ExtraArgs={"ChecksumAlgorithm": "SHA256"})
            h = c.head_object(Bucket=b, Key="sha.bin", ChecksumMode="ENABLED")
            q.check(h.get("ChecksumSHA256", "").endswith("-13"), "composite %r" % h.get("ChecksumSHA256"))
            a = c.get_object_attributes(Bucket=b, Key="sha.bin",
                                        ObjectAttributes=["ETag", "Checksum", "ObjectParts", "StorageClass", "ObjectSize"])
            q.check(a["ObjectSize"] == HUNDRED and a["StorageClass"] == "STANDARD", str(a)[:300])
            q.check(a["ObjectParts"]["TotalPartsCount"] == 13, str(a["ObjectParts"])[:300])
            q.check(all(p.get("ChecksumSHA256") for p in a["ObjectParts"]["Parts"]), "part checksums missing")
            q.check(a["ETag"].strip('"') == h["ETag"].strip('"'), "etag %r" % a["ETag"])
        if "ChecksumType" in TransferManager.ALLOWED_UPLOAD_ARGS:
            with res.op("upload_file FULL_OBJECT"):
                c.upload_file(path, b, "full.bin", ExtraArgs={"ChecksumAlgorithm": "CRC32", "ChecksumType": "FULL_OBJECT"})
                h = c.head_object(Bucket=b, Key="full.bin", ChecksumMode="ENABLED")
                q.check(h.get("ChecksumType") == "FULL_OBJECT" and "-" not in h.get("ChecksumCRC32", "-"), str(h)[:400])
                # SHA256 has no full-object form, here as in S3.
                try:
                    c.upload_file(path, b, "refused.bin", ExtraArgs={
                        "ChecksumAlgorithm": "SHA256", "ChecksumType": "FULL_OBJECT"})
                    refused = "stored"
                except Exception as e:  # the transfer manager wraps the client error
                    refused = str(e)
                q.check("InvalidRequest" in refused, refused[:300])
            with res.op("download ChecksumMode"):
                out = os.path.join(tmp, "back.bin")
                c.download_file(b, "full.bin", out, ExtraArgs={"ChecksumMode": "ENABLED"})
                q.check(q.md5(q.read(out)) == digest, "download differs")
                # A whole-object GET is validated by the client against the stored CRC.
                c.put_object(Bucket=b, Key="one.bin", Body=big[:3 * 1024 * 1024], ChecksumAlgorithm="CRC32")
                r = c.get_object(Bucket=b, Key="one.bin", ChecksumMode="ENABLED")
                q.check(r["Body"].read() == big[:3 * 1024 * 1024] and r.get("ChecksumCRC32"), "validated get")
        else:
            with res.op("download ChecksumMode"):
                out = os.path.join(tmp, "back.bin")
                c.download_file(b, "sha.bin", out, ExtraArgs={"ChecksumMode": "ENABLED"})
                q.check(q.md5(q.read(out)) == digest, "download differs")
        for k in [x["Key"] for x in c.list_objects_v2(Bucket=b).get("Contents", [])]:
            c.delete_object(Bucket=b, Key=k)
        c.delete_bucket(Bucket=b)


def versioning_round_trip(c, root):
    """Two versions, a delete marker and its removal, a version deleted for good, a copy from an
    older version, the listing paged one entry at a time, a suspended write of the null version,
    and the cleanup a compatibility suite does: every version and marker deleted, then the bucket."""
    vb = "boto-versions"
    c.create_bucket(Bucket=vb)
    q.check("Status" not in c.get_bucket_versioning(Bucket=vb), "never set, yet a status")
    c.put_bucket_versioning(Bucket=vb, VersioningConfiguration={"Status": "Enabled"})
    q.check(c.get_bucket_versioning(Bucket=vb).get("Status") == "Enabled", "not enabled")
    v1 = c.put_object(Bucket=vb, Key="doc.txt", Body=b"one")["VersionId"]
    v2 = c.put_object(Bucket=vb, Key="doc.txt", Body=b"second")["VersionId"]
    q.check(v1 and v2 and v1 != v2 and "null" not in (v1, v2), "version ids %r %r" % (v1, v2))
    q.check(q.read(os.path.join(root, vb, "doc.txt")) == b"second", "the plain file is not the newest")
    g = c.get_object(Bucket=vb, Key="doc.txt", VersionId=v1)
    q.check(g["Body"].read() == b"one" and g["VersionId"] == v1, "older version")
    h = c.head_object(Bucket=vb, Key="doc.txt")
    q.check(h["VersionId"] == v2 and h["ContentLength"] == 6, "head %r" % h.get("VersionId"))
    d = c.delete_object(Bucket=vb, Key="doc.txt")
    marker = d.get("VersionId")
    q.check(d.get("DeleteMarker") is True and marker, "delete marker %r" % d)
    q.check(error_code(lambda: c.get_object(Bucket=vb, Key="doc.txt")) == ("NoSuchKey", 404), "marker hides")
    q.check(not os.path.exists(os.path.join(root, vb, "doc.txt")), "plain file kept under a marker")
    versions, markers = [], []
    for page in c.get_paginator("list_object_versions").paginate(Bucket=vb, PaginationConfig={"PageSize": 1}):
        versions += [(v["Key"], v["VersionId"], v["IsLatest"]) for v in page.get("Versions", [])]
        markers += [(m["Key"], m["VersionId"], m["IsLatest"]) for m in page.get("DeleteMarkers", [])]
    q.check(versions == [("doc.txt", v2, False), ("doc.txt", v1, False)], "versions %r" % versions)
    q.check(markers == [("doc.txt", marker, True)], "markers %r" % markers)
    c.delete_object(Bucket=vb, Key="doc.txt", VersionId=marker)
    q.check(c.get_object(Bucket=vb, Key="doc.txt")["Body"].read() == b"second", "marker removed, not restored")
    q.check(q.read(os.path.join(root, vb, "doc.txt")) == b"second", "the plain file did not come back")
    cp = c.copy_object(Bucket=vb, Key="copy.txt", CopySource={"Bucket": vb, "Key": "doc.txt", "VersionId": v1})
    q.check(cp.get("CopySourceVersionId") == v1 and cp.get("VersionId"), "copy answer %r" % cp)
    q.check(c.get_object(Bucket=vb, Key="copy.txt")["Body"].read() == b"one", "copy of an older version")
    c.delete_object(Bucket=vb, Key="doc.txt", VersionId=v1)
    left = [v["VersionId"] for v in c.list_object_versions(Bucket=vb, Prefix="doc").get("Versions", [])]
    q.check(left == [v2], "after deleting v1 for good: %r" % left)
    c.put_bucket_versioning(Bucket=vb, VersioningConfiguration={"Status": "Suspended"})
    q.check(c.put_object(Bucket=vb, Key="doc.txt", Body=b"n1").get("VersionId") in (None, "null"), "suspended id")
    c.put_object(Bucket=vb, Key="doc.txt", Body=b"n2")
    ids = [v["VersionId"] for v in c.list_object_versions(Bucket=vb, Prefix="doc").get("Versions", [])]
    q.check(ids == ["null", v2], "suspended writes replace the null version: %r" % ids)
    q.check(error_code(lambda: c.delete_bucket(Bucket=vb))[1] == 409, "bucket with versions deleted")
    lv = c.list_object_versions(Bucket=vb)
    gone = [{"Key": e["Key"], "VersionId": e["VersionId"]} for e in lv.get("Versions", []) + lv.get("DeleteMarkers", [])]
    r = c.delete_objects(Bucket=vb, Delete={"Objects": gone})
    q.check(len(r.get("Deleted", [])) == len(gone) and not r.get("Errors"), "cleanup %r" % r)
    c.delete_bucket(Bucket=vb)


def error_code(fn):
    try:
        fn()
    except botocore.exceptions.ClientError as e:
        return e.response.get("Error", {}).get("Code"), e.response["ResponseMetadata"]["HTTPStatusCode"]
    return None, 200


def main():
    a = q.main_args()
    client = a.client or "boto3-%s" % boto3.__version__
    res = q.Results(a.results, client)
    small = b"small object body"
    big = q.data(BIG, 2)
    with q.Server(a.server, keys=True) as srv:
        c = s3(srv)
        b = "boto-bucket"
        with res.op("make bucket"):
            c.create_bucket(Bucket=b)
        with res.op("list buckets"):
            q.check(b in [x["Name"] for x in c.list_buckets()["Buckets"]], "not listed")
        with res.op("head bucket"):
            c.head_bucket(Bucket=b)
            q.check(c.get_bucket_location(Bucket=b).get("LocationConstraint") in (None, ""), "location")
        with res.op("put small+meta"):
            c.put_object(Bucket=b, Key="small.txt", Body=small, ContentType="text/x-note", Metadata={"owner": "ann"})
            h = c.head_object(Bucket=b, Key="small.txt")
            q.check(h["ContentType"] == "text/x-note", h["ContentType"])
            q.check(h["Metadata"] == {"owner": "ann"}, str(h["Metadata"]))
        with res.op("content headers"):
            body = gzip.compress(small)
            expires = datetime.datetime(2044, 12, 1, 16, 0, 0, tzinfo=datetime.timezone.utc)
            c.put_object(Bucket=b, Key="page.txt.gz", Body=body, ContentEncoding="gzip",
                         CacheControl="max-age=3600", ContentDisposition='attachment; filename="page.txt"',
                         ContentLanguage="en-GB", Expires=expires)
            h = c.head_object(Bucket=b, Key="page.txt.gz")
            q.check(h.get("ContentEncoding") == "gzip", "encoding %r" % h.get("ContentEncoding"))
            q.check(h.get("CacheControl") == "max-age=3600", "cache control %r" % h.get("CacheControl"))
            q.check(h.get("ContentDisposition") == 'attachment; filename="page.txt"', "disposition")
            q.check(h.get("ContentLanguage") == "en-GB", "language %r" % h.get("ContentLanguage"))
            q.check(h.get("Expires") == expires or h.get("ExpiresString") == "Thu, 01 Dec 2044 16:00:00 GMT",
                    "expires %r" % h.get("Expires"))
            g = c.get_object(Bucket=b, Key="page.txt.gz", ResponseCacheControl="no-cache",
                             ResponseContentType="application/gzip")
            q.check(g["Body"].read() == body, "stored bytes differ")
            q.check(g.get("CacheControl") == "no-cache" and g.get("ContentType") == "application/gzip",
                    "overrides %r %r" % (g.get("CacheControl"), g.get("ContentType")))
        with res.op("put 20 MiB"):
            c.upload_fileobj(io.BytesIO(big), b, "big.bin")
            q.check(q.read(os.path.join(srv.root, b, "big.bin")) == big, "stored bytes differ")
            cfg = TransferConfig(multipart_threshold=5 * 1024 * 1024, multipart_chunksize=5 * 1024 * 1024)
            path = os.path.join(srv.root, "..", os.path.basename(srv.root) + "-up.bin")
            q.write(path, big[:12 * 1024 * 1024])
            c.upload_file(path, b, "up5.bin", Config=cfg)
            os.unlink(path)
            q.check(q.read(os.path.join(srv.root, b, "up5.bin")) == big[:12 * 1024 * 1024], "upload_file differs")
        with res.op("bad digest"):
            # A wrong Content-MD5 or checksum header is refused and the stored object stays as it was.
            for extra in ({"ContentMD5": "1B2M2Y8AsgTpgAmY7PhCfg=="}, {"ChecksumCRC32": "AAAAAA=="},
                          {"ChecksumSHA256": "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpbWZG3hSuFU="}):
                code = error_code(lambda: c.put_object(Bucket=b, Key="small.txt", Body=b"other", **extra))
                q.check(code == ("BadDigest", 400), "%r: %r" % (extra, code))
            q.check(q.read(os.path.join(srv.root, b, "small.txt")) == small, "object changed")
            c.put_object(Bucket=b, Key="sum.bin", Body=big[:70000], ChecksumAlgorithm="SHA256")
            q.check(c.get_object(Bucket=b, Key="sum.bin")["Body"].read() == big[:70000], "checksummed put")
        with res.op("put stream"):
            c.put_object(Bucket=b, Key="stream.bin", Body=io.BytesIO(big[:300000]))
            q.check(q.read(os.path.join(srv.root, b, "stream.bin")) == big[:300000], "stream differs")
        with res.op("get whole"):
            q.check(c.get_object(Bucket=b, Key="big.bin")["Body"].read() == big, "download differs")
            # Above 8 MiB download_file fetches ranges on several threads at once.
            path = os.path.join(srv.root, "..", os.path.basename(srv.root) + "-down.bin")
            c.download_file(b, "big.bin", path)
            got = q.read(path)
            os.unlink(path)
            q.check(got == big, "download_file differs")
        with res.op("get range"):
            r = c.get_object(Bucket=b, Key="big.bin", Range="bytes=5-104")
            q.check(r["Body"].read() == big[5:105] and r["ResponseMetadata"]["HTTPStatusCode"] == 206, "range")
            etag = c.head_object(Bucket=b, Key="small.txt")["ETag"]
            q.check(c.get_object(Bucket=b, Key="small.txt", IfMatch=etag)["Body"].read() == small, "IfMatch")
            q.check(error_code(lambda: c.get_object(Bucket=b, Key="small.txt", IfMatch='"0000"'))[1] == 412, "412")
            q.check(error_code(lambda: c.get_object(Bucket=b, Key="small.txt", IfNoneMatch=etag))[1] == 304, "304")
        with res.op("head object"):
            q.check(c.head_object(Bucket=b, Key="big.bin")["ContentLength"] == BIG, "length")
            q.check(error_code(lambda: c.head_object(Bucket=b, Key="missing"))[1] == 404, "missing 404")
        with res.op("copy small"):
            c.copy_object(Bucket=b, Key="copy.txt", CopySource={"Bucket": b, "Key": "small.txt"})
            q.check(c.get_object(Bucket=b, Key="copy.txt")["Body"].read() == small, "copy differs")
        with res.op("copy 20 MiB"):
            c.copy({"Bucket": b, "Key": "big.bin"}, b, "big2.bin")
            q.check(c.get_object(Bucket=b, Key="big2.bin")["Body"].read() == big, "copy differs")
        with res.op("copy metadata"):
            c.put_object(Bucket=b, Key="meta-src.txt", Body=b"m", ContentType="text/csv",
                         Metadata={"owner": "ann"})
            c.copy_object(Bucket=b, Key="meta-copy.txt", CopySource={"Bucket": b, "Key": "meta-src.txt"})
            h = c.head_object(Bucket=b, Key="meta-copy.txt")
            q.check(h["ContentType"] == "text/csv" and h["Metadata"] == {"owner": "ann"}, "COPY %r" % h)
            c.copy_object(Bucket=b, Key="meta-copy.txt", CopySource={"Bucket": b, "Key": "meta-copy.txt"},
                          MetadataDirective="REPLACE", ContentType="text/plain", Metadata={"owner": "bob"})
            h = c.head_object(Bucket=b, Key="meta-copy.txt")
            q.check(h["ContentType"] == "text/plain" and h["Metadata"] == {"owner": "bob"}, "REPLACE %r" % h)
            up = c.create_multipart_upload(Bucket=b, Key="meta-mp.txt", ContentType="text/csv",
                                           Metadata={"owner": "cy"})["UploadId"]
            e = c.upload_part(Bucket=b, Key="meta-mp.txt", UploadId=up, PartNumber=1, Body=b"mp")["ETag"]
            c.complete_multipart_upload(Bucket=b, Key="meta-mp.txt", UploadId=up,
                                        MultipartUpload={"Parts": [{"PartNumber": 1, "ETag": e}]})
            h = c.head_object(Bucket=b, Key="meta-mp.txt")
            q.check(h["ContentType"] == "text/csv" and h["Metadata"] == {"owner": "cy"}, "multipart %r" % h)
        with res.op("tagging"):
            def tags(key):
                return {t["Key"]: t["Value"] for t in c.get_object_tagging(Bucket=b, Key=key)["TagSet"]}
            c.put_object(Bucket=b, Key="tagged.txt", Body=b"t", Tagging="team=blue&stage=raw%20data")
            q.check(tags("tagged.txt") == {"team": "blue", "stage": "raw data"}, "put %r" % tags("tagged.txt"))
            q.check(c.get_object(Bucket=b, Key="tagged.txt").get("TagCount") == 2, "TagCount")
            c.put_object_tagging(Bucket=b, Key="tagged.txt",
                                 Tagging={"TagSet": [{"Key": "état", "Value": "prêt à partir"}]})
            q.check(tags("tagged.txt") == {"état": "prêt à partir"}, "replaced %r" % tags("tagged.txt"))
            c.copy_object(Bucket=b, Key="tagged-copy.txt", CopySource={"Bucket": b, "Key": "tagged.txt"})
            q.check(tags("tagged-copy.txt") == {"état": "prêt à partir"}, "COPY directive")
            c.copy_object(Bucket=b, Key="tagged-copy.txt", CopySource={"Bucket": b, "Key": "tagged.txt"},
                          TaggingDirective="REPLACE", Tagging="new=1")
            q.check(tags("tagged-copy.txt") == {"new": "1"}, "REPLACE directive")
            # Multipart, with the managed transfer the SDK uses for large files.
            c.upload_fileobj(io.BytesIO(big[:9 * 1024 * 1024]), b, "tagged-big.bin",
                             ExtraArgs={"Tagging": "size=big"},
                             Config=TransferConfig(multipart_threshold=5 * 1024 * 1024,
                                                   multipart_chunksize=5 * 1024 * 1024))
            q.check(tags("tagged-big.bin") == {"size": "big"}, "multipart %r" % tags("tagged-big.bin"))
            # The managed copy (UploadPartCopy) gives the new upload the tags it is asked for; it
            # never reads the source's.
            c.copy({"Bucket": b, "Key": "tagged-big.bin"}, b, "tagged-big2.bin",
                   ExtraArgs={"Tagging": "size=big&copied=yes"},
                   Config=TransferConfig(multipart_threshold=5 * 1024 * 1024))
            q.check(tags("tagged-big2.bin") == {"size": "big", "copied": "yes"},
                    "managed copy %r" % tags("tagged-big2.bin"))
            q.check(c.get_object(Bucket=b, Key="tagged-big2.bin")["Body"].read() == big[:9 * 1024 * 1024],
                    "managed copy differs")
            c.delete_object_tagging(Bucket=b, Key="tagged.txt")
            q.check(tags("tagged.txt") == {}, "deleted")
            code = error_code(lambda: c.put_object_tagging(
                Bucket=b, Key="tagged.txt",
                Tagging={"TagSet": [{"Key": "k%d" % i, "Value": "v"} for i in range(11)]}))
            q.check(code == ("BadRequest", 400), "eleven tags %r" % (code,))
            code = error_code(lambda: c.put_object_tagging(
                Bucket=b, Key="tagged.txt", Tagging={"TagSet": [{"Key": "d", "Value": "1"},
                                                                {"Key": "d", "Value": "2"}]}))
            q.check(code == ("InvalidTag", 400), "duplicate %r" % (code,))
            code = error_code(lambda: c.get_bucket_tagging(Bucket=b))
            q.check(code == ("NoSuchTagSet", 404), "no bucket tags %r" % (code,))
            c.put_bucket_tagging(Bucket=b, Tagging={"TagSet": [{"Key": "owner", "Value": "qa"}]})
            q.check(c.get_bucket_tagging(Bucket=b)["TagSet"] == [{"Key": "owner", "Value": "qa"}], "bucket")
            c.delete_bucket_tagging(Bucket=b)
            q.check(error_code(lambda: c.get_bucket_tagging(Bucket=b))[0] == "NoSuchTagSet", "bucket deleted")
            c.delete_objects(Bucket=b, Delete={"Objects": [{"Key": k} for k in (
                "tagged.txt", "tagged-copy.txt", "tagged-big.bin", "tagged-big2.bin")]})
        with res.op("multipart api"):
            up = c.create_multipart_upload(Bucket=b, Key="parts.bin")["UploadId"]
            c.upload_part(Bucket=b, Key="parts.bin", UploadId=up, PartNumber=1, Body=big[:5 * 1024 * 1024])
            c.upload_part(Bucket=b, Key="parts.bin", UploadId=up, PartNumber=2, Body=b"tail")
            parts = c.list_parts(Bucket=b, Key="parts.bin", UploadId=up)["Parts"]
            q.check([p["PartNumber"] for p in parts] == [1, 2], str(parts))
            ups = c.list_multipart_uploads(Bucket=b).get("Uploads", [])
            q.check([u["UploadId"] for u in ups] == [up], str(ups))
            c.abort_multipart_upload(Bucket=b, Key="parts.bin", UploadId=up)
            q.check(not c.list_multipart_uploads(Bucket=b).get("Uploads"), "upload not aborted")
        with res.op("folder marker"):
            # A "Create folder" marker beside the objects of the same folder: listed as a key,
            # folded into the common prefix by the delimiter, deleted on its own.
            c.put_object(Bucket=b, Key="fm/", Body=b"")
            for k in ("fm/a.txt", "fm/sub/b.txt"):
                c.put_object(Bucket=b, Key=k, Body=k.encode())
            q.check(c.get_object(Bucket=b, Key="fm/")["Body"].read() == b"", "marker body")
            q.check(c.head_object(Bucket=b, Key="fm/")["ContentLength"] == 0, "marker length")
            r = c.list_objects_v2(Bucket=b, Prefix="fm/", Delimiter="/")
            got = ([x["Key"] for x in r.get("Contents", [])], [p["Prefix"] for p in r.get("CommonPrefixes", [])])
            q.check(got == (["fm/", "fm/a.txt"], ["fm/sub/"]), "v2 delimiter %r" % (got,))
            r = c.list_objects(Bucket=b, Prefix="f", Delimiter="/")
            got = ([x["Key"] for x in r.get("Contents", [])], [p["Prefix"] for p in r.get("CommonPrefixes", [])])
            q.check(got == ([], ["fm/"]), "v1 delimiter %r" % (got,))
            c.delete_object(Bucket=b, Key="fm/")
            r = c.list_objects_v2(Bucket=b, Prefix="fm/")
            q.check([x["Key"] for x in r.get("Contents", [])] == ["fm/a.txt", "fm/sub/b.txt"], "after delete %r" % r)
            q.check(c.get_object(Bucket=b, Key="fm/a.txt")["Body"].read() == b"fm/a.txt", "object beside marker")
            c.delete_objects(Bucket=b, Delete={"Objects": [{"Key": "fm/a.txt"}, {"Key": "fm/sub/b.txt"}]})
        with res.op("missing bucket"):
            # A mistyped bucket name is an error at once (a file-like body goes with
            # Expect: 100-continue, which the 404 answers), never retried and never a new bucket.
            expects = []

            def note_expect(request, **kw):
                expects.append(request.headers.get("Expect"))
            c.meta.events.register("before-send.s3.PutObject", note_expect)
            for body in (b"x", big[:3 * 1024 * 1024]):
                try:
                    c.put_object(Bucket="boto-bucket-typo", Key="k", Body=io.BytesIO(body))
                    raise AssertionError("put into a missing bucket was accepted")
                except botocore.exceptions.ClientError as e:
                    md = e.response["ResponseMetadata"]
                    got = (e.response["Error"].get("Code"), md["HTTPStatusCode"], md.get("RetryAttempts"))
                    q.check(got == ("NoSuchBucket", 404, 0), "answer %r" % (got,))
            c.meta.events.unregister("before-send.s3.PutObject", note_expect)
            q.check(expects and expects[-1] == b"100-continue", "no Expect sent: %r" % expects)
            q.check(not os.path.exists(os.path.join(srv.root, "boto-bucket-typo")), "bucket created")
            q.check(error_code(lambda: c.delete_bucket(Bucket="boto-bucket-typo")) == ("NoSuchBucket", 404),
                    "delete missing bucket")
        keys = q.listing_keys(1100)
        q.populate(srv.root, "boto-list", keys)
        with res.op("list v1"):
            got, marker = [], ""
            while True:
                r = c.list_objects(Bucket="boto-list", Marker=marker, MaxKeys=150)
                got += [x["Key"] for x in r.get("Contents", [])]
                if not r.get("IsTruncated"):
                    break
                marker = r.get("NextMarker") or got[-1]
            q.check(got == keys, "v1 keys differ (%d)" % len(got))
            r = c.list_objects(Bucket="boto-list", Delimiter="/")
            q.check([p["Prefix"] for p in r.get("CommonPrefixes", [])] == ["dir-a/", "dir-b/"], "v1 prefixes")
        with res.op("list v2"):
            pages = c.get_paginator("list_objects_v2").paginate(Bucket="boto-list", PaginationConfig={"PageSize": 100})
            got = [x["Key"] for p in pages for x in p.get("Contents", [])]
            q.check(got == keys, "v2 keys differ (%d)" % len(got))
            pages = c.get_paginator("list_objects_v2").paginate(Bucket="boto-list", Prefix="dir-", Delimiter="/",
                                                                PaginationConfig={"PageSize": 1})
            pre = [x["Prefix"] for p in pages for x in p.get("CommonPrefixes", [])]
            q.check(pre == ["dir-a/", "dir-b/"], "v2 prefixes %r" % pre)
        with res.op("odd keys"):
            odd = q.ODD_KEYS + q.API_KEYS
            for k in odd:
                c.put_object(Bucket=b, Key="odd/" + k, Body=k.encode())
                q.check(c.get_object(Bucket=b, Key="odd/" + k)["Body"].read() == k.encode(), "get %r" % k)
                c.copy_object(Bucket=b, Key="odd2/" + k, CopySource={"Bucket": b, "Key": "odd/" + k})
            for kind in ("list_objects", "list_objects_v2"):
                got = [x["Key"] for x in getattr(c, kind)(Bucket=b, Prefix="odd/").get("Contents", [])]
                q.check(got == sorted("odd/" + k for k in odd), "%s %r" % (kind, got))
            r = c.delete_objects(Bucket=b, Delete={"Objects": [{"Key": p + k} for k in odd
                                                               for p in ("odd/", "odd2/")]})
            q.check(len(r.get("Deleted", [])) == 2 * len(odd) and not r.get("Errors"), str(r))
            left = [x["Key"] for x in c.list_objects_v2(Bucket=b, Prefix="odd").get("Contents", [])]
            q.check(not left, "reported deleted but still there: %r" % left)
        with res.op("delete one"):
            c.delete_object(Bucket=b, Key="copy.txt")
            q.check(not os.path.exists(os.path.join(srv.root, b, "copy.txt")), "still there")
        q.populate(srv.root, b, ["del/k%04d" % i for i in range(1500)])
        with res.op("delete batch"):
            keys = ["del/k%04d" % i for i in range(1500)]
            r = c.delete_objects(Bucket=b, Delete={"Objects": [{"Key": k} for k in keys[:1000]], "Quiet": True})
            q.check(not r.get("Deleted") and not r.get("Errors"), "quiet answer %r" % r)
            r = c.delete_objects(Bucket=b, Delete={"Objects": [{"Key": k} for k in keys[1000:]], "Quiet": False})
            q.check(len(r.get("Deleted", [])) == 500, "deleted %d" % len(r.get("Deleted", [])))
            q.check(not any(fs for _, _, fs in os.walk(os.path.join(srv.root, b, "del"))), "keys left")
        with res.op("remove bucket"):
            for k in [x["Key"] for x in c.list_objects_v2(Bucket=b).get("Contents", [])]:
                c.delete_object(Bucket=b, Key=k)
            c.delete_bucket(Bucket=b)
            q.check(not os.path.exists(os.path.join(srv.root, b)), "bucket dir still there")
        with res.op("versioning"):
            versioning_round_trip(c, srv.root)
        with res.op("wrong secret"):
            code = error_code(lambda: s3(srv, secret="wrong").list_buckets())
            q.check(code == ("SignatureDoesNotMatch", 403), str(code))
        with res.op("region eu-west-1"):
            region_round_trip(srv, "eu-west-1", big)
        checksum_round_trips(srv, res, c)
    with q.Server(a.server, keys=False) as srv:
        with res.op("auth off"):
            c = s3(srv)
            c.create_bucket(Bucket="open")
            q.check("open" in [x["Name"] for x in c.list_buckets()["Buckets"]], "not listed")
            c.head_bucket(Bucket="open")
            q.check(c.get_bucket_location(Bucket="open").get("LocationConstraint") in (None, ""), "location")
            c.put_object(Bucket="open", Key="k", Body=b"v")
            q.check(c.get_object(Bucket="open", Key="k")["Body"].read() == b"v", "get")
            c.delete_object(Bucket="open", Key="k")
            c.delete_bucket(Bucket="open")
            q.check(error_code(lambda: c.head_bucket(Bucket="open"))[1] == 404, "bucket still there")
    return res.close()


if __name__ == "__main__":
    sys.exit(main())
