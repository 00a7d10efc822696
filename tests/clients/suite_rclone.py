"""rclone (Debian) against quillmar-s3d: an s3 remote with provider Other and region us-east-1."""
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

BIG = 20 * 1024 * 1024


def env_for(srv, secret):
    e = q.client_env()
    for k in list(e):
        if k.startswith("RCLONE_"):
            del e[k]
    e.update({
        "RCLONE_CONFIG": "/dev/null",
        "RCLONE_CONFIG_Q_TYPE": "s3",
        "RCLONE_CONFIG_Q_PROVIDER": "Other",
        "RCLONE_CONFIG_Q_ENDPOINT": srv.endpoint,
        "RCLONE_CONFIG_Q_REGION": q.REGION,
        "RCLONE_CONFIG_Q_ACCESS_KEY_ID": q.ACCESS_KEY,
        "RCLONE_CONFIG_Q_SECRET_ACCESS_KEY": secret,
    })
    return e


def main():
    a = q.main_args()
    res = q.Results(a.results, a.client or "rclone")
    work = tempfile.mkdtemp(prefix="qs3-rclone-")
    small = b"rclone small\n"
    big = q.data(BIG, 4)
    q.write(os.path.join(work, "small.txt"), small)
    q.write(os.path.join(work, "big.bin"), big)

    def rc(srv, *args, secret=q.SECRET_KEY, **kw):
        return q.run(["/usr/bin/rclone", "--retries", "1", "--low-level-retries", "1"] + list(args),
                     env=env_for(srv, secret), **kw)

    with q.Server(a.server, keys=True) as srv:
        b = "rclone-bucket"
        with res.op("make bucket"):
            rc(srv, "mkdir", "q:" + b)
            q.check(os.path.isdir(os.path.join(srv.root, b)), "no bucket dir")
        with res.op("list buckets"):
            q.check(b in rc(srv, "lsd", "q:").stdout.decode(), "not listed")
        with res.op("put small+meta"):
            rc(srv, "copyto", "--header-upload", "Content-Type: text/x-note", "--header-upload",
               "x-amz-meta-color: blue", os.path.join(work, "small.txt"), "q:%s/small.txt" % b)
            info = json.loads(rc(srv, "lsjson", "-M", "q:%s/small.txt" % b).stdout)
            q.check(info and info[0]["MimeType"] == "text/x-note", str(info))
            q.check(info[0].get("Metadata", {}).get("color") == "blue", str(info))
        with res.op("put 20 MiB"):
            rc(srv, "copyto", os.path.join(work, "big.bin"), "q:%s/big.bin" % b)
            q.check(q.read(os.path.join(srv.root, b, "big.bin")) == big, "stored bytes differ")
        with res.op("multipart api"):
            # Above the upload cutoff rclone switches to a multipart upload.
            rc(srv, "copy", "--s3-upload-cutoff", "5M", "--s3-chunk-size", "5M",
               os.path.join(work, "big.bin"), "q:%s/mp" % b)
            q.check(q.read(os.path.join(srv.root, b, "mp", "big.bin")) == big, "stored bytes differ")
            info = json.loads(rc(srv, "lsjson", "q:%s/mp/big.bin" % b).stdout)
            q.check(info and info[0]["Size"] == BIG, str(info))
            q.check(rc(srv, "cat", "q:%s/mp/big.bin" % b).stdout == big, "download differs")
            ups = json.loads(rc(srv, "backend", "list-multipart-uploads", "q:" + b).stdout)
            q.check(ups == {b: []}, "uploads left %r" % ups)
        with res.op("put stdin"):
            rc(srv, "rcat", "q:%s/stdin.bin" % b, input=small * 500)
            q.check(q.read(os.path.join(srv.root, b, "stdin.bin")) == small * 500, "stored bytes differ")
        with res.op("get whole"):
            q.check(rc(srv, "cat", "q:%s/big.bin" % b).stdout == big, "download differs")
        with res.op("get range"):
            out = rc(srv, "cat", "--offset", "100", "--count", "50", "q:%s/big.bin" % b).stdout
            q.check(out == big[100:150], "range differs")
        with res.op("head object"):
            info = json.loads(rc(srv, "lsjson", "q:%s/big.bin" % b).stdout)
            q.check(info and info[0]["Size"] == BIG, str(info))
        with res.op("copy small"):
            rc(srv, "copyto", "q:%s/small.txt" % b, "q:%s/copy.txt" % b)
            q.check(q.read(os.path.join(srv.root, b, "copy.txt")) == small, "copy differs")
        with res.op("copy 20 MiB"):
            rc(srv, "copyto", "q:%s/big.bin" % b, "q:%s/big2.bin" % b)
            q.check(q.read(os.path.join(srv.root, b, "big2.bin")) == big, "copy differs")
        with res.op("odd keys"):
            odd = os.path.join(work, "odd")
            q.write_tree(odd, q.ODD_KEYS)
            rc(srv, "copy", odd, "q:%s/odd" % b)
            got = rc(srv, "lsf", "-R", "--files-only", "q:%s/odd" % b).stdout.decode().splitlines()
            q.check(sorted(got) == sorted(q.ODD_KEYS), "listing %r" % got)
            back = os.path.join(work, "odd-back")
            rc(srv, "copy", "q:%s/odd" % b, back)
            for k in q.ODD_KEYS:
                q.check(q.read(os.path.join(back, k)) == k.encode(), "downloaded %r differs" % k)
            rc(srv, "check", odd, "q:%s/odd" % b)
            rc(srv, "delete", "q:%s/odd" % b)
            q.check(not rc(srv, "lsf", "-R", "--files-only", "q:%s/odd" % b).stdout, "keys left")
        with res.op("folder marker"):
            # rclone mkdir inside a bucket: whether or not it leaves a marker, the listing shows
            # the folder once files are in it, and a marker made by another client ("fm/", as the
            # console's "Create folder" stores it) neither shows as a file nor hides the folder.
            rc(srv, "mkdir", "q:%s/fm/made" % b)
            made = os.path.exists(os.path.join(srv.root, b, "fm", "made", ".quillmar-folder"))
            print("rclone mkdir inside a bucket %s a folder marker" % ("stores" if made else "does not store"))
            rc(srv, "copyto", os.path.join(work, "small.txt"), "q:%s/fm/made/a.txt" % b)
            q.write(os.path.join(srv.root, b, "fm", ".quillmar-folder"), b"")
            out = rc(srv, "lsf", "q:%s/fm" % b).stdout.decode().split()
            q.check(out == ["made/"], "lsf %r" % out)
            out = sorted(rc(srv, "lsf", "-R", "q:%s/fm" % b).stdout.decode().split())
            q.check(out == ["made/", "made/a.txt"], "lsf -R %r" % out)
            out = rc(srv, "lsd", "q:%s" % b).stdout.decode()
            q.check(" fm" in out, "lsd %r" % out)
            rc(srv, "purge", "q:%s/fm" % b)
            q.check(not rc(srv, "lsf", "-R", "q:%s/fm" % b, check_rc=False).stdout, "left after purge")
            # rclone skips zero-length "/" keys when it lists, so purge leaves the other client's
            # marker behind, on any S3 server; it goes as it came.
            q.check(os.path.exists(os.path.join(srv.root, b, "fm", ".quillmar-folder")), "marker gone")
            os.unlink(os.path.join(srv.root, b, "fm", ".quillmar-folder"))
        keys = q.listing_keys(1100)
        q.populate(srv.root, "rclone-list", keys)
        with res.op("list v1"):
            out = rc(srv, "lsf", "-R", "--files-only", "--s3-list-chunk", "100", "--s3-list-version", "1",
                     "q:rclone-list").stdout.decode()
            q.check(sorted(out.split()) == keys, "v1 listing differs")
        with res.op("list v2"):
            out = rc(srv, "ls", "--s3-list-chunk", "100", "--s3-list-version", "2", "q:rclone-list").stdout.decode()
            q.check(sorted(l.split(None, 1)[1] for l in out.splitlines()) == keys, "v2 listing differs")
            out = rc(srv, "lsf", "--s3-list-chunk", "7", "q:rclone-list/dir-b").stdout.decode()
            q.check(out.split() == ["sub/"], "nested lsf %r" % out)
        with res.op("versioning"):
            vb = "rclone-versions"
            rc(srv, "mkdir", "q:" + vb)
            rc(srv, "backend", "versioning", "q:" + vb, "Enabled")
            for body in (b"one", b"two!"):
                q.write(os.path.join(work, "v.txt"), body)
                rc(srv, "copyto", os.path.join(work, "v.txt"), "q:%s/v.txt" % vb)
            out = json.loads(rc(srv, "lsjson", "--s3-versions", "q:" + vb).stdout)
            names = sorted((x["Name"], x["Size"]) for x in out)
            q.check(len(names) == 2 and ("v.txt", 4) in names, "versions %r" % names)
            older = [n for n, size in names if n != "v.txt"]
            q.check(older and older[0].startswith("v-v") and older[0].endswith(".txt"), "older %r" % older)
            q.check(rc(srv, "cat", "--s3-versions", "q:%s/%s" % (vb, older[0])).stdout == b"one", "old bytes")
            rc(srv, "purge", "--s3-versions", "q:" + vb, check_rc=False)
        sync = os.path.join(work, "sync")
        for i in range(4):
            q.write(os.path.join(sync, "f%d.txt" % i), q.data(700 + i, 30 + i))
        with res.op("sync up"):
            rc(srv, "sync", sync, "q:%s/sync" % b)
            q.check(q.read(os.path.join(srv.root, b, "sync", "f0.txt")) == q.data(700, 30), "f0")
        with res.op("sync changed"):
            q.write(os.path.join(sync, "f3.txt"), b"changed for rclone")
            p = rc(srv, "sync", "-v", sync, "q:%s/sync" % b)
            lines = [l for l in p.stderr.decode().splitlines() if ": Copied" in l]
            q.check(len(lines) == 1 and "f3.txt" in lines[0], "copied %r" % lines)
        with res.op("sync touched"):
            # Only the modification time changes: rclone records the new time with a copy of the
            # object onto itself that replaces its metadata.
            t = os.path.getmtime(os.path.join(sync, "f0.txt")) - 3600
            os.utime(os.path.join(sync, "f0.txt"), (t, t))
            rc(srv, "sync", sync, "q:%s/sync" % b)
            q.check(q.read(os.path.join(srv.root, b, "sync", "f0.txt")) == q.data(700, 30), "f0 content changed")
            p = rc(srv, "sync", "-v", sync, "q:%s/sync" % b)
            again = [l for l in p.stderr.decode().splitlines() if "f0.txt" in l]
            q.check(not again, "second sync still acts on f0: %r" % again)
        with res.op("sync down"):
            down = os.path.join(work, "down")
            rc(srv, "sync", "q:%s/sync" % b, down)
            q.check(q.read(os.path.join(down, "f3.txt")) == b"changed for rclone", "f3")
            rc(srv, "check", sync, "q:%s/sync" % b)  # sizes and MD5 (listing ETags) agree
        with res.op("delete one"):
            rc(srv, "deletefile", "q:%s/copy.txt" % b)
            q.check(not os.path.exists(os.path.join(srv.root, b, "copy.txt")), "still there")
        q.populate(srv.root, b, ["del/k%04d" % i for i in range(1500)])
        with res.op("delete batch"):
            rc(srv, "delete", "--transfers", "8", "--checkers", "8", "q:%s/del" % b)
            q.check(not any(fs for _, _, fs in os.walk(os.path.join(srv.root, b, "del"))), "keys left")
        with res.op("remove bucket"):
            rc(srv, "purge", "q:" + b)
            q.check(not os.path.exists(os.path.join(srv.root, b)), "bucket dir still there")
        with res.op("wrong secret"):
            p = rc(srv, "lsd", "q:", secret="wrong", check_rc=False)
            q.check(p.returncode != 0 and b"SignatureDoesNotMatch" in p.stderr, p.stderr.decode()[-300:])
    with q.Server(a.server, keys=False) as srv:
        with res.op("auth off"):
            rc(srv, "mkdir", "q:open")
            rc(srv, "copyto", os.path.join(work, "small.txt"), "q:open/n/e/s/t.txt")
            q.check("n/e/s/t.txt" in rc(srv, "ls", "q:open").stdout.decode(), "ls")
    return res.close()


if __name__ == "__main__":
    sys.exit(main())
