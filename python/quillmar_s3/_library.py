"""ctypes binding of the nine C functions of libquillmar-s3, loaded on first use.

The library is looked for, in this order: the path in QUILLMAR_S3_LIBRARY; the name the dynamic
loader knows (ctypes.util.find_library, then the soname libquillmar-s3.so.1); the usual library
folders of /usr/local and /usr.
"""

import ctypes
import ctypes.util
import os
import threading

SONAME = "libquillmar-s3.so.1"
_FOLDERS = (
    "/usr/local/lib",
    "/usr/local/lib64",
    "/usr/local/lib/x86_64-linux-gnu",
    "/usr/lib/x86_64-linux-gnu",
    "/usr/lib64",
    "/usr/lib",
)

_lock = threading.Lock()
_lib = None


class LibraryNotFound(OSError):
    """libquillmar-s3 could not be loaded; the message lists what was tried."""


def _candidates():
    path = os.environ.get("QUILLMAR_S3_LIBRARY")
    if path:
        # An explicit choice is the only one: falling back would hide a wrong path.
        return [path]
    names = []
    found = ctypes.util.find_library("quillmar-s3")
    if found:
        names.append(found)
    names.append(SONAME)
    names += [os.path.join(folder, SONAME) for folder in _FOLDERS]
    return names


def _declare(lib):
    c_int, c_char_p = ctypes.c_int, ctypes.c_char_p
    signatures = {
        "s3_server_start_ex": (c_int, [c_int, c_char_p, c_char_p, c_char_p, c_char_p]),
        "s3_server_start": (c_int, [c_int, c_char_p, c_char_p, c_char_p]),
        "s3_server_stop": (c_int, []),
        "s3_server_status": (c_int, []),
        "s3_last_error": (c_char_p, []),
        "s3_version": (c_char_p, []),
        "s3_list_buckets_json": (c_char_p, []),
        "s3_list_objects_json": (c_char_p, [c_char_p]),
        "s3_get_stats_json": (c_char_p, []),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def library():
    """The loaded library with its nine functions declared; raises LibraryNotFound."""
    global _lib
    with _lock:
        if _lib is None:
            tried = []
            for name in _candidates():
                try:
                    _lib = _declare(ctypes.CDLL(name))
                    break
                except (OSError, AttributeError) as exc:
                    tried.append(f"{name}: {exc}")
            else:
                raise LibraryNotFound(
                    "cannot load libquillmar-s3 (install the quillmar-s3 package or set "
                    "QUILLMAR_S3_LIBRARY to the library's path); tried:\n  " + "\n  ".join(tried))
        return _lib


def _text(value):
    return None if value is None else os.fsencode(value)


# Thin wrappers: bytes in the C calls, str out. c_char_p results are copied into Python bytes
# at once, so the library's buffers may be reused right after each call.

def server_start_ex(port, bind_addr, storage_root, access_key, secret_key):
    return library().s3_server_start_ex(port, _text(bind_addr), _text(storage_root),
                                        _text(access_key), _text(secret_key))


def server_start(port, storage_root, access_key, secret_key):
    return library().s3_server_start(port, _text(storage_root), _text(access_key),
                                     _text(secret_key))


def server_stop():
    return library().s3_server_stop()


def server_status():
    return library().s3_server_status()


def last_error():
    return (library().s3_last_error() or b"").decode("utf-8", "replace")


def version():
    return library().s3_version().decode("ascii")


# The three JSON calls share one result buffer in the library; the lock serialises the calls
# made from this process's threads, as the library asks its host to.
_json_lock = threading.Lock()


def list_buckets_json():
    with _json_lock:
        return library().s3_list_buckets_json().decode("utf-8")


def list_objects_json(bucket):
    with _json_lock:
        return library().s3_list_objects_json(_text(bucket)).decode("utf-8")


def get_stats_json():
    with _json_lock:
        return library().s3_get_stats_json().decode("utf-8", "surrogateescape")
