"""Prints the client x operation compatibility matrix from the suites' results; fails on any "fail"."""
import glob
import json
import os
import sys

OPS = ["make bucket", "list buckets", "head bucket", "put small+meta", "content headers", "bad digest",
       "put 20 MiB", "put stdin", "put stream", "get whole", "get range", "presigned get", "head object", "copy small",
       "copy 20 MiB", "copy metadata", "tagging", "versioning", "multipart api", "odd keys", "folder marker",
       "bucket configurations", "public read", "missing bucket", "list v1", "list v2", "sync up", "sync changed", "sync touched",
       "sync down", "delete one", "delete batch", "remove bucket", "wrong secret", "auth off",
       "region eu-west-1", "mount", "list folders", "copy out", "copy in", "rename", "delete", "unmount",
       "kept connections", "suite"]
CLIENTS = ["awscli2", "awscli1", "boto3-1.26", "boto3-1.43", "s3cmd", "s3cmd-v2", "libs3", "rclone", "s3fs",
           "jssdk", "minio", "minio-noregion", "minio-go"]
SHORT = {"pass": "pass", "fail": "FAIL", "by design": "by design", "skipped": "skipped",
         "one per request": "one per request"}


def short(detail):
    return detail.split(" | Traceback", 1)[0].split("\n    at ", 1)[0].strip()


def main():
    results_dir = sys.argv[1]
    out_md = sys.argv[2] if len(sys.argv) > 2 else None
    cells, notes, seen = {}, [], []
    for path in sorted(glob.glob(os.path.join(results_dir, "*.jsonl"))):
        for line in open(path):
            r = json.loads(line)
            c = r["client"]
            if c not in seen:
                seen.append(c)
            cells[(c, r["op"])] = r["status"]
            if r["status"] in ("fail", "by design", "skipped", "one per request") or r["op"] == "kept connections":
                notes.append((c, r["op"], r["status"], r.get("detail", "")))
    clients = [c for c in CLIENTS if c in seen] + [c for c in seen if c not in CLIENTS]
    ops = [o for o in OPS if any((c, o) in cells for c in clients)]
    ops += sorted({o for (_, o) in cells} - set(ops))
    lines = ["| operation | " + " | ".join(clients) + " |", "|---|" + "---|" * len(clients)]
    for o in ops:
        lines.append("| %s | %s |" % (o, " | ".join(SHORT.get(cells.get((c, o)), "—") for c in clients)))
    table = "\n".join(lines)
    print("\nReal-client compatibility matrix (— = the client has no such operation)\n")
    print(table)
    if notes:
        print("\nNotes:\n" + "\n".join("- %s / %s: %s: %s" % (c, o, st, d[:400]) for c, o, st, d in notes))
    fails = sum(1 for v in cells.values() if v == "fail")
    passes = sum(1 for v in cells.values() if v == "pass")
    print("\nclients: %d passed, %d failed" % (passes, fails))
    if out_md:
        with open(out_md, "w") as f:
            f.write("# Real-client compatibility matrix\n\n— = the client has no such operation.\n\n")
            f.write(table + "\n")
            # The file keeps the reason of each cell, without tracebacks or stacks.
            if notes:
                f.write("\n" + "\n".join("- %s / %s: %s: %s" % (c, o, st, short(d)) for c, o, st, d in notes) + "\n")
    return 1 if fails or not cells else 0


if __name__ == "__main__":
    sys.exit(main())
