"""The Server class: one embedded quillmar-s3 server, started and stopped around a block of code."""

import json
import os
import shutil
import socket
import tempfile
import threading

from . import _library

# The library keeps one server per process; this is the Server object that started it.
_owner = None
_owner_lock = threading.Lock()

# A free port found by binding port 0 may be taken by someone else before the library binds it;
# a few fresh tries make that race harmless.
_PORT_TRIES = 5


class ServerError(RuntimeError):
    """A server could not be started. `last_error` holds the library's own text, if any."""

    def __init__(self, message, last_error=""):
        super().__init__(message)
        self.last_error = last_error


def _free_port(bind_addr):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((bind_addr, 0))
        return s.getsockname()[1]


class Server:
    """An embedded S3 server on a loopback port, serving buckets as folders under `root`.

    Server(root=None, port=0, access_key=None, secret_key=None): with root None a temporary
    folder is used and removed after the stop; with port 0 a free port is chosen. Authentication
    is on when both keys are non-empty. Use it as a context manager, or call start() and stop().
    Only one server can run in a process at a time.
    """

    def __init__(self, root=None, port=0, access_key=None, secret_key=None, *,
                 bind_addr="127.0.0.1"):
        self._want_root = None if root is None else os.fspath(root)
        self._want_port = int(port)
        self.access_key = access_key
        self.secret_key = secret_key
        self.bind_addr = bind_addr
        self.root = self._want_root
        self.port = None
        self._temp_root = None

    # ------------------------------------------------------------------ lifecycle

    def start(self):
        """Starts serving; raises ServerError (with the library's last error) on failure."""
        global _owner
        with _owner_lock:
            if _owner is not None:
                where = "this server" if _owner is self else f"a server at {_owner.endpoint_url}"
                raise ServerError(
                    f"cannot start a second quillmar-s3 server: {where} already runs in this "
                    "process (the library holds one server per process; stop it first)",
                    "server already running")
            if self._want_root is None:
                self._temp_root = tempfile.mkdtemp(prefix="quillmar-s3-")
                self.root = self._temp_root
            try:
                self.port = self._start_library()
            except BaseException:
                self._remove_temp_root()
                raise
            _owner = self
        return self

    def _start_library(self):
        tries = _PORT_TRIES if self._want_port == 0 else 1
        for _ in range(tries):
            port = self._want_port or _free_port(self.bind_addr)
            rc = _library.server_start_ex(port, self.bind_addr, self.root, self.access_key,
                                          self.secret_key)
            if rc == 0:
                break
            error = _library.last_error()
            if not error.startswith("bind failed"):
                break
        if rc != 0:
            if error == "server already running":
                message = ("cannot start a second quillmar-s3 server: one already runs in this "
                           "process (the library holds one server per process)")
            else:
                message = f"cannot start the quillmar-s3 server: {error}"
            raise ServerError(message, error)
        # The library creates the root but reports a root it could not create only at the first
        # write; refusing it here gives the error where the mistake was made.
        if not os.path.isdir(self.root):
            _library.server_stop()
            error = f"cannot create storage root {self.root}"
            raise ServerError(f"cannot start the quillmar-s3 server: {error}", error)
        return port

    def stop(self):
        """Stops serving (waits for running requests) and removes a temporary root. Idempotent."""
        global _owner
        with _owner_lock:
            if _owner is not self:
                return
            _library.server_stop()
            _owner = None
            self._remove_temp_root()

    def _remove_temp_root(self):
        if self._temp_root is not None:
            shutil.rmtree(self._temp_root, ignore_errors=True)
            self._temp_root = None
            self.root = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    # ------------------------------------------------------------------ inspection

    @property
    def running(self):
        return _owner is self and _library.server_status() == 1

    @property
    def endpoint_url(self):
        if self.port is None:
            return None
        host = "127.0.0.1" if self.bind_addr in ("", "0.0.0.0") else self.bind_addr
        return f"http://{host}:{self.port}"

    def stats(self):
        """The statistics document: settings, storage totals and traffic counters."""
        return json.loads(_library.get_stats_json())

    def buckets(self):
        """The bucket list document: {"buckets": [names...], "count": n}."""
        return json.loads(_library.list_buckets_json())

    def objects(self, bucket):
        """The object list of one bucket (at most 256 objects) with their total size."""
        return json.loads(_library.list_objects_json(bucket))

    def boto3_client(self, **kwargs):
        """A boto3 S3 client for this server: endpoint, path-style addressing, us-east-1, keys.

        Without keys (authentication off) any key pair is accepted, so placeholders are used.
        """
        import boto3
        from botocore.config import Config

        options = {
            "endpoint_url": self.endpoint_url,
            "region_name": "us-east-1",
            "aws_access_key_id": self.access_key or "quillmar",
            "aws_secret_access_key": self.secret_key or "quillmar",
            "config": Config(s3={"addressing_style": "path"}),
        }
        options.update(kwargs)
        return boto3.client("s3", **options)

    def __repr__(self):
        state = "running" if self.running else "stopped"
        return f"<quillmar_s3.Server {state} {self.endpoint_url or ''} root={self.root!r}>"
