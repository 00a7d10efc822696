"""The AWS CLI (Debian's 2.x at /usr/bin/aws, or the pip 1.x as `python3 -m awscli`) against quillmar-s3d."""
import gzip
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

BIG = 20 * 1024 * 1024


def main():
    a = q.main_args()
    client = a.client or "awscli2"
    base = ["/usr/bin/aws"] if client == "awscli2" else [sys.executable, "-m", "awscli"]
    res = q.Results(a.results, client)
    work = tempfile.mkdtemp(prefix="qs3-awscli-")

    def aws(srv, *args, env=None, **kw):
        return q.run(base + ["--endpoint-url", srv.endpoint, "--region", q.REGION] + list(args),
                     env=env or q.client_env(), **kw)

    def js(p):
        return json.loads(p.stdout or b"{}")

    small = b"hello quillmar\n"
    big = q.data(BIG, 1)
    q.write(os.path.join(work, "small.txt"), small)
    q.write(os.path.join(work, "big.bin"), big)
    with q.Server(a.server, keys=True) as srv:
        b = "cli-bucket"
        with res.op("make bucket"):
            aws(srv, "s3", "mb", "s3://" + b)
            q.check(os.path.isdir(os.path.join(srv.root, b)), "bucket dir missing")
        with res.op("list buckets"):
            out = aws(srv, "s3", "ls").stdout.decode()
            q.check(b in out, "bucket not listed: " + out)
        with res.op("head bucket"):
            aws(srv, "s3api", "head-bucket", "--bucket", b)
        with res.op("put small+meta"):
            aws(srv, "s3api", "put-object", "--bucket", b, "--key", "small.txt", "--body",
                os.path.join(work, "small.txt"), "--content-type", "text/x-note", "--metadata", "color=blue")
            h = js(aws(srv, "s3api", "head-object", "--bucket", b, "--key", "small.txt"))
            q.check(h.get("ContentType") == "text/x-note", "content type %r" % h.get("ContentType"))
            q.check(h.get("Metadata", {}).get("color") == "blue", "metadata %r" % h.get("Metadata"))
            q.check(h.get("ContentLength") == len(small), "length")
        with res.op("content headers"):
            gz = os.path.join(work, "page.txt.gz")
            q.write(gz, gzip.compress(small))
            aws(srv, "s3", "cp", gz, "s3://%s/page.txt.gz" % b, "--content-encoding", "gzip",
                "--cache-control", "max-age=3600", "--content-disposition", 'attachment; filename="page.txt"',
                "--content-language", "en-GB")
            h = js(aws(srv, "s3api", "head-object", "--bucket", b, "--key", "page.txt.gz"))
            q.check(h.get("ContentEncoding") == "gzip", "encoding %r" % h.get("ContentEncoding"))
            q.check(h.get("CacheControl") == "max-age=3600", "cache control %r" % h.get("CacheControl"))
            q.check(h.get("ContentDisposition") == 'attachment; filename="page.txt"',
                    "disposition %r" % h.get("ContentDisposition"))
            q.check(h.get("ContentLanguage") == "en-GB", "language %r" % h.get("ContentLanguage"))
            q.check(q.read(os.path.join(srv.root, b, "page.txt.gz")) == gzip.compress(small) or
                    gzip.decompress(q.read(os.path.join(srv.root, b, "page.txt.gz"))) == small,
                    "stored bytes differ")
        with res.op("put 20 MiB"):
            aws(srv, "s3", "cp", os.path.join(work, "big.bin"), "s3://%s/big.bin" % b)
            q.check(q.read(os.path.join(srv.root, b, "big.bin")) == big, "stored bytes differ")
        with res.op("put stdin"):
            aws(srv, "s3", "cp", "-", "s3://%s/stdin.bin" % b, input=small * 1000)
            q.check(q.read(os.path.join(srv.root, b, "stdin.bin")) == small * 1000, "stored bytes differ")
        with res.op("get whole"):
            out = os.path.join(work, "big.out")
            aws(srv, "s3", "cp", "s3://%s/big.bin" % b, out)
            q.check(q.read(out) == big, "downloaded bytes differ")
        with res.op("get range"):
            out = os.path.join(work, "range.out")
            aws(srv, "s3api", "get-object", "--bucket", b, "--key", "big.bin", "--range", "bytes=1000-1999", out)
            q.check(q.read(out) == big[1000:2000], "range bytes differ")
        with res.op("head object"):
            h = js(aws(srv, "s3api", "head-object", "--bucket", b, "--key", "big.bin"))
            q.check(h.get("ContentLength") == BIG, "length %r" % h.get("ContentLength"))
        with res.op("copy small"):
            aws(srv, "s3api", "copy-object", "--bucket", b, "--key", "copy.txt", "--copy-source", b + "/small.txt")
            out = os.path.join(work, "copy.out")
            aws(srv, "s3", "cp", "s3://%s/copy.txt" % b, out)
            q.check(q.read(out) == small, "copy differs")
        with res.op("copy 20 MiB"):
            aws(srv, "s3", "cp", "s3://%s/big.bin" % b, "s3://%s/big2.bin" % b)
            out = os.path.join(work, "big2.out")
            aws(srv, "s3", "cp", "s3://%s/big2.bin" % b, out)
            q.check(q.read(out) == big, "copy differs")
        with res.op("multipart api"):
            # 40 MiB goes up as five parts of the CLI's default 8 MiB and comes back whole.
            huge = big + q.data(BIG, 7)
            q.write(os.path.join(work, "huge.bin"), huge)
            aws(srv, "s3", "cp", os.path.join(work, "huge.bin"), "s3://%s/huge.bin" % b)
            h = js(aws(srv, "s3api", "head-object", "--bucket", b, "--key", "huge.bin"))
            q.check(h.get("ETag", "").endswith('-5"') and h.get("ContentLength") == 2 * BIG, "head %r" % h)
            out = os.path.join(work, "huge.out")
            aws(srv, "s3", "cp", "s3://%s/huge.bin" % b, out)
            q.check(q.read(out) == huge, "downloaded bytes differ")
            os.unlink(out)
            up = js(aws(srv, "s3api", "create-multipart-upload", "--bucket", b, "--key", "open.bin"))["UploadId"]
            ups = js(aws(srv, "s3api", "list-multipart-uploads", "--bucket", b)).get("Uploads", [])
            q.check([(u["Key"], u["UploadId"]) for u in ups] == [("open.bin", up)], "uploads %r" % ups)
            aws(srv, "s3api", "abort-multipart-upload", "--bucket", b, "--key", "open.bin", "--upload-id", up)
            q.check(not js(aws(srv, "s3api", "list-multipart-uploads", "--bucket", b)).get("Uploads"), "not aborted")
        with res.op("odd keys"):
            odd = os.path.join(work, "odd")
            q.write_tree(odd, q.ODD_KEYS)
            aws(srv, "s3", "sync", odd, "s3://%s/odd/" % b)
            got = js(aws(srv, "s3api", "list-objects-v2", "--bucket", b, "--prefix", "odd/"))
            q.check([c["Key"] for c in got.get("Contents", [])] == sorted("odd/" + k for k in q.ODD_KEYS),
                    "keys %r" % got)
            back = os.path.join(work, "odd-back")
            aws(srv, "s3", "sync", "s3://%s/odd/" % b, back)
            for k in q.ODD_KEYS:
                q.check(q.read(os.path.join(back, k)) == k.encode(), "downloaded %r differs" % k)
            q.write(os.path.join(work, "odd-delete.json"),
                    json.dumps({"Objects": [{"Key": "odd/" + k} for k in q.ODD_KEYS]}).encode())
            r = js(aws(srv, "s3api", "delete-objects", "--bucket", b, "--delete",
                       "file://" + os.path.join(work, "odd-delete.json")))
            q.check(len(r.get("Deleted", [])) == len(q.ODD_KEYS) and not r.get("Errors"), "answer %r" % r)
            left = [c["Key"] for c in js(aws(srv, "s3api", "list-objects-v2", "--bucket", b,
                                             "--prefix", "odd/")).get("Contents", [])]
            q.check(not left, "reported deleted but still there: %r" % left)
        with res.op("folder marker"):
            # "Create folder" as the console does it, beside an object of the same folder.
            aws(srv, "s3api", "put-object", "--bucket", b, "--key", "fm/")
            aws(srv, "s3", "cp", os.path.join(work, "small.txt"), "s3://%s/fm/a.txt" % b)
            got = js(aws(srv, "s3api", "list-objects-v2", "--bucket", b, "--prefix", "fm/", "--delimiter", "/"))
            q.check([c["Key"] for c in got.get("Contents", [])] == ["fm/", "fm/a.txt"], "keys %r" % got)
            out = aws(srv, "s3", "ls", "s3://%s/" % b).stdout.decode()
            q.check("PRE fm/" in out, "folder not shown: " + out)
            h = js(aws(srv, "s3api", "head-object", "--bucket", b, "--key", "fm/"))
            q.check(h.get("ContentLength") == 0, "head %r" % h)
            dest = os.path.join(work, "marker.out")
            q.write(dest, b"stale")
            aws(srv, "s3api", "get-object", "--bucket", b, "--key", "fm/", dest)
            q.check(q.read(dest) == b"", "marker body")
            aws(srv, "s3", "rm", "s3://%s/fm/" % b)
            got = js(aws(srv, "s3api", "list-objects-v2", "--bucket", b, "--prefix", "fm/"))
            q.check([c["Key"] for c in got.get("Contents", [])] == ["fm/a.txt"], "after delete %r" % got)
            aws(srv, "s3", "rm", "s3://%s/fm/a.txt" % b)
        with res.op("bucket configurations"):
            # The configuration calls infrastructure tools send: answered with S3's defaults for
            # a bucket without them, and never a listing or a DeleteBucket in their place.
            def stored():
                top = os.path.join(srv.root, b)
                return sorted(os.path.relpath(os.path.join(d, f), top)
                              for d, _, fs in os.walk(top) for f in fs)
            before = stored()
            q.check("small.txt" in before, "objects %r" % before)
            enc = js(aws(srv, "s3api", "get-bucket-encryption", "--bucket", b))
            rule = enc.get("ServerSideEncryptionConfiguration", {}).get("Rules", [{}])[0]
            q.check(rule.get("ApplyServerSideEncryptionByDefault", {}).get("SSEAlgorithm") == "AES256",
                    "encryption %r" % enc)
            # Each configuration a tool keeps: put, read back equal, delete, and gone.
            conf = {"Rules": [{"ApplyServerSideEncryptionByDefault": {"SSEAlgorithm": "AES256"},
                               "BucketKeyEnabled": True}]}
            block = {"BlockPublicAcls": True, "IgnorePublicAcls": True, "BlockPublicPolicy": False,
                     "RestrictPublicBuckets": False}
            owners = {"Rules": [{"ObjectOwnership": "BucketOwnerEnforced"}]}
            life = {"Rules": [{"ID": "expire-logs", "Filter": {"Prefix": "logs/"}, "Status": "Enabled",
                               "Expiration": {"Days": 30},
                               "AbortIncompleteMultipartUpload": {"DaysAfterInitiation": 7}}]}
            policy = {"Version": "2012-10-17", "Statement": [{
                "Sid": "OwnerOnly", "Effect": "Deny", "Principal": {"AWS": "arn:aws:iam::123456789012:root"},
                "Action": "s3:DeleteObject", "Resource": "arn:aws:s3:::%s/*" % b}]}
            kept = [
                ("bucket-encryption", "--server-side-encryption-configuration", conf,
                 "ServerSideEncryptionConfiguration", "ServerSideEncryptionConfigurationNotFoundError"),
                ("public-access-block", "--public-access-block-configuration", block,
                 "PublicAccessBlockConfiguration", "NoSuchPublicAccessBlockConfiguration"),
                ("bucket-ownership-controls", "--ownership-controls", owners, "OwnershipControls",
                 "OwnershipControlsNotFoundError"),
                ("bucket-lifecycle-configuration", "--lifecycle-configuration", life, "Rules",
                 "NoSuchLifecycleConfiguration"),
                ("bucket-policy", "--policy", policy, "Policy", "NoSuchBucketPolicy"),
            ]
            for name, option, doc, field, missing in kept:
                aws(srv, "s3api", "put-" + name, "--bucket", b, option, json.dumps(doc))
                got = js(aws(srv, "s3api", "get-" + name, "--bucket", b))
                back = json.loads(got["Policy"]) if field == "Policy" else got.get(field)
                want = doc["Rules"] if field == "Rules" else doc
                q.check(back == want, "%s: %r back for %r" % (name, back, want))
                # The lifecycle's delete call is named without "-configuration".
                aws(srv, "s3api", "delete-" + name.replace("-configuration", ""), "--bucket", b)
                p = aws(srv, "s3api", "get-" + name, "--bucket", b, check_rc=False)
                if name == "bucket-encryption":  # back to the default rule
                    q.check(p.returncode == 0 and b"AES256" in p.stdout, "after delete %r" % p.stdout)
                else:
                    q.check(p.returncode != 0 and missing.encode() in p.stderr,
                            "%s after delete: %r" % (name, p.stderr[-300:]))
            kms = json.dumps({"Rules": [{"ApplyServerSideEncryptionByDefault": {"SSEAlgorithm": "aws:kms"}}]})
            p = aws(srv, "s3api", "put-bucket-encryption", "--bucket", b,
                    "--server-side-encryption-configuration", kms, check_rc=False)
            q.check(p.returncode != 0 and b"NotImplemented" in p.stderr, "kms answered %r" % p.stderr[-300:])
            p = aws(srv, "s3api", "put-bucket-policy", "--bucket", b, "--policy", '{"Statement": []}',
                    check_rc=False)
            q.check(p.returncode != 0 and b"MalformedPolicy" in p.stderr, "empty policy %r" % p.stderr[-300:])
            listed = sorted(c["Key"] for c in js(aws(srv, "s3api", "list-objects-v2", "--bucket", b)).get("Contents", []))
            # Pages of two follow NextKeyMarker and NextVersionIdMarker.
            v = js(aws(srv, "s3api", "list-object-versions", "--bucket", b, "--page-size", "2"))
            versions = v.get("Versions", [])
            q.check([x["Key"] for x in versions] == listed, "versions %r vs %r" % (versions, listed))
            q.check(all(x.get("VersionId") == "null" and x.get("IsLatest") is True for x in versions),
                    "versions %r" % versions)
            q.check(not v.get("DeleteMarkers"), "delete markers %r" % v)
            q.check(stored() == before, "stored objects changed: %r" % stored())
            q.check(q.read(os.path.join(srv.root, b, "small.txt")) == small, "small.txt changed")
        with res.op("tagging"):
            def tags(bucket, key):
                got = js(aws(srv, "s3api", "get-object-tagging", "--bucket", bucket, "--key", key))
                return {t["Key"]: t["Value"] for t in got.get("TagSet", [])}
            aws(srv, "s3api", "put-object-tagging", "--bucket", b, "--key", "small.txt", "--tagging",
                json.dumps({"TagSet": [{"Key": "team", "Value": "blue"}, {"Key": "état", "Value": "prêt"}]}))
            q.check(tags(b, "small.txt") == {"team": "blue", "état": "prêt"}, "tags %r" % tags(b, "small.txt"))
            h = js(aws(srv, "s3api", "get-object", "--bucket", b, "--key", "small.txt", os.path.join(work, "t.out")))
            q.check(h.get("TagCount") == 2, "TagCount %r" % h.get("TagCount"))
            p = aws(srv, "s3api", "put-object-tagging", "--bucket", b, "--key", "small.txt", "--tagging",
                    json.dumps({"TagSet": [{"Key": "k%d" % i, "Value": "v"} for i in range(11)]}), check_rc=False)
            q.check(p.returncode != 0 and b"BadRequest" in p.stderr, "eleven tags %r" % p.stderr[-300:])
            q.check(tags(b, "small.txt") == {"team": "blue", "état": "prêt"}, "tags changed by a refusal")
            # A recursive copy between buckets of a file above the 8 MiB multipart threshold:
            # the parts are copied with UploadPartCopy, and the 2.x CLI reads the source's tags
            # and gives them to the new upload (the 1.x CLI copies no tags at all).
            aws(srv, "s3", "mb", "s3://cli-tag-dst")
            nine = big[:9 * 1024 * 1024]
            q.write(os.path.join(work, "nine.bin"), nine)
            aws(srv, "s3", "cp", os.path.join(work, "nine.bin"), "s3://%s/tree/big.bin" % b)
            aws(srv, "s3api", "put-object-tagging", "--bucket", b, "--key", "tree/big.bin", "--tagging",
                json.dumps({"TagSet": [{"Key": "size", "Value": "big"}]}))
            aws(srv, "s3", "cp", "--recursive", "s3://%s/tree/" % b, "s3://cli-tag-dst/tree/")
            q.check(q.read(os.path.join(srv.root, "cli-tag-dst", "tree", "big.bin")) == nine, "copy differs")
            want = {"size": "big"} if client == "awscli2" else {}
            q.check(tags("cli-tag-dst", "tree/big.bin") == want, "copied tags %r" % tags("cli-tag-dst", "tree/big.bin"))
            aws(srv, "s3api", "delete-object-tagging", "--bucket", b, "--key", "small.txt")
            q.check(tags(b, "small.txt") == {}, "tags not deleted")
            aws(srv, "s3", "rm", "s3://%s/tree/big.bin" % b)
            aws(srv, "s3", "rb", "s3://cli-tag-dst", "--force")
        with res.op("versioning"):
            vb = "cli-versions"
            aws(srv, "s3api", "create-bucket", "--bucket", vb)
            aws(srv, "s3api", "put-bucket-versioning", "--bucket", vb,
                "--versioning-configuration", "Status=Enabled")
            st = js(aws(srv, "s3api", "get-bucket-versioning", "--bucket", vb))
            q.check(st.get("Status") == "Enabled", "status %r" % st)
            ids = []
            for body in (b"first", b"second"):
                q.write(os.path.join(work, "v.txt"), body)
                ids.append(js(aws(srv, "s3api", "put-object", "--bucket", vb, "--key", "k",
                                  "--body", os.path.join(work, "v.txt"))).get("VersionId"))
            q.check(all(ids) and ids[0] != ids[1], "version ids %r" % ids)
            out = os.path.join(work, "v.out")
            g = js(aws(srv, "s3api", "get-object", "--bucket", vb, "--key", "k", "--version-id", ids[0], out))
            q.check(q.read(out) == b"first" and g.get("VersionId") == ids[0], "old version %r" % g)
            aws(srv, "s3", "rm", "s3://%s/k" % vb)
            lv = js(aws(srv, "s3api", "list-object-versions", "--bucket", vb))
            q.check([v["VersionId"] for v in lv.get("Versions", [])] == [ids[1], ids[0]], "versions %r" % lv)
            markers = lv.get("DeleteMarkers", [])
            q.check(len(markers) == 1 and markers[0].get("IsLatest"), "markers %r" % markers)
            d = js(aws(srv, "s3api", "delete-object", "--bucket", vb, "--key", "k", "--version-id",
                       markers[0]["VersionId"]))
            q.check(d.get("DeleteMarker") is True, "marker removal %r" % d)
            q.check(q.read(os.path.join(srv.root, vb, "k")) == b"second", "plain file back")
            for v in ids:
                aws(srv, "s3api", "delete-object", "--bucket", vb, "--key", "k", "--version-id", v)
            q.check(js(aws(srv, "s3api", "list-object-versions", "--bucket", vb)).get("Versions") in (None, []),
                    "versions left")
            aws(srv, "s3api", "delete-bucket", "--bucket", vb)
        with res.op("public read"):
            # A policy that lets everyone read makes objects readable without credentials (curl);
            # a public access block closes the bucket again.
            pb = "cli-public"
            aws(srv, "s3api", "create-bucket", "--bucket", pb)
            aws(srv, "s3api", "put-object", "--bucket", pb, "--key", "img/pic.txt", "--body",
                os.path.join(work, "small.txt"))
            url = "%s/%s/img/pic.txt" % (srv.endpoint, pb)

            def curl_status():
                p = q.run(["curl", "-s", "-o", os.path.join(work, "curl.out"), "-w", "%{http_code}", url])
                return p.stdout.decode()
            q.check(curl_status() == "403", "read before the policy")
            public = {"Version": "2012-10-17", "Statement": [{
                "Sid": "PublicRead", "Effect": "Allow", "Principal": "*", "Action": "s3:GetObject",
                "Resource": "arn:aws:s3:::%s/*" % pb}]}
            aws(srv, "s3api", "put-bucket-policy", "--bucket", pb, "--policy", json.dumps(public))
            q.check(js(aws(srv, "s3api", "get-bucket-policy-status", "--bucket", pb))
                    .get("PolicyStatus", {}).get("IsPublic") is True, "policy status")
            q.check(curl_status() == "200", "public read refused")
            q.check(q.read(os.path.join(work, "curl.out")) == small, "public read body")
            aws(srv, "s3api", "put-public-access-block", "--bucket", pb, "--public-access-block-configuration",
                "BlockPublicAcls=true,IgnorePublicAcls=true,BlockPublicPolicy=true,RestrictPublicBuckets=true")
            q.check(curl_status() == "403", "read under the public access block")
            p = aws(srv, "s3api", "put-bucket-policy", "--bucket", pb, "--policy", json.dumps(public),
                    check_rc=False)
            q.check(p.returncode != 0 and b"AccessDenied" in p.stderr, "public policy under the block")
            aws(srv, "s3", "rb", "s3://" + pb, "--force")
        keys = q.listing_keys(1100)
        q.populate(srv.root, "cli-list", keys)
        with res.op("list v1"):
            got = js(aws(srv, "s3api", "list-objects", "--bucket", "cli-list", "--page-size", "100"))
            q.check([c["Key"] for c in got.get("Contents", [])] == keys, "v1 keys differ")
            got = js(aws(srv, "s3api", "list-objects", "--bucket", "cli-list", "--delimiter", "/",
                         "--prefix", "dir-b/", "--page-size", "7"))
            q.check([p["Prefix"] for p in got.get("CommonPrefixes", [])] == ["dir-b/sub/"], "v1 prefixes")
        with res.op("list v2"):
            got = js(aws(srv, "s3api", "list-objects-v2", "--bucket", "cli-list", "--page-size", "100"))
            q.check([c["Key"] for c in got.get("Contents", [])] == keys, "v2 keys differ")
            got = js(aws(srv, "s3api", "list-objects-v2", "--bucket", "cli-list", "--delimiter", "/",
                         "--page-size", "50"))
            q.check([p["Prefix"] for p in got.get("CommonPrefixes", [])] == ["dir-a/", "dir-b/"], "v2 prefixes")
            q.check(len(got.get("Contents", [])) == len([k for k in keys if "/" not in k]), "v2 top keys")
            # --max-items cuts the output and hands back a token; the rest follows from it.
            first = js(aws(srv, "s3api", "list-objects-v2", "--bucket", "cli-list", "--max-items", "300",
                           "--page-size", "70"))
            q.check(first.get("NextToken"), "no NextToken after --max-items")
            rest = js(aws(srv, "s3api", "list-objects-v2", "--bucket", "cli-list", "--page-size", "70",
                          "--starting-token", first["NextToken"]))
            got = [c["Key"] for c in first.get("Contents", []) + rest.get("Contents", [])]
            q.check(len(first.get("Contents", [])) == 300 and got == keys, "--max-items paging differs")
            out = aws(srv, "s3", "ls", "s3://cli-list", "--recursive").stdout.decode()
            q.check(sorted(l.split()[-1] for l in out.splitlines() if l.strip()) == keys, "ls --recursive keys")
        sync = os.path.join(work, "sync")
        for i in range(5):
            q.write(os.path.join(sync, "f%d.txt" % i, ), q.data(1000 + i, 10 + i))
        q.write(os.path.join(sync, "sub", "deep.txt"), b"deep")
        # Listings give LastModified in whole seconds; a file written in the same second as its
        # upload looks newer than the stored copy to CLI 1.x, which would then send it again.
        past = time.time() - 60
        for dirpath, _, files in os.walk(sync):
            for f in files:
                os.utime(os.path.join(dirpath, f), (past, past))
        with res.op("sync up"):
            aws(srv, "s3", "sync", sync, "s3://%s/sync" % b)
            for i in range(5):
                q.check(q.read(os.path.join(srv.root, b, "sync", "f%d.txt" % i)) == q.data(1000 + i, 10 + i), "f%d" % i)
        with res.op("sync changed"):
            q.write(os.path.join(sync, "f2.txt"), b"changed content of a different size")
            out = aws(srv, "s3", "sync", sync, "s3://%s/sync" % b).stdout.decode()
            ups = [l for l in out.splitlines() if l.startswith("upload:")]
            q.check(len(ups) == 1 and "f2.txt" in ups[0], "expected one upload, got %r" % ups)
        with res.op("sync down"):
            down = os.path.join(work, "down")
            aws(srv, "s3", "sync", "s3://%s/sync" % b, down)
            for name in ["f0.txt", "f2.txt", "sub/deep.txt"]:
                q.check(q.read(os.path.join(down, name)) == q.read(os.path.join(sync, name)), name)
        with res.op("delete one"):
            aws(srv, "s3api", "delete-object", "--bucket", b, "--key", "copy.txt")
            p = aws(srv, "s3api", "head-object", "--bucket", b, "--key", "copy.txt", check_rc=False)
            q.check(p.returncode != 0, "object still there")
        q.populate(srv.root, b, ["del/k%04d" % i for i in range(1500)])
        with res.op("delete batch"):
            # s3api delete-objects sends one DeleteObjects request; s3 rm deletes key by key.
            q.write(os.path.join(work, "delete.json"), json.dumps(
                {"Objects": [{"Key": "del/k%04d" % i} for i in range(1000)], "Quiet": True}).encode())
            r = js(aws(srv, "s3api", "delete-objects", "--bucket", b, "--delete",
                       "file://" + os.path.join(work, "delete.json")))
            q.check(not r.get("Deleted") and not r.get("Errors"), "quiet answer %r" % r)
            aws(srv, "s3", "rm", "s3://%s/del" % b, "--recursive")
            left = [f for _, _, fs in os.walk(os.path.join(srv.root, b, "del")) for f in fs]
            q.check(not left, "%d keys left" % len(left))
        with res.op("remove bucket"):
            aws(srv, "s3", "rb", "s3://" + b, "--force")
            q.check(not os.path.exists(os.path.join(srv.root, b)), "bucket dir still there")
        with res.op("wrong secret"):
            env = q.client_env({"AWS_SECRET_ACCESS_KEY": "wrong" + q.SECRET_KEY})
            p = aws(srv, "s3", "ls", env=env, check_rc=False)
            q.check(p.returncode != 0 and b"SignatureDoesNotMatch" in p.stderr, p.stderr.decode()[-300:])
    with q.Server(a.server, keys=False) as srv:
        with res.op("auth off"):
            aws(srv, "s3", "mb", "s3://open")
            aws(srv, "s3", "cp", os.path.join(work, "small.txt"), "s3://open/a/b.txt")
            out = aws(srv, "s3", "ls", "s3://open", "--recursive").stdout.decode()
            q.check("a/b.txt" in out, out)
            aws(srv, "s3", "rb", "s3://open", "--force")
    return res.close()


if __name__ == "__main__":
    sys.exit(main())
