"""Presigned URLs made by real clients (boto3 with Signature Version 4 and with its default
configuration, which presigns with Version 2; the AWS CLI, the JavaScript SDK's presigner,
minio-js), fetched with curl against quillmar-s3d; expired and tampered URLs refused; boto3's
presigned POST sent as a form upload by curl; the JavaScript SDK in virtual-host style against
http://localhost:PORT.

Exits 77 (skipped) only when curl is missing; every client that is installed must pass."""
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BUCKET = "presign"
failures = []


def curl(method, url, body=None):
    """(status, response bytes) of one request made with curl."""
    out = tempfile.NamedTemporaryFile(delete=False)
    out.close()
    cmd = ["curl", "-s", "-g", "-o", out.name, "-w", "%{http_code}", "-X", method]
    if body is not None:
        src = out.name + ".in"
        q.write(src, body)
        cmd += ["--data-binary", "@" + src, "-H", "Content-Type:"]
    cmd.append(url)
    p = q.run(cmd)
    got = q.read(out.name)
    os.unlink(out.name)
    return int(p.stdout.decode()), got


def case(name, fn):
    try:
        fn()
        print("pass  %s" % name, flush=True)
    except Exception as e:  # every failing case is reported, then the suite fails
        failures.append(name)
        print("FAIL  %s: %s" % (name, e), flush=True)


def round_trip(srv, label, put_url, get_url, key):
    body = q.data(70000, hash(label) & 0xffff)
    st, got = curl("PUT", put_url, body)
    q.check(st == 200, "%s PUT %d %s" % (label, st, got[:300]))
    q.check(q.read(os.path.join(srv.root, BUCKET, key)) == body, "%s: stored bytes differ" % label)
    st, got = curl("GET", get_url)
    q.check(st == 200 and got == body, "%s GET %d %s" % (label, st, got[:300]))


def refused(url, status, code):
    st, got = curl("GET", url)
    q.check(st == status and (b"<Code>%s</Code>" % code.encode()) in got,
            "expected %d %s, got %d %s" % (status, code, st, got[:400]))


def tamper_key(url):
    return url.replace("/%s/" % BUCKET, "/%s/x" % BUCKET, 1)


def boto3_cases(srv, version):
    """boto3's presigned URLs and POST with Signature Version 4 (version "s3v4") or with the
    default configuration (version None), which presigns with Signature Version 2."""
    import re
    import boto3
    from botocore.config import Config
    label = "boto3 %s" % (version or "default (V2)")
    config = Config(signature_version=version) if version else None
    s3 = boto3.client("s3", endpoint_url=srv.endpoint, region_name=q.REGION,
                      aws_access_key_id=q.ACCESS_KEY, aws_secret_access_key=q.SECRET_KEY,
                      config=config)
    if version:
        s3.create_bucket(Bucket=BUCKET)
    key = "%s key+1" % (version or "v2")
    p = {"Bucket": BUCKET, "Key": key}
    put = s3.generate_presigned_url("put_object", Params=p, ExpiresIn=600)
    get = s3.generate_presigned_url("get_object", Params=p, ExpiresIn=600)
    if not version:
        case("%s URLs are Version 2" % label, lambda: q.check(
            "AWSAccessKeyId=" in get and "X-Amz-Algorithm" not in get, get))
    case("%s presigned PUT and GET" % label, lambda: round_trip(srv, label, put, get, key))
    case("%s tampered key refused" % label, lambda: refused(tamper_key(get), 403, "SignatureDoesNotMatch"))
    if version:
        longer = get.replace("X-Amz-Expires=600", "X-Amz-Expires=6000")
    else:
        longer = re.sub(r"Expires=(\d+)", lambda m: "Expires=%d" % (int(m.group(1)) + 1), get)
    case("%s tampered expiry refused" % label, lambda: refused(longer, 403, "SignatureDoesNotMatch"))
    if not version:
        gone = s3.generate_presigned_url("get_object", Params=p, ExpiresIn=-60)
        case("%s expired URL refused" % label, lambda: refused(gone, 403, "AccessDenied"))

        def overrides():
            u = s3.generate_presigned_url("get_object", ExpiresIn=600, Params=dict(
                p, ResponseContentType="text/x-v2", ResponseContentDisposition="attachment"))
            hdr = q.run(["curl", "-s", "-D", "-", "-o", "/dev/null", u]).stdout.decode()
            q.check(" 200 " in hdr.splitlines()[0] and "Content-Type: text/x-v2" in hdr, hdr)
            refused(u.replace("text%2Fx-v2", "text%2Fhtml"), 403, "SignatureDoesNotMatch")
        case("%s response overrides signed" % label, overrides)

    def form_post():
        # A browser-style form upload from boto3's presigned POST, sent by curl: the fields in
        # the order given, the file last; a policy limit on the length refuses a larger file.
        post = s3.generate_presigned_post(BUCKET, "forms/${filename}", ExpiresIn=600,
                                          Conditions=[["content-length-range", 1, 100000]])
        q.check(("signature" in post["fields"]) == (not version), str(post["fields"]))
        body = q.data(5000, 7)
        src = tempfile.NamedTemporaryFile(delete=False, suffix="-upload.bin")
        src.write(body)
        src.close()
        out = src.name + ".out"
        cmd = ["curl", "-s", "-o", out, "-w", "%{http_code}"]
        for k, v in post["fields"].items():
            cmd += ["-F", "%s=%s" % (k, v)]
        name = os.path.basename(src.name)
        p = q.run(cmd + ["-F", "file=@%s" % src.name, post["url"]])
        st = int(p.stdout.decode())
        q.check(st == 204, "form POST %d %s" % (st, q.read(out)[:300]))
        q.check(q.read(os.path.join(srv.root, BUCKET, "forms", name)) == body, "stored form bytes")
        big = src.name + ".big"
        q.write(big, q.data(100001, 8))
        p = q.run(cmd + ["-F", "file=@%s" % big, post["url"]])
        q.check(int(p.stdout.decode()) == 400 and b"EntityTooLarge" in q.read(out), "too large accepted")
        for f in (src.name, big, out):
            os.unlink(f)
    case("%s presigned POST form upload" % label, form_post)


