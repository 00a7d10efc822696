#!/usr/bin/env python3
"""Race harness: many clients at once against one or more servers that share one storage root.

Rounds of concurrent PUT, GET, HEAD, listing, multipart (distinct parts and one part sent twice),
DeleteBucket racing PUTs, and If-None-Match creates. Every body names its key, its version and
its length and is filled with bytes derived from them, so a reader can tell a torn body (bytes
of two versions), a cut body (fewer bytes than it says), a body stored under another key, and
an ETag that belongs to another version. Counts, all of which must be 0:

  torn          a GET body mixing versions, or whose ETag is not its own MD5
  cut           a body shorter than its Content-Length or than it says
  other_key     a key answering with another key's body
  lost          an acknowledged write not visible to a read that began after the answer, not
                the key's content at the end, or gone with a bucket that DeleteBucket removed
  listing       a listing entry whose Size and ETag are not one version of that key
  multipart     a completed upload whose bytes are not the parts it was completed with
  resurrected   a bucket that DeleteBucket answered 204 for and that exists again
  conditional   an If-None-Match round without exactly one winner, or whose winner's body is
                not the stored one
  errors        5xx answers other than 503 SlowDown, and connections closed unanswered

usage: race.py [--spawn one|two|pidns --bin quillmar-s3d --root DIR] [--endpoint HOST:PORT ...]
               [--scale N] [--seconds S] [--tag TEXT]
With --spawn, the harness starts its servers (two on one root, or two each in its own PID
namespace through unshare) and stops them by process id. Requests go round robin over the
endpoints. Exit status 0 only when every count is 0.
"""
import argparse
import hashlib
import http.client
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

FAULTS = ["torn", "cut", "other_key", "lost", "listing", "multipart", "resurrected",
          "conditional", "errors"]
INFO = ["requests", "slowdown", "gets", "heads", "listed_entries", "mpu_completes",
        "same_part_completes", "delete_rounds", "buckets_deleted", "cond_rounds"]


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.n = {k: 0 for k in FAULTS + INFO}
        self.examples = []

    def add(self, what, k=1, example=None):
        with self.lock:
            self.n[what] += k
            # A few examples of each kind, so one frequent fault does not hide the others.
            if example and sum(e.startswith(what + ":") for e in self.examples) < 3:
                self.examples.append(("%s: %s" % (what, example))[:160])


T = Tally()
ENDPOINTS = []
_rr = [0]
_rr_lock = threading.Lock()


def endpoint():
    with _rr_lock:
        _rr[0] += 1
        return ENDPOINTS[_rr[0] % len(ENDPOINTS)]


def request(method, path, body=b"", headers=None, ep=None):
    """One request on its own connection: (status, headers dict lower-case, body bytes, cut).
    cut is 1 when the body ended before its Content-Length. Status 0: no answer."""
    host, port = ep or endpoint()
    T.add("requests")
    for attempt in range(3):
        conn = http.client.HTTPConnection(host, port, timeout=120)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            hdrs = {k.lower(): v for k, v in r.getheaders()}
            cut = 0
            try:
                data = r.read()
            except http.client.IncompleteRead as e:
                data, cut = e.partial, 1
            if r.status == 503:
                T.add("slowdown")
            elif r.status >= 500:
                T.add("errors", example="%s %s -> %d %s" % (method, path, r.status, data[:200]))
            return r.status, hdrs, data, cut
        except (ConnectionRefusedError, ConnectionResetError) as e:
            # A refused connect (backlog full) never reached the server; retry it.
            if attempt == 2:
                T.add("errors", example="%s %s -> %s" % (method, path, e))
                return 0, {}, b"", 0
        except (OSError, http.client.HTTPException) as e:
            T.add("errors", example="%s %s -> %s" % (method, path, e))
            return 0, {}, b"", 0
        finally:
            conn.close()
    return 0, {}, b"", 0


# ---------------------------------------------------------------- self-describing bodies

