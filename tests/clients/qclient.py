"""Shared pieces of the real-client suites: a quillmar-s3d on a free port, test data, results."""
import contextlib
import hashlib
import json
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import traceback

ACCESS_KEY = "AKIDQUILLMARTEST0001"
SECRET_KEY = "quillmarTestSecretKey/0123456789abcdefghij"
REGION = "us-east-1"

# What every server of this suite counted of its connections (its statistics document on exit):
# connections accepted, requests, requests that came on a connection that had carried one
# before, and the most one connection carried. Results.close turns it into a matrix row.
CONN_COUNTS = {"connections": 0, "requests": 0, "reused": 0, "most": 0}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """quillmar-s3d on 127.0.0.1 with a fresh root; keys None means authentication off."""

    def __init__(self, binary, keys=True, root=None):
        self.binary = binary
        self.keys = keys
        self.port = free_port()
        self.root = root or tempfile.mkdtemp(prefix="qs3-clients-")
        self.own_root = root is None
        self.proc = None

    @property
    def endpoint(self):
        return "http://127.0.0.1:%d" % self.port

    def __enter__(self):
        args = [self.binary, "--root", self.root, "--port", str(self.port), "--stats"]
        env = dict(os.environ)
        env.pop("QUILLMAR_S3_ACCESS_KEY", None)
        env.pop("QUILLMAR_S3_SECRET_KEY", None)
        if self.keys:
            env["QUILLMAR_S3_ACCESS_KEY"] = ACCESS_KEY
            env["QUILLMAR_S3_SECRET_KEY"] = SECRET_KEY
        self.proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # Bounded by the wait for any event in the tests: a sanitizer build on a loaded machine.
        deadline = time.time() + 60
        while time.time() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return self
            except OSError:
                if self.proc.poll() is not None:
                    raise RuntimeError("quillmar-s3d exited: %s" % self.proc.stdout.read())
                time.sleep(0.05)
        raise RuntimeError("quillmar-s3d did not start")

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        if self.proc:
            self.count_connections(self.proc.stdout.read().decode("utf-8", "replace"))
        if self.own_root:
            shutil.rmtree(self.root, ignore_errors=True)


    @staticmethod
    def count_connections(output):
        """Adds the counts of the statistics document the server printed as it stopped."""
        docs = [l for l in output.splitlines() if l.startswith("{")]
        if not docs:
            return
        try:
            st = json.loads(docs[-1])
        except ValueError:
            return
        CONN_COUNTS["connections"] += st.get("connections_count", 0)
        CONN_COUNTS["requests"] += st.get("requests_count", 0)
        CONN_COUNTS["reused"] += st.get("requests_on_reused_connections", 0)
        CONN_COUNTS["most"] = max(CONN_COUNTS["most"], st.get("most_requests_per_connection", 0))


def data(n, seed):
    """n deterministic pseudo-random bytes."""
    rnd = random.Random(seed)
    return rnd.randbytes(n)


def md5(b):
    return hashlib.md5(b).hexdigest()


def write(path, b):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(b)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def populate(root, bucket, keys, body=b"x"):
    """Stores keys straight into the server's tree (for listing and batch-delete volume)."""
    for k in keys:
        write(os.path.join(root, bucket, k), body)


# Keys that need percent-encoding in the path, escaping in XML, or both, and keys that are no
# Windows file names (ISO timestamps, <>:"|?*, a trailing ".", device names), which the server
# stores in an encoded form there; all are plain file names on Linux, where the suites run.
ODD_KEYS = ["sp ace.txt", "plus+sign", "pct%41", "amp&'", "\u00fcn\u00ef/c\u00f6d\u00e9", "tilde~x",
            "eq=a;b,c", "hash#y", "paren(x)!$@", "dir/sub dir/k", "logs/2026-01-01T10:00:00.log",
            "what?.txt", "a|b", "name.", "con.txt", "star*.x", "lt<gt>", 'q"uote']

