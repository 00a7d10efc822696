#!/usr/bin/env python3
"""Real-browser test: headless Chromium opens a page served from a second loopback origin,
which uploads with fetch PUT to a presigned URL, posts a signed form upload and downloads the
object back through a presigned URL from quillmar-s3d with a CORS rule on the bucket, once
signed with Version 4 and once with boto3's default Version 2 URLs and form; then,
against a bucket without a rule, the browser must refuse the upload. Checks the page's verdict and the stored bytes on disk.
Last, with keys on, the page shows an <img> from a bucket only while the bucket's policy lets
everyone read it and no public access block restricts it.

Usage: run_browser.py QUILLMAR_S3D   (exits 77 when no chromium is installed)"""
import datetime
import hashlib
import hmac
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import struct
import threading
import zlib
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "clients"))
import qclient  # noqa: E402  (quillmar-s3d on a free port, the test keys)

BROWSER_SECONDS = 60


def sign_v4(method, url, body=b""):
    """Authorization headers for one request under the test keys (header signature)."""
    u = urllib.parse.urlsplit(url)
    now = datetime.datetime.now(datetime.timezone.utc)
    amz_date, day = now.strftime("%Y%m%dT%H%M%SZ"), now.strftime("%Y%m%d")
    payload = hashlib.sha256(body).hexdigest()
    query = "&".join(sorted(p if "=" in p else p + "=" for p in u.query.split("&") if p))
    headers = {"host": u.netloc, "x-amz-content-sha256": payload, "x-amz-date": amz_date}
    names = ";".join(sorted(headers))
    canonical = "\n".join([method, u.path, query, "".join("%s:%s\n" % (k, headers[k]) for k in sorted(headers)),
                           names, payload])
    scope = day + "/us-east-1/s3/aws4_request"
    sts = "\n".join(["AWS4-HMAC-SHA256", amz_date, scope, hashlib.sha256(canonical.encode()).hexdigest()])
    sig = hmac.new(signing_key(day), sts.encode(), hashlib.sha256).hexdigest()
    headers["Authorization"] = "AWS4-HMAC-SHA256 Credential=%s/%s,SignedHeaders=%s,Signature=%s" % (
        qclient.ACCESS_KEY, scope, names, sig)
    return headers


def presign(method, url, expires=300):
    """A presigned URL for one request under the test keys (query authentication)."""
    u = urllib.parse.urlsplit(url)
    now = datetime.datetime.now(datetime.timezone.utc)
    amz_date, day = now.strftime("%Y%m%dT%H%M%SZ"), now.strftime("%Y%m%d")
    scope = day + "/us-east-1/s3/aws4_request"
    enc = lambda v: urllib.parse.quote(v, safe="-_.~")
    params = {"X-Amz-Algorithm": "AWS4-HMAC-SHA256", "X-Amz-Credential": qclient.ACCESS_KEY + "/" + scope,
              "X-Amz-Date": amz_date, "X-Amz-Expires": str(expires), "X-Amz-SignedHeaders": "host"}
    query = "&".join(sorted("%s=%s" % (k, enc(v)) for k, v in params.items()))
    canonical = "\n".join([method, u.path, query, "host:%s\n" % u.netloc, "host", "UNSIGNED-PAYLOAD"])
    sts = "\n".join(["AWS4-HMAC-SHA256", amz_date, scope, hashlib.sha256(canonical.encode()).hexdigest()])
    sig = hmac.new(signing_key(day), sts.encode(), hashlib.sha256).hexdigest()
    return "%s://%s%s?%s&X-Amz-Signature=%s" % (u.scheme, u.netloc, u.path, query, sig)


def signing_key(day):
    k = hmac.new(("AWS4" + qclient.SECRET_KEY).encode(), day.encode(), hashlib.sha256).digest()
    for part in ("us-east-1", "s3", "aws4_request"):
        k = hmac.new(k, part.encode(), hashlib.sha256).digest()
    return k


def boto3_default(endpoint):
    """A boto3 client with the default configuration under the test keys."""
    import boto3
    return boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                        aws_access_key_id=qclient.ACCESS_KEY, aws_secret_access_key=qclient.SECRET_KEY)


def call(method, url, body=b"", signed=False):
    headers = sign_v4(method, url, body) if signed else {}
    req = urllib.request.Request(url, data=body if body else None, method=method, headers=headers)
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code