def awscli_cases(srv):
    if not os.path.exists("/usr/bin/aws"):
        print("skip  aws s3 presign: /usr/bin/aws not installed")
        return
    body = b"for the aws cli"
    q.write(os.path.join(srv.root, BUCKET, "cli.txt"), body)

    def go():
        p = q.run(["/usr/bin/aws", "s3", "presign", "s3://%s/cli.txt" % BUCKET, "--expires-in", "600",
                   "--endpoint-url", srv.endpoint], env=q.client_env())
        url = p.stdout.decode().strip()
        st, got = curl("GET", url)
        q.check(st == 200 and got == body, "GET %d %s" % (st, got[:300]))
        refused(tamper_key(url), 403, "SignatureDoesNotMatch")
    case("aws s3 presign GET", go)


def js_cases(srv):
    js = os.path.join(HERE, "js")
    if not os.path.isdir(os.path.join(js, "node_modules", "@aws-sdk", "s3-request-presigner")):
        print("skip  JavaScript clients: npm ci not run in tests/clients/js")
        return
    env = q.client_env({"QS3_ENDPOINT": srv.endpoint})
    p = q.run(["node", os.path.join(js, "presign.mjs"), "urls", BUCKET, "js"], env=env)
    u = json.loads(p.stdout.decode().strip().splitlines()[-1])
    case("JS SDK getSignedUrl PUT and GET", lambda: round_trip(srv, "sdk", u["sdk_put"], u["sdk_get"], "js-sdk"))
    case("JS SDK expired URL refused", lambda: refused(u["sdk_expired"], 403, "AccessDenied"))
    case("minio-js presigned PUT and GET",
         lambda: round_trip(srv, "minio", u["minio_put"], u["minio_get"], "js-minio"))
    case("minio-js tampered URL refused", lambda: refused(tamper_key(u["minio_get"]), 403, "SignatureDoesNotMatch"))

    def vhost():
        r = q.run(["node", os.path.join(js, "presign.mjs"), "vhost", BUCKET], env=env)
        q.check(b"vhost ok" in r.stdout, r.stdout.decode(errors="replace"))
        q.check(q.read(os.path.join(srv.root, BUCKET, "v", "key.txt")) == b"virtual host body", "stored bytes")
    case("JS SDK virtual-host style on localhost", vhost)


def main():
    a = q.main_args()
    if subprocess.run(["sh", "-c", "command -v curl"], stdout=subprocess.DEVNULL).returncode != 0:
        print("SKIPPED: curl not installed")
        return 77
    with q.Server(a.server, keys=True) as srv:
        boto3_cases(srv, "s3v4")
        boto3_cases(srv, None)
        awscli_cases(srv)
        js_cases(srv)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
