"""pytest fixtures: s3_server (one server per session), s3_bucket (a fresh bucket per test) and
s3_client (a boto3 client for the server). Loaded through the pytest11 entry point; nothing
starts until a test asks for one of the fixtures.

The keys of the session server come from the ini options s3_access_key and s3_secret_key
(both empty: authentication off).
"""

import os
import re
import shutil
import uuid

import pytest

from .server import Server

_DEFAULT_ACCESS_KEY = "quillmar-test"
_DEFAULT_SECRET_KEY = "quillmar-test-secret"


def pytest_addoption(parser):
    parser.addini("s3_access_key", "access key of the s3_server fixture (empty: no authentication)",
                  default=_DEFAULT_ACCESS_KEY)
    parser.addini("s3_secret_key", "secret key of the s3_server fixture (empty: no authentication)",
                  default=_DEFAULT_SECRET_KEY)


@pytest.fixture(scope="session")
def s3_server(pytestconfig):
    """A quillmar-s3 server on a free loopback port with a temporary root, for the session."""
    access_key = pytestconfig.getini("s3_access_key")
    secret_key = pytestconfig.getini("s3_secret_key")
    with Server(access_key=access_key, secret_key=secret_key) as server:
        yield server


def _bucket_name(test_name):
    # S3 bucket rules: 3 to 63 of a-z, 0-9 and "-", a letter or digit at both ends.
    stem = re.sub(r"[^a-z0-9]+", "-", test_name.lower()).strip("-")[:40].strip("-")
    return f"{stem or 'test'}-{uuid.uuid4().hex[:12]}"


@pytest.fixture
def s3_bucket(s3_server, request):
    """The name of a new, empty bucket, removed with its objects after the test."""
    name = _bucket_name(request.node.name)
    # A bucket is a folder under the root: making it here needs no client and no signature.
    os.mkdir(os.path.join(s3_server.root, name))
    yield name
    # The object data, their metadata records and unfinished multipart uploads.
    for base in ("", ".s3meta", ".mpu"):
        shutil.rmtree(os.path.join(s3_server.root, base, name), ignore_errors=True)


@pytest.fixture
def s3_client(s3_server):
    """A boto3 S3 client configured for s3_server; the test is skipped without boto3."""
    pytest.importorskip("boto3")
    return s3_server.boto3_client()
