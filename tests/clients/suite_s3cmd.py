"""s3cmd (Debian) against quillmar-s3d: path-style host_base/host_bucket, plain HTTP, SigV4; as
client s3cmd-v2 the same cells with signature_v2 = True (Signature Version 2)."""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

BIG = 20 * 1024 * 1024


def config(srv, work, secret, v2):
    path = os.path.join(work, "s3cfg-%d-%d-%d" % (srv.port, len(secret), v2))
    q.write(path, ("[default]\naccess_key = %s\nsecret_key = %s\nhost_base = 127.0.0.1:%d\n"
                   "host_bucket = 127.0.0.1:%d\nuse_https = False\nbucket_location = us-east-1\n"
                   "signature_v2 = %s\n" % (q.ACCESS_KEY, secret, srv.port, srv.port, v2)).encode())
    return path


def main():
    a = q.main_args()
    client = a.client or "s3cmd"
    v2 = client == "s3cmd-v2"
    res = q.Results(a.results, client)
    work = tempfile.mkdtemp(prefix="qs3-s3cmd-")
    small = b"s3cmd small\n"
    big = q.data(BIG, 3)
    q.write(os.path.join(work, "small.txt"), small)
    q.write(os.path.join(work, "big.bin"), big)

    def s3cmd(srv, *args, secret=q.SECRET_KEY, **kw):
        return q.run(["/usr/bin/s3cmd", "-c", config(srv, work, secret, v2)] + list(args), env=q.client_env(), **kw)

    with q.Server(a.server, keys=True) as srv:
        b = "s3cmd-bucket"
        with res.op("make bucket"):
            s3cmd(srv, "mb", "s3://" + b)
        with res.op("list buckets"):
            q.check(b in s3cmd(srv, "ls").stdout.decode(), "not listed")
        with res.op("head bucket"):
            s3cmd(srv, "info", "s3://" + b)
        with res.op("put small+meta"):
            s3cmd(srv, "put", "--mime-type=text/x-note", "--add-header=x-amz-meta-color:blue",
                  os.path.join(work, "small.txt"), "s3://%s/small.txt" % b)
            meta = q.read(os.path.join(srv.root, ".s3meta", b, "small.txt")).decode()
            q.check(meta.startswith("text/x-note\n") and "x-amz-meta-color:blue" in meta, meta)
        with res.op("put 20 MiB"):
            s3cmd(srv, "put", os.path.join(work, "big.bin"), "s3://%s/big.bin" % b)
            q.check(q.read(os.path.join(srv.root, b, "big.bin")) == big, "stored bytes differ")
        with res.op("put stdin"):
            s3cmd(srv, "put", "-", "s3://%s/stdin.bin" % b, input=small * 100)
            q.check(q.read(os.path.join(srv.root, b, "stdin.bin")) == small * 100, "stored bytes differ")
        with res.op("get whole"):
            out = os.path.join(work, "big.out")
            s3cmd(srv, "get", "--force", "s3://%s/big.bin" % b, out)
            q.check(q.read(out) == big, "download differs")
        with res.op("get range"):
            # --continue resumes a partial download with a Range request for the rest.
            out = os.path.join(work, "part.out")
            q.write(out, big[:7 * 1024 * 1024 + 3])
            s3cmd(srv, "get", "--continue", "s3://%s/big.bin" % b, out)
            q.check(q.read(out) == big, "resumed download differs")
        with res.op("head object"):
            out = s3cmd(srv, "info", "s3://%s/big.bin" % b).stdout.decode()
            q.check(str(BIG) in out, out)
        with res.op("copy small"):
            s3cmd(srv, "cp", "s3://%s/small.txt" % b, "s3://%s/copy.txt" % b)
            q.check(q.read(os.path.join(srv.root, b, "copy.txt")) == small, "copy differs")
        with res.op("copy 20 MiB"):
            s3cmd(srv, "cp", "s3://%s/big.bin" % b, "s3://%s/big2.bin" % b)
            q.check(q.read(os.path.join(srv.root, b, "big2.bin")) == big, "copy differs")
        with res.op("odd keys"):
            odd = os.path.join(work, "odd")
            q.write_tree(odd, q.ODD_KEYS)
            s3cmd(srv, "mb", "s3://s3cmd-odd")
            s3cmd(srv, "sync", odd + "/", "s3://s3cmd-odd/")
            out = s3cmd(srv, "ls", "--recursive", "s3://s3cmd-odd").stdout.decode()
            got = sorted(l.split("s3://s3cmd-odd/", 1)[1] for l in out.splitlines() if "s3://" in l)
            q.check(got == sorted(q.ODD_KEYS), "listing %r" % got)
            back = os.path.join(work, "odd-back")
            s3cmd(srv, "sync", "s3://s3cmd-odd/", back + "/")
            for k in q.ODD_KEYS:
                q.check(q.read(os.path.join(back, k)) == k.encode(), "downloaded %r differs" % k)
            s3cmd(srv, "del", "--recursive", "--force", "s3://s3cmd-odd")
            left = [f for _, _, fs in os.walk(os.path.join(srv.root, "s3cmd-odd")) for f in fs]
            q.check(not left, "reported deleted but still there: %r" % left)
        keys = q.listing_keys(1100)
        q.populate(srv.root, "s3cmd-list", keys)
        with res.op("list v1"):
            out = s3cmd(srv, "ls", "--recursive", "s3://s3cmd-list").stdout.decode()
            got = sorted(l.split("s3://s3cmd-list/", 1)[1] for l in out.splitlines() if "s3://" in l)
            q.check(got == keys, "recursive listing differs (%d)" % len(got))
            out = s3cmd(srv, "ls", "s3://s3cmd-list/").stdout.decode()
            q.check("s3://s3cmd-list/dir-a/" in out and "s3://s3cmd-list/dir-b/" in out, "prefixes")
        sync = os.path.join(work, "sync")
        for i in range(4):
            q.write(os.path.join(sync, "f%d.txt" % i), q.data(500 + i, 20 + i))
        with res.op("sync up"):
            s3cmd(srv, "sync", sync + "/", "s3://%s/sync/" % b)
            q.check(q.read(os.path.join(srv.root, b, "sync", "f3.txt")) == q.data(503, 23), "f3")
        with res.op("sync changed"):
            q.write(os.path.join(sync, "f1.txt"), b"changed!")
            out = s3cmd(srv, "sync", sync + "/", "s3://%s/sync/" % b).stdout.decode()
            ups = [l for l in out.splitlines() if "upload:" in l]
            q.check(len(ups) == 1 and "f1.txt" in ups[0], "uploads %r" % ups)
        with res.op("sync down"):
            down = os.path.join(work, "down")
            s3cmd(srv, "sync", "s3://%s/sync/" % b, down + "/")
            q.check(q.read(os.path.join(down, "f1.txt")) == b"changed!", "f1")
        with res.op("delete one"):
            s3cmd(srv, "del", "s3://%s/copy.txt" % b)
            q.check(not os.path.exists(os.path.join(srv.root, b, "copy.txt")), "still there")
        q.populate(srv.root, b, ["del/k%04d" % i for i in range(1500)])
        with res.op("delete batch"):
            s3cmd(srv, "del", "--recursive", "--force", "s3://%s/del/" % b)
            q.check(not any(fs for _, _, fs in os.walk(os.path.join(srv.root, b, "del"))), "keys left")
        with res.op("remove bucket"):
            s3cmd(srv, "del", "--recursive", "--force", "s3://%s" % b)
            s3cmd(srv, "rb", "s3://" + b)
            q.check(not os.path.exists(os.path.join(srv.root, b)), "bucket dir still there")
        with res.op("wrong secret"):
            p = s3cmd(srv, "ls", secret="wrong" + q.SECRET_KEY, check_rc=False)
            q.check(p.returncode != 0 and b"SignatureDoesNotMatch" in p.stdout + p.stderr, p.stderr.decode()[-300:])
    with q.Server(a.server, keys=False) as srv:
        with res.op("auth off"):
            s3cmd(srv, "mb", "s3://open")
            s3cmd(srv, "put", os.path.join(work, "small.txt"), "s3://open/x/y.txt")
            q.check("x/y.txt" in s3cmd(srv, "ls", "--recursive", "s3://open").stdout.decode(), "ls")
    return res.close()


if __name__ == "__main__":
    sys.exit(main())