def cors_rule(origin):
    return ("<CORSConfiguration><CORSRule><AllowedOrigin>%s</AllowedOrigin>"
            "<AllowedMethod>GET</AllowedMethod><AllowedMethod>PUT</AllowedMethod>"
            "<AllowedMethod>POST</AllowedMethod><AllowedHeader>*</AllowedHeader>"
            "<ExposeHeader>ETag</ExposeHeader><MaxAgeSeconds>60</MaxAgeSeconds>"
            "</CORSRule></CORSConfiguration>" % origin).encode()


def tiny_png(width=3, height=2):
    """A small opaque grey PNG the browser can decode."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\x00" + b"\x80" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def signed_form(bucket):
    """The fields of a form upload whose policy the test signs, as a page's server would."""
    now = datetime.datetime.now(datetime.timezone.utc)
    day, amz_date = now.strftime("%Y%m%d"), now.strftime("%Y%m%dT%H%M%SZ")
    cred = "%s/%s/us-east-1/s3/aws4_request" % (qclient.ACCESS_KEY, day)
    expires = (now + datetime.timedelta(minutes=10)).strftime("%Y-%m-%dT%H:%M:%S.000Z")
    policy = base64.b64encode(json.dumps({"expiration": expires, "conditions": [
        {"bucket": bucket}, ["starts-with", "$key", "form/"], {"success_action_status": "201"},
        ["content-length-range", 1, 1024], {"x-amz-algorithm": "AWS4-HMAC-SHA256"},
        {"x-amz-credential": cred}, {"x-amz-date": amz_date}]}).encode()).decode()
    sig = hmac.new(signing_key(day), policy.encode(), hashlib.sha256).hexdigest()
    return [["key", "form/${filename}"], ["success_action_status", "201"], ["policy", policy],
            ["x-amz-algorithm", "AWS4-HMAC-SHA256"], ["x-amz-credential", cred],
            ["x-amz-date", amz_date], ["x-amz-signature", sig]]


class PageServer:
    """The page's own origin: serves page.html and receives the page's verdict."""

    def __init__(self):
        outer = self
        self.verdict = None
        self.got = threading.Event()

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                with open(os.path.join(HERE, "page.html"), "rb") as f:
                    body = f.read()
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                n = int(self.headers.get("Content-Length", "0"))
                outer.verdict = json.loads(self.rfile.read(n))
                self.send_response(204)
                self.end_headers()
                outer.got.set()

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.origin = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()


