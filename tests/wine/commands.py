#!/usr/bin/env python3
"""Runs the shell commands of test programs running under Wine on the Linux host.

The integration tests check answers with independent helpers started through a POSIX shell
(python3's json module, botocore's signer, ls). A Windows program under Wine cannot start them
and see their exit status, so the test harness sends each command here when
QUILLMAR_TEST_COMMANDS is set ("PORT TOKEN"): one connection per command, carrying the token,
a newline and the command; the answer is the exit status, a newline and the command's standard
output. Listens on 127.0.0.1 only and runs nothing without the token.

Usage: commands.py PORT_FILE. Writes "PORT TOKEN" to PORT_FILE once listening; runs until killed.
"""
import secrets
import socketserver
import subprocess
import sys

TOKEN = secrets.token_hex(16)


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        data = self.rfile.read()
        token, _, cmd = data.partition(b"\n")
        if not secrets.compare_digest(token, TOKEN.encode()):
            return
        # A bound for a helper that hangs; the test program itself is bounded more tightly.
        try:
            p = subprocess.run(["/bin/sh", "-c", cmd.decode("utf-8", "surrogateescape")],
                               stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=300)
            rc, out = p.returncode, p.stdout
        except subprocess.TimeoutExpired as e:
            rc, out = 124, e.stdout or b""
        if rc < 0:
            rc = 128 - rc  # killed by a signal, as the shell reports it
        self.wfile.write(b"%d\n" % rc + out)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    with Server(("127.0.0.1", 0), Handler) as srv:
        with open(sys.argv[1], "w") as f:
            f.write("%d %s\n" % (srv.server_address[1], TOKEN))
        srv.serve_forever()


if __name__ == "__main__":
    main()