# Keys no file tree can hold as paths (empty, "." and ".." segments, a segment beyond a file
# name's length, an object beside keys below it, a Windows path), for the clients that send
# keys as they are rather than syncing a folder.
API_KEYS = ["a//b", "/lead", "x/..", "./y", "s" * 300, "C:\\temp\\x", "p", "p/q"]


def write_tree(top, names):
    """One small file per name under top, each holding its own name."""
    for n in names:
        write(os.path.join(top, n), n.encode())


def listing_keys(n):
    """n keys in a nested layout with shared prefixes: dir-a/..., dir-b/sub/..., top-level."""
    out = []
    for i in range(n):
        if i % 3 == 0:
            out.append("dir-a/k%04d" % i)
        elif i % 3 == 1:
            out.append("dir-b/sub/k%04d" % i)
        else:
            out.append("top%04d" % i)
    return sorted(out)


class Results:
    """Records one line per (client, operation) into results_dir/<client>.jsonl."""

    def __init__(self, results_dir, client):
        self.client = client
        os.makedirs(results_dir, exist_ok=True)
        self.path = os.path.join(results_dir, client + ".jsonl")
        self.f = open(self.path, "w")
        self.failed = 0

    def record(self, op, status, detail=""):
        self.f.write(json.dumps({"client": self.client, "op": op, "status": status, "detail": detail}) + "\n")
        self.f.flush()
        if status == "fail":
            self.failed += 1
        print("%-14s %-16s %s %s" % (self.client, op, status, detail[:300]), flush=True)

    @contextlib.contextmanager
    def op(self, name):
        t = time.time()
        try:
            yield
        except ByDesign as e:
            self.record(name, "by design", str(e))
        except Exception as e:  # every failure becomes a matrix cell
            tb = traceback.format_exc(limit=3)
            self.record(name, "fail", "%s: %s | %s" % (type(e).__name__, e, tb.replace("\n", " ")))
        else:
            self.record(name, "pass", "%.1fs" % (time.time() - t))

    def close(self):
        # Whether the client kept its connections, from the servers' own counts: "pass" when
        # requests came on connections that had carried one before, else "one per request".
        c = CONN_COUNTS
        if c["connections"]:
            detail = "%d of %d requests on reused connections; %d connections, at most %d requests on one" % (
                c["reused"], c["requests"], c["connections"], c["most"])
            self.record("kept connections", "pass" if c["reused"] else "one per request", detail)
        self.f.close()
        return 1 if self.failed else 0


class ByDesign(Exception):
    """A client behaviour the server deliberately does not follow; the message says why."""


def check(cond, msg):
    if not cond:
        raise AssertionError(msg)


def run(cmd, env=None, input=None, check_rc=True, timeout=600):
    p = subprocess.run(cmd, env=env, input=input, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    if check_rc and p.returncode != 0:
        raise AssertionError("command %s failed rc=%d: %s %s" % (
            " ".join(cmd)[:200], p.returncode, p.stdout[-800:].decode(errors="replace"),
            p.stderr[-1500:].decode(errors="replace")))
    return p


def client_env(extra=None):
    env = dict(os.environ)
    for k in ("AWS_CA_BUNDLE", "AWS_PROFILE", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE"):
        env.pop(k, None)
    env["AWS_ACCESS_KEY_ID"] = ACCESS_KEY
    env["AWS_SECRET_ACCESS_KEY"] = SECRET_KEY
    env["AWS_DEFAULT_REGION"] = REGION
    env["AWS_REGION"] = REGION
    # Keep the clients' own files out of the user's home.
    home = tempfile.mkdtemp(prefix="qs3-home-")
    env["HOME"] = home
    env["AWS_CONFIG_FILE"] = os.path.join(home, "aws-config")
    env["AWS_SHARED_CREDENTIALS_FILE"] = os.path.join(home, "aws-credentials")
    if extra:
        env.update(extra)
    return env


def main_args():
    import argparse
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True, help="path of quillmar-s3d")
    ap.add_argument("--results", required=True, help="directory for results")
    ap.add_argument("--client", required=False, default=None)
    return ap.parse_args()


if __name__ == "__main__":
    sys.exit("this module is imported by the client suites")