def run_page(chromium, page, cfg):
    """Opens the page with cfg in a fresh headless Chromium; the verdict, or None on time-out."""
    page.verdict = None
    page.got.clear()
    profile = tempfile.mkdtemp(prefix="qs3-chromium-")
    url = page.origin + "/#" + urllib.parse.quote(json.dumps(cfg))
    proc = subprocess.Popen([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                             "--no-first-run", "--disable-background-networking",
                             "--disable-component-update", "--disable-sync",
                             "--user-data-dir=" + profile, url],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        page.got.wait(BROWSER_SECONDS)
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(profile, ignore_errors=True)
    return page.verdict


def check(cond, what, failures):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def main():
    binary = sys.argv[1]
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("chromium is not installed (scripts/test installs it)")
        return 77
    failures = []
    page = PageServer()
    data = "uploaded by the browser\n"
    form_data = "posted by a form\n"
    with qclient.Server(binary, keys=None) as plain, qclient.Server(binary, keys=True) as signed:
        assert call("PUT", plain.endpoint + "/web-b") == 200
        assert call("PUT", plain.endpoint + "/web-b?cors", cors_rule(page.origin)) == 200
        assert call("PUT", plain.endpoint + "/bare-b") == 200
        assert call("PUT", signed.endpoint + "/web-b", signed=True) == 200
        assert call("PUT", signed.endpoint + "/web-b?cors", cors_rule(page.origin), signed=True) == 200

        # With the rule, authentication on: PUT to a presigned URL, the signed form upload, and
        # the download from a presigned URL.
        verdict = run_page(chromium, page, {
            "put_url": presign("PUT", signed.endpoint + "/web-b/a.txt"),
            "get_url": presign("GET", signed.endpoint + "/web-b/a.txt"),
            "post_url": signed.endpoint + "/web-b", "form_fields": signed_form("web-b"),
            "data": data, "form_data": form_data})
        print("verdict with the rule:", verdict)
        etag = '"%s"' % hashlib.md5(data.encode()).hexdigest()
        check(verdict is not None, "the page reported", failures)
        verdict = verdict or {}
        check(verdict.get("put") == "ok etag=" + etag, "fetch PUT stored, ETag readable", failures)
        check(verdict.get("post") == "ok", "form upload answered 201 with PostResponse", failures)
        check(verdict.get("get") == "ok", "fetch GET read the object back", failures)
        check(read(os.path.join(signed.root, "web-b", "a.txt")) == data, "PUT bytes on disk", failures)
        check(read(os.path.join(signed.root, "web-b", "form", "form.txt")) == form_data,
              "form bytes on disk", failures)

        # The same from boto3's default configuration, which presigns URLs and forms with
        # Signature Version 2. The page sends Content-Type: text/plain, which the PUT URL signs.
        s3 = boto3_default(signed.endpoint)
        p = {"Bucket": "web-b", "Key": "v2.txt"}
        post = s3.generate_presigned_post("web-b", "v2form/${filename}", ExpiresIn=600,
                                          Fields={"success_action_status": "201"},
                                          Conditions=[{"success_action_status": "201"}])
        verdict = run_page(chromium, page, {
            "put_url": s3.generate_presigned_url("put_object", ExpiresIn=600,
                                                 Params=dict(p, ContentType="text/plain")),
            "get_url": s3.generate_presigned_url("get_object", Params=p, ExpiresIn=600),
            "post_url": post["url"], "form_fields": list(post["fields"].items()),
            "data": data, "form_data": form_data})
        print("verdict with boto3's Version 2 URLs and form:", verdict)
        verdict = verdict or {}
        check(post["fields"].get("signature") and "x-amz-signature" not in post["fields"],
              "boto3's form is signed with Version 2", failures)
        check(verdict.get("put") == "ok etag=" + etag, "V2 fetch PUT stored, ETag readable", failures)
        check(verdict.get("post") == "ok", "V2 form upload answered 201", failures)
        check(verdict.get("get") == "ok", "V2 fetch GET read the object back", failures)
        check(read(os.path.join(signed.root, "web-b", "v2.txt")) == data, "V2 PUT bytes on disk", failures)
        check(read(os.path.join(signed.root, "web-b", "v2form", "form.txt")) == form_data,
              "V2 form bytes on disk", failures)

        # Without a rule the browser refuses the upload at its preflight: nothing is stored.
        verdict = run_page(chromium, page, {
            "put_url": plain.endpoint + "/bare-b/b.txt", "get_url": plain.endpoint + "/bare-b/b.txt",
            "data": data})
        print("verdict without a rule:", verdict)
        verdict = verdict or {}
        check(str(verdict.get("put", "")).startswith("blocked"), "PUT refused by the browser", failures)
        check(str(verdict.get("get", "")).startswith("blocked"), "GET unreadable by the page", failures)
        check(not os.path.exists(os.path.join(plain.root, "bare-b", "b.txt")), "nothing stored", failures)
        # A public bucket: the image shows only while the policy opens it.
        png = tiny_png()
        img_url = signed.endpoint + "/pub-b/img/pic.png"
        assert call("PUT", signed.endpoint + "/pub-b", signed=True) == 200
        assert call("PUT", img_url, png, signed=True) == 200
        check(run_page(chromium, page, {"img_url": img_url}) == {"img": "error"},
              "the image is refused without a policy", failures)
        policy = json.dumps({"Version": "2012-10-17", "Statement": [{
            "Effect": "Allow", "Principal": "*", "Action": "s3:GetObject",
            "Resource": "arn:aws:s3:::pub-b/img/*"}]}).encode()
        assert call("PUT", signed.endpoint + "/pub-b?policy", policy, signed=True) == 204
        verdict = run_page(chromium, page, {"img_url": img_url})
        print("verdict of the public image:", verdict)
        check(verdict == {"img": "ok 3x2"}, "the image shows from the public bucket", failures)
        block = (b"<PublicAccessBlockConfiguration><RestrictPublicBuckets>true</RestrictPublicBuckets>"
                 b"</PublicAccessBlockConfiguration>")
        assert call("PUT", signed.endpoint + "/pub-b?publicAccessBlock", block, signed=True) == 200
        check(run_page(chromium, page, {"img_url": img_url}) == {"img": "error"},
              "the public access block hides the image again", failures)
    page.httpd.shutdown()
    print("FAILED: %s" % failures if failures else "all browser checks passed")
    return 1 if failures else 0


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


if __name__ == "__main__":
    sys.exit(main())
