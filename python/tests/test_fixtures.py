"""The package as its users meet it: the pytest fixtures with boto3, and Server on its own.

The fixtures come from the installed package's pytest11 entry point, not from a conftest.
Scenarios that need a process without the session server run in a child interpreter.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from botocore.exceptions import ClientError

import quillmar_s3


def test_upload_list_download(s3_server, s3_client, s3_bucket):
    s3_client.put_object(Bucket=s3_bucket, Key="a.txt", Body=b"abc", ContentType="text/plain")
    s3_client.put_object(Bucket=s3_bucket, Key="d/b.bin", Body=b"\x00\x01\x02\x03\x04")

    listed = s3_client.list_objects_v2(Bucket=s3_bucket)
    assert [(o["Key"], o["Size"]) for o in listed["Contents"]] == [("a.txt", 3), ("d/b.bin", 5)]
    got = s3_client.get_object(Bucket=s3_bucket, Key="a.txt")
    assert (got["Body"].read(), got["ContentType"]) == (b"abc", "text/plain")

    # The same store seen through the host JSON calls, and on disk.
    objects = s3_server.objects(s3_bucket)
    assert [o["key"] for o in objects["objects"]] == ["a.txt", "d/b.bin"]
    assert (objects["count"], objects["total_bytes"]) == (2, 8)
    assert s3_bucket in s3_server.buckets()["buckets"]
    with open(os.path.join(s3_server.root, s3_bucket, "d", "b.bin"), "rb") as f:
        assert f.read() == b"\x00\x01\x02\x03\x04"

    stats = s3_server.stats()
    assert (stats["running"], stats["port"], stats["storage_root"]) == (1, s3_server.port,
                                                                        s3_server.root)
    assert stats["bytes_uploaded"] >= 8
    assert s3_server.endpoint_url == f"http://127.0.0.1:{s3_server.port}"


_seen_buckets = []


@pytest.mark.parametrize("run", [1, 2])
def test_each_test_gets_a_fresh_bucket_and_the_last_one_is_gone(s3_server, s3_client, s3_bucket,
                                                                 run):
    assert s3_client.list_objects_v2(Bucket=s3_bucket)["KeyCount"] == 0
    if _seen_buckets:
        before = _seen_buckets[-1]
        assert before != s3_bucket
        assert before not in s3_server.buckets()["buckets"]
        for base in ("", ".s3meta"):
            assert not os.path.exists(os.path.join(s3_server.root, base, before))
    # Leave data, metadata and an unfinished multipart upload behind for the fixture to remove.
    s3_client.put_object(Bucket=s3_bucket, Key="x/y.txt", Body=b"left", Metadata={"k": "v"})
    s3_client.create_multipart_upload(Bucket=s3_bucket, Key="big")
    _seen_buckets.append(s3_bucket)


def test_keys_are_checked(s3_server, s3_bucket):
    assert s3_server.access_key and s3_server.secret_key
    wrong = s3_server.boto3_client(aws_secret_access_key="not-the-secret")
    with pytest.raises(ClientError) as refused:
        wrong.list_objects_v2(Bucket=s3_bucket)
    assert refused.value.response["ResponseMetadata"]["HTTPStatusCode"] == 403


def test_second_server_in_the_process_is_refused(s3_server):
    second = quillmar_s3.Server()
    with pytest.raises(quillmar_s3.ServerError, match="already runs in this process"):
        second.start()
    assert second.root is None  # its temporary root was not left behind
    assert s3_server.running and s3_server.stats()["running"] == 1


def test_package_matches_the_library():
    assert quillmar_s3.library_version() == quillmar_s3.__version__


def run_alone(code, **env):
    """Runs code in a fresh interpreter (no server running) and returns what it prints as JSON."""
    script = "import json, os, quillmar_s3\n" + textwrap.dedent(code)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env={**os.environ, **env}, timeout=120)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_start_failures_carry_the_library_error(tmp_path):
    a_file = tmp_path / "a-file"
    a_file.write_text("not a folder")
    result = run_alone(f"""
        found = {{}}
        for name, args in [("too long", dict(root="/tmp/" + "r" * 4091)),
                           ("empty", dict(root="")),
                           ("a file", dict(root={str(a_file)!r})),
                           ("port", dict(port=70000))]:
            try:
                with quillmar_s3.Server(**args):
                    found[name] = "started"
            except quillmar_s3.ServerError as e:
                found[name] = [e.last_error, str(e)]
        print(json.dumps(found))
        """)
    assert result["too long"] == ["storage_root too long",
                                  "cannot start the quillmar-s3 server: storage_root too long"]
    assert result["empty"][0] == "storage_root required"
    assert result["a file"][0] == f"cannot create storage root {a_file}"
    assert result["port"][0] == "invalid port 70000"


def test_roots_ports_and_restart(tmp_path):
    # A root the caller names may hold characters that JSON must escape.
    root = tmp_path / 'a "quoted" \\ root'
    result = run_alone(f"""
        server = quillmar_s3.Server()
        with server:
            temp_root, first_port = server.root, server.port
            server.boto3_client().create_bucket(Bucket="kept")
        gone = not os.path.exists(temp_root)
        with quillmar_s3.Server(root={str(root)!r}, port=first_port) as again:
            same_port = again.port == first_port
            buckets = again.buckets()
            stats_root = again.stats()["storage_root"]
        print(json.dumps(dict(gone=gone, same_port=same_port, buckets=buckets,
                              stats_root=stats_root, running=again.running)))
        """)
    assert result == dict(gone=True, same_port=True, buckets={"buckets": [], "count": 0},
                          stats_root=str(root), running=False)
    assert root.is_dir()  # a root given by the caller stays


def test_missing_library_is_named():
    out = subprocess.run(
        [sys.executable, "-c", "import quillmar_s3; quillmar_s3.Server().start()"],
        capture_output=True, text=True, env={**os.environ, "QUILLMAR_S3_LIBRARY": "/nonexistent.so"})
    assert out.returncode != 0
    assert "LibraryNotFound" in out.stderr and "/nonexistent.so" in out.stderr
