"""s3fs-fuse (Debian) against quillmar-s3d: a bucket mounted with keys on, path-style requests.

A mounted file system lists each folder with ?delimiter=/&prefix=dir/ sent with its "/" raw and
signs the escaped form, so every folder listing checks the server's canonical query.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

S3FS = "/usr/bin/s3fs"
BIG = 25 * 1024 * 1024  # above s3fs's multipart threshold


def wait_for(pred, what, bound=60):
    deadline = time.time() + bound
    while time.time() < deadline:
        if pred():
            return
        time.sleep(0.05)
    raise AssertionError("%s within %ds" % (what, bound))


def mount(srv, bucket, mnt, passwd, extra=()):
    opts = ["url=" + srv.endpoint, "use_path_request_style", "passwd_file=" + passwd, "retries=1",
            "stat_cache_expire=1"] + list(extra)
    q.run([S3FS, bucket, mnt, "-o", ",".join(opts)], env=q.client_env(), timeout=120)
    wait_for(lambda: os.path.ismount(mnt), "mounted")


def unmount(mnt):
    if os.path.ismount(mnt):
        subprocess.run(["/usr/bin/fusermount", "-u", mnt], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: not os.path.ismount(mnt), "unmounted")


def main():
    a = q.main_args()
    res = q.Results(a.results, a.client or "s3fs")
    if not os.path.exists("/dev/fuse"):
        print("SKIPPED: /dev/fuse is absent, so no FUSE file system can be mounted here")
        res.record("suite", "skipped", "/dev/fuse is absent")
        res.close()
        return 77
    work = tempfile.mkdtemp(prefix="qs3-s3fs-")
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt)
    passwd = os.path.join(work, "passwd")
    q.write(passwd, ("%s:%s\n" % (q.ACCESS_KEY, q.SECRET_KEY)).encode())
    os.chmod(passwd, 0o600)
    small = b"s3fs small\n"
    big = q.data(BIG, 7)
    q.write(os.path.join(work, "small.txt"), small)
    q.write(os.path.join(work, "big.bin"), big)
    b = "s3fs-bucket"
    try:
        with q.Server(a.server, keys=True) as srv:
            # The bucket and a few objects exist before the mount (s3fs makes no buckets).
            stored = {"top.txt": b"top\n", "dir/a.txt": b"a\n", "dir/sub/b.bin": q.data(70000, 8),
                      "dir/sp ace+plus.txt": b"odd\n"}
            os.makedirs(os.path.join(srv.root, b))
            for k, v in stored.items():
                q.write(os.path.join(srv.root, b, k), v)
            with res.op("mount"):
                mount(srv, b, mnt, passwd)
            with res.op("list folders"):
                q.check(sorted(os.listdir(mnt)) == ["dir", "top.txt"], "root %r" % sorted(os.listdir(mnt)))
                got = sorted(os.listdir(os.path.join(mnt, "dir")))
                q.check(got == ["a.txt", "sp ace+plus.txt", "sub"], "dir %r" % got)
                got = os.listdir(os.path.join(mnt, "dir", "sub"))
                q.check(got == ["b.bin"], "dir/sub %r" % got)
                q.check(os.path.getsize(os.path.join(mnt, "dir", "sub", "b.bin")) == 70000, "size")
            with res.op("copy out"):
                for k, v in stored.items():
                    out = os.path.join(work, "out.bin")
                    q.run(["cp", os.path.join(mnt, k), out])
                    q.check(q.read(out) == v, "%s differs" % k)
            with res.op("copy in"):
                os.makedirs(os.path.join(mnt, "new", "deep"))
                q.run(["cp", os.path.join(work, "small.txt"), os.path.join(mnt, "new", "deep", "small.txt")])
                q.run(["cp", os.path.join(work, "big.bin"), os.path.join(mnt, "new", "big.bin")])
                q.check(q.read(os.path.join(srv.root, b, "new", "deep", "small.txt")) == small, "small on disk")
                q.check(q.read(os.path.join(srv.root, b, "new", "big.bin")) == big, "big on disk")
                q.check(sorted(os.listdir(os.path.join(mnt, "new"))) == ["big.bin", "deep"], "new folder")
            with res.op("rename"):
                os.rename(os.path.join(mnt, "new", "deep", "small.txt"), os.path.join(mnt, "new", "moved.txt"))
                q.check(q.read(os.path.join(srv.root, b, "new", "moved.txt")) == small, "moved on disk")
                q.check(not os.path.exists(os.path.join(srv.root, b, "new", "deep", "small.txt")), "old name left")
            with res.op("delete"):
                os.remove(os.path.join(mnt, "new", "big.bin"))
                q.check(not os.path.exists(os.path.join(srv.root, b, "new", "big.bin")), "still on disk")
                q.check(sorted(os.listdir(os.path.join(mnt, "new"))) == ["deep", "moved.txt"], "after delete")
            with res.op("unmount"):
                unmount(mnt)
                q.check(os.listdir(mnt) == [], "mount point not empty after unmount")
            # Mounted again, signing for another region: the same tree, byte for byte.
            with res.op("region eu-west-1"):
                mount(srv, b, mnt, passwd, ["endpoint=eu-west-1"])
                q.check(q.read(os.path.join(mnt, "dir", "sub", "b.bin")) == stored["dir/sub/b.bin"], "read")
                q.check(sorted(os.listdir(os.path.join(mnt, "new"))) == ["deep", "moved.txt"], "listing")
                unmount(mnt)
    finally:
        unmount(mnt)
        shutil.rmtree(work, ignore_errors=True)
    return res.close()


if __name__ == "__main__":
    sys.exit(main())
