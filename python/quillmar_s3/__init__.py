"""quillmar-s3 from Python: the embedded S3 server as a context manager and as pytest fixtures.

    with quillmar_s3.Server() as server:
        client = server.boto3_client()
        client.create_bucket(Bucket="demo")
"""

from ._library import LibraryNotFound
from .server import Server, ServerError

__version__ = "1.2.3"
__all__ = ["Server", "ServerError", "LibraryNotFound", "library_version"]


def library_version():
    """The version text of the loaded libquillmar-s3."""
    from . import _library

    return _library.version()