def make_body(key, version, size):
    head = ("%s|%d|%d|" % (key, version, size)).encode()
    seed = hashlib.sha256(head).digest()
    fill = (seed * (size // 32 + 2))[: max(0, size - len(head))]
    return (head + fill)[:size] if size >= len(head) else head


def parse_body(data):
    """(key, version, size) from a body's head, or None when it has none."""
    m = re.match(rb"([^|]{1,200})\|(\d{1,9})\|(\d{1,10})\|", data[:256])
    if not m:
        return None
    return m.group(1).decode(), int(m.group(2)), int(m.group(3))


def md5(b):
    return hashlib.md5(b).hexdigest()


def check_get(key, status, hdrs, data, cut, min_version):
    """Checks one answer to a GET of key; returns the version it held, or None."""
    if status != 200:
        return None
    T.add("gets")
    info = parse_body(data)
    clen = int(hdrs.get("content-length", "-1"))
    if cut or (clen >= 0 and len(data) != clen):
        T.add("cut", example="%s: %d of %d bytes" % (key, len(data), clen))
        return None
    if info is None:
        T.add("torn", example="%s: body without its head" % key)
        return None
    bkey, version, size = info
    if bkey != key:
        T.add("other_key", example="%s answered with %s v%d" % (key, bkey, version))
        return None
    if len(data) < size:
        T.add("cut", example="%s v%d: %d of %d bytes" % (key, version, len(data), size))
        return None
    if data != make_body(bkey, version, size):
        T.add("torn", example="%s v%d: bytes of another version" % (key, version))
        return None
    etag = hdrs.get("etag", "").strip('"')
    if etag != md5(data):
        T.add("torn", example="%s v%d: ETag %s is not its body's" % (key, version, etag))
    if version < min_version:
        T.add("lost", example="%s: v%d read after v%d was acknowledged" % (key, version, min_version))
    return version


# ---------------------------------------------------------------- rounds

class Keyspace:
    """Keys each owned by one writer; what was acknowledged, and every version's ETag."""

    def __init__(self, bucket, nkeys, prefix):
        self.bucket, self.prefix = bucket, prefix
        self.keys = ["%s/k%03d" % (prefix, i) for i in range(nkeys)]
        self.acked = {k: 0 for k in self.keys}
        self.etags = {}  # etag -> (key, version, size)
        self.lock = threading.Lock()

    def size_of(self, key, version):
        r = random.Random("%s:%d" % (key, version))
        return r.choice([0, 40, 1000, 4096, 65536, 65537, 200000])


def writer(ks, keys, versions):
    for v in range(1, versions + 1):
        for key in keys:
            size = ks.size_of(key, v)
            body = make_body(key, v, size)
            with ks.lock:
                ks.etags[md5(body)] = (key, v, len(body))
            st, hdrs, _, _ = request("PUT", "/%s/%s" % (ks.bucket, key), body)
            if st == 200:
                if hdrs.get("etag", "").strip('"') != md5(body):
                    T.add("torn", example="PUT %s v%d answered ETag %s" % (key, v, hdrs.get("etag")))
                with ks.lock:
                    ks.acked[key] = max(ks.acked[key], v)
                # HEAD right after the answer must show this version (or a later one).
                st, h, _, _ = request("HEAD", "/%s/%s" % (ks.bucket, key))
                if st == 200:
                    T.add("heads")
                    et = h.get("etag", "").strip('"')
                    with ks.lock:
                        known = ks.etags.get(et)
                    if known is None or known[0] != key or known[1] < v or \
                            int(h.get("content-length", "-1")) != known[2]:
                        T.add("lost", example="HEAD %s after v%d: ETag %s" % (key, v, et))
                elif st != 503:
                    T.add("lost", example="HEAD %s after v%d: %d" % (key, v, st))


def reader(ks, stop):
    rnd = random.Random()
    while not stop.is_set():
        key = rnd.choice(ks.keys)
        with ks.lock:
            floor = ks.acked[key]
        st, hdrs, data, cut = request("GET", "/%s/%s" % (ks.bucket, key))
        check_get(key, st, hdrs, data, cut, floor)


def lister(ks, stop):
    while not stop.is_set():
        st, _, data, _ = request("GET", "/%s?list-type=2&prefix=%s/" % (ks.bucket, ks.prefix))
        if st != 200:
            continue
        for m in re.finditer(rb"<Contents>(.*?)</Contents>", data, re.S):
            ent = m.group(1)
            key = re.search(rb"<Key>(.*?)</Key>", ent).group(1).decode()
            size = int(re.search(rb"<Size>(\d+)</Size>", ent).group(1))
            etag = re.search(rb"<ETag>(.*?)</ETag>", ent).group(1).decode().replace("&quot;", "").strip('"')
            T.add("listed_entries")
            with ks.lock:
                known = ks.etags.get(etag)
            if known is None or known[0] != key or known[2] != size:
                T.add("listing", example="%s: Size %d ETag %s is %s" % (key, size, etag, known))


def round_objects(bucket, tag, scale):
    ks = Keyspace(bucket, 6 * scale, "obj-" + tag)
    stop = threading.Event()
    nwriters = 3
    groups = [ks.keys[i::nwriters] for i in range(nwriters)]
    ws = [threading.Thread(target=writer, args=(ks, g, 6)) for g in groups]
    rs = [threading.Thread(target=reader, args=(ks, stop)) for _ in range(3)]
    ls = [threading.Thread(target=lister, args=(ks, stop)) for _ in range(2)]
    for t in ws + rs + ls:
        t.start()
    for t in ws:
        t.join()
    stop.set()
    for t in rs + ls:
        t.join()
    # At the end every key holds exactly its last acknowledged version, on every endpoint.
    for ep in ENDPOINTS:
        for key in ks.keys:
            st, hdrs, data, cut = request("GET", "/%s/%s" % (bucket, key), ep=ep)
            got = check_get(key, st, hdrs, data, cut, ks.acked[key])
            if ks.acked[key] and got != ks.acked[key]:
                T.add("lost", example="%s: v%s at the end, v%d acknowledged" % (key, got, ks.acked[key]))


def complete_xml(parts):
    items = "".join("<Part><PartNumber>%d</PartNumber><ETag>\"%s\"</ETag></Part>" % (n, e)
                    for n, e in parts)
    return ("<CompleteMultipartUpload>%s</CompleteMultipartUpload>" % items).encode()


def initiate(bucket, key):
    st, _, data, _ = request("POST", "/%s/%s?uploads" % (bucket, key))
    m = re.search(rb"<UploadId>(.*?)</UploadId>", data)
    return m.group(1).decode() if st == 200 and m else None


def round_multipart(bucket, tag, n):
    """Parts sent at once, and one part number sent twice with two bodies at once."""
    for i in range(n):
        key = "mpu-%s/%d" % (tag, i)
        uid = initiate(bucket, key)
        if not uid:
            continue
        bodies = {p: os.urandom(random.choice([1, 5000, 70000, 300000])) for p in (1, 2, 3)}
        twin = os.urandom(len(bodies[2]) or 1)
        got = {}

        def up(part, body, slot):
            st, h, _, _ = request("PUT", "/%s/%s?partNumber=%d&uploadId=%s" % (bucket, key, part, uid), body)
            if st == 200:
                got[slot] = h.get("etag", "").strip('"')

        ts = [threading.Thread(target=up, args=(p, b, p)) for p, b in bodies.items()]
        ts.append(threading.Thread(target=up, args=(2, twin, "twin")))
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        if len(got) != 4:
            request("DELETE", "/%s/%s?uploadId=%s" % (bucket, key, uid))
            continue
        # Complete with one of the two bodies of part 2, chosen at random: the server either
        # assembles exactly that body or refuses the ETag (InvalidPart); never the other one.
        use_twin = random.random() < 0.5
        p2 = twin if use_twin else bodies[2]
        e2 = got["twin"] if use_twin else got[2]
        if md5(p2) != e2:
            T.add("multipart", example="%s part 2 answered ETag %s for another body" % (key, e2))
        st, _, data, _ = request("POST", "/%s/%s?uploadId=%s" % (bucket, key, uid),
                                 complete_xml([(1, got[1]), (2, e2), (3, got[3])]))
        if st != 200 or b"<Error>" in data:
            if b"InvalidPart" not in data:
                T.add("multipart", example="%s complete: %d %s" % (key, st, data[:200]))
            request("DELETE", "/%s/%s?uploadId=%s" % (bucket, key, uid))
            continue
        T.add("mpu_completes")
        T.add("same_part_completes")
        want = bodies[1] + p2 + bodies[3]
        st, hdrs, data, cut = request("GET", "/%s/%s" % (bucket, key))
        if st != 200 or cut or data != want:
            other = bodies[1] + (bodies[2] if use_twin else twin) + bodies[3]
            T.add("multipart", example="%s: %d, %d bytes, %s" % (
                key, st, len(data), "the other part-2 body" if data == other else "not its parts"))


def round_delete_bucket(tag, n):
    """DeleteBucket racing PUTs into the same bucket."""
    for i in range(n):
        b = "race-del-%s-%d" % (tag, i)
        if request("PUT", "/" + b)[0] != 200:
            T.add("errors", example="CreateBucket %s failed" % b)
            continue
        request("PUT", "/%s/seed" % b, b"seed")
        T.add("delete_rounds")
        acked = []
        deleted = []
        go = threading.Event()

        def putter(j):
            go.wait()
            for k in range(4):
                st = request("PUT", "/%s/p%d-%d" % (b, j, k), b"x" * 100)[0]
                if st == 200:
                    acked.append((j, k))
                elif st in (404,):
                    return

        def deleter():
            go.wait()
            request("DELETE", "/%s/seed" % b)
            for _ in range(6):
                st = request("DELETE", "/" + b)[0]
                if st == 204:
                    deleted.append(1)
                    return
                if st == 409:
                    return

        ts = [threading.Thread(target=putter, args=(j,)) for j in range(3)]
        ts.append(threading.Thread(target=deleter))
        for t in ts:
            t.start()
        go.set()
        for t in ts:
            t.join()
        if deleted:
            T.add("buckets_deleted")
            back = [ep for ep in ENDPOINTS if request("HEAD", "/" + b, ep=ep)[0] != 404]
            if back:
                T.add("resurrected", example="%s answered 204 and exists again on %s" % (b, back))
            # A PUT answered 200 that is in no bucket: its data is gone.
            for j, k in acked:
                if request("HEAD", "/%s/p%d-%d" % (b, j, k))[0] != 200:
                    T.add("lost", example="%s: PUT p%d-%d answered 200, then the bucket was deleted under it" % (b, j, k))
                    break
        # Clean up whatever remains.
        st, _, data, _ = request("GET", "/%s?list-type=2" % b)
        for m in re.finditer(rb"<Key>(.*?)</Key>", data):
            request("DELETE", "/%s/%s" % (b, m.group(1).decode()))
        request("DELETE", "/" + b)


def round_conditional(bucket, tag, n, racers=4):
    for i in range(n):
        key = "cond-%s/%d" % (tag, i)
        bodies = [make_body(key, j + 1, 3000 + j) for j in range(racers)]
        winners = []
        go = threading.Event()

        def racer(j):
            go.wait()
            st = request("PUT", "/%s/%s" % (bucket, key), bodies[j], {"If-None-Match": "*"})[0]
            if st == 200:
                winners.append(j)
            elif st not in (412, 409, 503):
                T.add("conditional", example="%s racer %d: %d" % (key, j, st))

        ts = [threading.Thread(target=racer, args=(j,)) for j in range(racers)]
        for t in ts:
            t.start()
        go.set()
        for t in ts:
            t.join()
        T.add("cond_rounds")
        if len(winners) != 1:
            T.add("conditional", example="%s: %d winners" % (key, len(winners)))
            continue
        st, hdrs, data, cut = request("GET", "/%s/%s" % (bucket, key))
        if st != 200 or data != bodies[winners[0]]:
            T.add("conditional", example="%s: the stored body is not the winner's" % key)


# ---------------------------------------------------------------- servers

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            sys.exit("race: a server exited at start")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("race: a server did not open port %d" % port)


def spawn(mode, binary, root):
    procs = []
    n = 1 if mode == "one" else 2
    if mode == "pidns" and subprocess.run(["unshare", "--pid", "--fork", "true"],
                                          stderr=subprocess.DEVNULL).returncode != 0:
        print("race: PID namespaces are not available here (unshare --pid needs root)")
        sys.exit(77)
    for _ in range(n):
        port = free_port()
        cmd = [binary, "--root", root, "--port", str(port), "--quiet"]
        if mode == "pidns":
            # Each server in its own PID namespace, as two containers on one volume: thread and
            # process ids repeat between them. The child gets SIGTERM when unshare ends.
            cmd = ["unshare", "--pid", "--fork", "--kill-child=SIGTERM", "--mount-proc"] + cmd
        env = dict(os.environ)
        env.pop("QUILLMAR_S3_ACCESS_KEY", None)
        env.pop("QUILLMAR_S3_SECRET_KEY", None)
        p = subprocess.Popen(cmd, env=env)
        procs.append(p)
        wait_port(port, p)
        ENDPOINTS.append(("127.0.0.1", port))
    return procs


def stop(procs):
    for p in procs:
        if p.poll() is not None:
            continue
        # unshare waits for its child and does not pass SIGTERM on: stop the server itself,
        # by its process id as the machine sees it, and unshare ends with it.
        try:
            with open("/proc/%d/task/%d/children" % (p.pid, p.pid)) as f:
                kids = [int(x) for x in f.read().split()]
        except OSError:
            kids = []
        for pid in kids or [p.pid]:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
    for p in procs:
        try:
            p.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.kill(p.pid, signal.SIGKILL)
            p.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--spawn", choices=["one", "two", "pidns"])
    ap.add_argument("--bin")
    ap.add_argument("--root")
    ap.add_argument("--endpoint", action="append", default=[])
    ap.add_argument("--scale", type=int, default=2)
    ap.add_argument("--seconds", type=float, default=30,
                    help="start rounds until this much time has passed (at least one round)")
    ap.add_argument("--tag", default="")
    a = ap.parse_args()
    for e in a.endpoint:
        host, port = e.rsplit(":", 1)
        ENDPOINTS.append((host, int(port)))
    procs = []
    tmp = None
    if a.spawn:
        root = a.root
        if not root:
            tmp = root = tempfile.mkdtemp(prefix="qs3-race-")
        procs = spawn(a.spawn, a.bin, root)
    if not ENDPOINTS:
        sys.exit("race: no endpoint")
    tag = a.tag or "%x" % random.getrandbits(32)
    bucket = "race-" + tag
    started = time.monotonic()
    try:
        st = request("PUT", "/" + bucket)[0]
        if st != 200:
            sys.exit("race: CreateBucket %s answered %d" % (bucket, st))
        r = 0
        while r == 0 or time.monotonic() - started < a.seconds:
            round_objects(bucket, "%s-%d" % (tag, r), a.scale)
            round_multipart(bucket, "%s-%d" % (tag, r), 4 * a.scale)
            round_delete_bucket("%s-%d" % (tag, r), 4 * a.scale)
            round_conditional(bucket, "%s-%d" % (tag, r), 4 * a.scale)
            r += 1
    finally:
        stop(procs)
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
    where = a.spawn or ",".join("%s:%d" % e for e in ENDPOINTS)
    print("race %s: %s | %s | %.0f s" % (
        where, " ".join("%s=%d" % (k, T.n[k]) for k in FAULTS),
        " ".join("%s=%d" % (k, T.n[k]) for k in INFO), time.monotonic() - started))
    for e in T.examples:
        print("  " + e)
    bad = sum(T.n[k] for k in FAULTS)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
