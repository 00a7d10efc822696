#!/usr/bin/env python3
"""Drives quillmar-s3d.exe, running under Wine, with boto3 and the AWS CLI over loopback.

Usage: clients.py WINE QUILLMAR_S3D_EXE. Prints one line per check and the number that passed;
exits 1 when any failed.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import boto3
from botocore.config import Config
from botocore.exceptions import ClientError

ACCESS, SECRET = "wineaccess", "winesecret-0123456789"
results = []


def check(name, cond, detail=""):
    results.append(bool(cond))
    print(("ok   " if cond else "FAIL ") + name + ("" if cond else "  " + str(detail)), flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, proc):
    # Wine starts slowly; the server is ready once it accepts a connection.
    for _ in range(600):
        if proc.poll() is not None:
            return False
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def aws(endpoint, *args, input_text=None):
    env = dict(os.environ, AWS_ACCESS_KEY_ID=ACCESS, AWS_SECRET_ACCESS_KEY=SECRET,
               AWS_DEFAULT_REGION="us-east-1", AWS_EC2_METADATA_DISABLED="true")
    return subprocess.run(["aws", "--endpoint-url", endpoint, *args], env=env, text=True,
                          capture_output=True, input=input_text, timeout=300)


def run(endpoint, work):
    s3 = boto3.client("s3", endpoint_url=endpoint, aws_access_key_id=ACCESS,
                      aws_secret_access_key=SECRET, region_name="us-east-1",
                      config=Config(s3={"addressing_style": "path"}, retries={"max_attempts": 1}))
    b = "wine-bucket"
    s3.create_bucket(Bucket=b)
    check("make bucket", b in [x["Name"] for x in s3.list_buckets()["Buckets"]])

    body = bytes(range(256)) * 40
    s3.put_object(Bucket=b, Key="dir/obj.bin", Body=body, ContentType="application/x-test",
                  Metadata={"colour": "blue", "count": "7"})
    head = s3.head_object(Bucket=b, Key="dir/obj.bin")
    check("put with metadata", head["Metadata"] == {"colour": "blue", "count": "7"} and
          head["ContentType"] == "application/x-test", head)
    check("get", s3.get_object(Bucket=b, Key="dir/obj.bin")["Body"].read() == body)
    part = s3.get_object(Bucket=b, Key="dir/obj.bin", Range="bytes=100-299")
    check("range", part["Body"].read() == body[100:300] and
          part["ContentRange"] == "bytes 100-299/%d" % len(body), part.get("ContentRange"))

    s3.copy_object(Bucket=b, Key="copy/of.bin", CopySource={"Bucket": b, "Key": "dir/obj.bin"})
    got = s3.get_object(Bucket=b, Key="copy/of.bin")
    check("copy keeps data and metadata", got["Body"].read() == body and got["Metadata"]["colour"] == "blue")

    keys = ["page/k%03d" % i for i in range(25)]
    for k in keys:
        s3.put_object(Bucket=b, Key=k, Body=k.encode())
    listed, pages = [], 0
    for page in s3.get_paginator("list_objects_v2").paginate(Bucket=b, Prefix="page/",
                                                             PaginationConfig={"PageSize": 7}):
        pages += 1
        listed += [o["Key"] for o in page.get("Contents", [])]
    check("listing over several pages", listed == keys and pages == 4, (pages, len(listed)))
    v1 = s3.list_objects(Bucket=b, Delimiter="/")
    check("listing with delimiter", [p["Prefix"] for p in v1["CommonPrefixes"]] == ["copy/", "dir/", "page/"])

    big = os.urandom(5 * 1024 * 1024 + 12345)
    mpu = s3.create_multipart_upload(Bucket=b, Key="multi/part.bin")
    uid = mpu["UploadId"]
    e1 = s3.upload_part(Bucket=b, Key="multi/part.bin", UploadId=uid, PartNumber=1, Body=big[:5 * 1024 * 1024])
    e2 = s3.upload_part(Bucket=b, Key="multi/part.bin", UploadId=uid, PartNumber=2, Body=big[5 * 1024 * 1024:])
    s3.complete_multipart_upload(Bucket=b, Key="multi/part.bin", UploadId=uid, MultipartUpload={
        "Parts": [{"PartNumber": 1, "ETag": e1["ETag"]}, {"PartNumber": 2, "ETag": e2["ETag"]}]})
    done = s3.get_object(Bucket=b, Key="multi/part.bin")
    check("multipart", done["Body"].read() == big and done["ETag"].endswith('-2"'), done["ETag"])

    # Keys Windows cannot hold as file names are stored encoded and read back as they are.
    odd = ["logs/2026-01-01T10:00:00.log", "what?.txt", "a|b", "name.", "con.txt", "a//b"]
    try:
        for k in odd:
            s3.put_object(Bucket=b, Key="odd/" + k, Body=k.encode())
        back = all(s3.get_object(Bucket=b, Key="odd/" + k)["Body"].read() == k.encode() for k in odd)
        listed = [o["Key"] for o in s3.list_objects_v2(Bucket=b, Prefix="odd/").get("Contents", [])]
        check("keys Windows cannot hold are stored", back and listed == sorted("odd/" + k for k in odd),
              listed)
        s3.delete_objects(Bucket=b, Delete={"Objects": [{"Key": "odd/" + k} for k in odd]})
    except ClientError as e:
        check("keys Windows cannot hold are stored", False, e.response["Error"])

    # The AWS CLI: upload and download through the high-level commands, and a listing.
    src = os.path.join(work, "cli-in.txt")
    with open(src, "wb") as f:
        f.write(b"from the aws cli\n" * 1000)
    r = aws(endpoint, "s3", "cp", src, "s3://%s/cli/file.txt" % b)
    check("aws s3 cp up", r.returncode == 0, r.stderr)
    dst = os.path.join(work, "cli-out.txt")
    r = aws(endpoint, "s3", "cp", "s3://%s/cli/file.txt" % b, dst)
    check("aws s3 cp down", r.returncode == 0 and open(dst, "rb").read() == open(src, "rb").read(), r.stderr)
    r = aws(endpoint, "s3", "ls", "s3://%s/page/" % b)
    check("aws s3 ls", r.returncode == 0 and r.stdout.count("page/k") == 0 and r.stdout.count(" k0") == 25,
          r.stdout[-300:] + r.stderr)

    everything = [o["Key"] for p in s3.get_paginator("list_objects_v2").paginate(Bucket=b)
                  for o in p.get("Contents", [])]
    gone = s3.delete_objects(Bucket=b, Delete={"Objects": [{"Key": k} for k in everything]})
    left = s3.list_objects_v2(Bucket=b).get("KeyCount")
    check("multi-delete", len(gone.get("Deleted", [])) == len(everything) and left == 0 and
          not gone.get("Errors"), (len(everything), left, gone.get("Errors")))
    r = aws(endpoint, "s3api", "delete-bucket", "--bucket", b)
    check("remove bucket (aws cli)", r.returncode == 0 and
          b not in [x["Name"] for x in s3.list_buckets()["Buckets"]], r.stderr)


def main():
    wine, exe = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="quillmar-wine-clients-")
    root = os.path.join(work, "root")
    os.mkdir(root)
    port = free_port()
    log = open(os.path.join(work, "server.log"), "w")
    proc = subprocess.Popen([wine, exe, "--root", root, "--port", str(port), "--access-key", ACCESS,
                             "--secret-key", SECRET], stdout=log, stderr=subprocess.STDOUT)
    try:
        if not wait_listening(port, proc):
            check("quillmar-s3d.exe starts under Wine", False, open(log.name).read())
        else:
            try:
                run("http://127.0.0.1:%d" % port, work)
            except Exception as e:  # a client error ends the run as one failed check
                check("client run finished", False, repr(e))
    finally:
        proc.kill()  # the Wine process of our own server, started above
        proc.wait()
        log.close()
        shutil.rmtree(work, ignore_errors=True)
    print("clients under Wine: %d of %d checks passed" % (sum(results), len(results)))
    return 0 if results and all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
