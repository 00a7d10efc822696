"""Runs a JavaScript client suite (js/*.mjs) against a quillmar-s3d and records what it reports."""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qclient as q  # noqa: E402

SCRIPTS = {"jssdk": "sdk.mjs", "minio": "minio.mjs", "minio-noregion": "minio.mjs"}


def main():
    a = q.main_args()
    client = a.client
    res = q.Results(a.results, client)
    js_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "js")
    for keys in (True, False):
        with q.Server(a.server, keys=keys) as srv:
            env = q.client_env({"QS3_ENDPOINT": srv.endpoint, "QS3_ROOT": srv.root,
                                "QS3_AUTH": "1" if keys else "0",
                                "QS3_REGION": "" if client == "minio-noregion" else q.REGION})
            if client == "minio-noregion":
                env.pop("AWS_REGION", None)
                env.pop("AWS_DEFAULT_REGION", None)
            p = q.run(["node", os.path.join(js_dir, SCRIPTS[client])], env=env, check_rc=False, timeout=900)
            seen = False
            for line in p.stdout.decode(errors="replace").splitlines():
                if line.startswith("RESULT "):
                    r = json.loads(line[7:])
                    res.record(r["op"], r["status"], r.get("detail", ""))
                    seen = True
            if p.returncode != 0 or not seen:
                res.record("suite" if keys else "auth off", "fail",
                           "node exited %d: %s" % (p.returncode, p.stderr.decode(errors="replace")[-1500:]))
    return res.close()


if __name__ == "__main__":
    sys.exit(main())
