"""The `s3` tool of Debian's libs3 against quillmar-s3d: path-style requests over plain HTTP to
127.0.0.1:PORT, signed with Signature Version 2 (the only scheme it has), keys on; and its
presigned query string (gqs) fetched with curl."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

BIG = 20 * 1024 * 1024


def main():
    a = q.main_args()
    res = q.Results(a.results, a.client or "libs3")
    work = tempfile.mkdtemp(prefix="qs3-libs3-")
    small = b"libs3 small\n"
    big = q.data(BIG, 5)
    q.write(os.path.join(work, "small.txt"), small)
    q.write(os.path.join(work, "big.bin"), big)

    with q.Server(a.server, keys=True) as srv:
        def s3(*args, secret=q.SECRET_KEY, check_rc=True):
            env = dict(os.environ, S3_ACCESS_KEY_ID=q.ACCESS_KEY, S3_SECRET_ACCESS_KEY=secret,
                       S3_HOSTNAME="127.0.0.1:%d" % srv.port)
            # -u: plain HTTP; path-style is its default. -r 0: a refusal is not retried.
            return q.run(["/usr/bin/s3", "-u", "-r", "0"] + list(args), env=env, check_rc=check_rc)

        b = "libs3-bucket"
        with res.op("make bucket"):
            s3("create", b)
            q.check(os.path.isdir(os.path.join(srv.root, b)), "no bucket directory")
        with res.op("list buckets"):
            q.check(b in s3("list").stdout.decode(), "not listed")
        with res.op("head bucket"):
            s3("test", b)
        with res.op("put small+meta"):
            s3("put", "%s/notes/small.txt" % b, "filename=" + os.path.join(work, "small.txt"),
               "contentType=text/x-note", "x-amz-meta-color=blue")
            meta = q.read(os.path.join(srv.root, ".s3meta", b, "notes", "small.txt")).decode()
            q.check(meta.startswith("text/x-note\n") and "x-amz-meta-color:blue" in meta, meta)
        with res.op("put 20 MiB"):
            s3("put", "%s/big.bin" % b, "filename=" + os.path.join(work, "big.bin"))
            q.check(q.read(os.path.join(srv.root, b, "big.bin")) == big, "stored bytes differ")
        with res.op("get whole"):
            out = os.path.join(work, "big.out")
            s3("get", "%s/big.bin" % b, "filename=" + out)
            q.check(q.read(out) == big, "download differs")
        with res.op("get range"):
            out = os.path.join(work, "range.out")
            s3("get", "%s/big.bin" % b, "filename=" + out, "startByte=1000", "byteCount=5000")
            q.check(q.read(out) == big[1000:6000], "range differs")
        with res.op("head object"):
            out = s3("head", "%s/big.bin" % b).stdout.decode()
            q.check(str(BIG) in out, out)
        with res.op("copy small"):
            s3("copy", "%s/notes/small.txt" % b, "%s/copy.txt" % b)
            q.check(q.read(os.path.join(srv.root, b, "copy.txt")) == small, "copy differs")
        keys = q.listing_keys(1100)
        q.populate(srv.root, "libs3-list", keys)
        with res.op("list v1"):
            # Beyond one page of 1000: the tool follows the markers.
            out = s3("list", "libs3-list").stdout.decode()
            got = sorted(l.split()[0] for l in out.splitlines()[2:] if l.strip())
            q.check(got == keys, "listing differs (%d)" % len(got))
            out = s3("list", "libs3-list", "delimiter=/").stdout.decode()
            q.check("dir-a/" in out and "dir-b/" in out, out[:500])
        with res.op("presigned get"):
            url = s3("gqs", "%s/notes/small.txt" % b).stdout.decode().strip()
            q.check("AWSAccessKeyId=" in url and "Signature=" in url, url)
            p = subprocess.run(["curl", "-s", "-o", "-", "-w", "\n%{http_code}", url],
                               stdout=subprocess.PIPE)
            body, _, status = p.stdout.rpartition(b"\n")
            q.check(status == b"200" and body == small, "%s %r" % (status, body[:300]))
        with res.op("delete one"):
            s3("delete", "%s/copy.txt" % b)
            q.check(not os.path.exists(os.path.join(srv.root, b, "copy.txt")), "still there")
        with res.op("remove bucket"):
            for k in ("notes/small.txt", "big.bin"):
                s3("delete", "%s/%s" % (b, k))
            s3("delete", b)
            q.check(not os.path.exists(os.path.join(srv.root, b)), "bucket dir still there")
        with res.op("wrong secret"):
            # The tool reports a refusal on its output and still exits 0.
            p = s3("list", secret="wrong" + q.SECRET_KEY, check_rc=False)
            text = (p.stdout + p.stderr).decode(errors="replace")
            q.check("ErrorSignatureDoesNotMatch" in text and "StringToSign" in text, text[-300:])
    return res.close()


if __name__ == "__main__":
    sys.exit(main())
