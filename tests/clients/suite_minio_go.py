"""minio-go (Debian's golang-github-minio-minio-go-v7-dev) against quillmar-s3d: the program in
go/ is built offline against the Debian Go sources (no modules, no proxy), then run."""
import json
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

GOCODE = "/usr/share/gocode"


def build(tmp):
    import subprocess
    src = os.path.join(tmp, "src", "qs3minio")
    os.makedirs(src)
    shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "go", "minio_go.go"), src)
    env = dict(os.environ)
    env.update({"GO111MODULE": "off", "GOPATH": tmp + ":" + GOCODE, "GOPROXY": "off", "GOFLAGS": "",
                "GOCACHE": os.path.join(tmp, "cache"), "CGO_ENABLED": "0"})
    exe = os.path.join(tmp, "minio_go")
    p = subprocess.run(["go", "build", "-o", exe, "."], env=env, cwd=src, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=600)
    return exe, p


def main():
    a = q.main_args()
    res = q.Results(a.results, a.client or "minio-go")
    with tempfile.TemporaryDirectory() as tmp:
        with res.op("build"):
            exe, p = build(tmp)
            q.check(p.returncode == 0, "go build failed: %s" % p.stderr.decode(errors="replace")[-1500:])
        if not os.path.exists(exe):
            return res.close()
        with q.Server(a.server, keys=True) as srv:
            env = q.client_env({"QS3_HOSTPORT": srv.endpoint.split("://", 1)[1], "QS3_ROOT": srv.root})
            p = q.run([exe], env=env, check_rc=False, timeout=900)
            seen = False
            for line in p.stdout.decode(errors="replace").splitlines():
                if line.startswith("RESULT "):
                    r = json.loads(line[7:])
                    res.record(r["op"], r["status"], r.get("detail", ""))
                    seen = True
            if p.returncode != 0 or not seen:
                res.record("suite", "fail", "exited %d: %s" % (p.returncode, p.stderr.decode(errors="replace")[-1500:]))
    return res.close()


if __name__ == "__main__":
    sys.exit(main())
