#!/bin/sh
# Runs one client suite with the interpreter or runtime that client needs; exit 77 = client absent.
# usage: run_suite.sh CLIENT SERVER_BINARY RESULTS_DIR
set -u
client=$1 server=$2 results=$3
here=$(cd "$(dirname "$0")" && pwd)
# The preinstalled pip tools (awscli 1.x, boto3 1.43) live on the python3 found first on PATH;
# Debian's awscli 2.x and python3-boto3 1.26 use /usr/bin/python3.
path_py=$(command -v python3 || echo /usr/bin/python3)
skip() { echo "SKIPPED: $1"; mkdir -p "$results"; printf '{"client":"%s","op":"suite","status":"skipped","detail":"%s"}\n' "$client" "$1" > "$results/$client.jsonl"; exit 77; }
case $client in
  awscli2) [ -x /usr/bin/aws ] || skip "Debian awscli not installed"
           exec /usr/bin/python3 "$here/suite_awscli.py" --server "$server" --results "$results" --client awscli2 ;;
  awscli1) "$path_py" -c 'import awscli' 2>/dev/null || skip "pip awscli not installed"
           [ "$path_py" != /usr/bin/python3 ] || skip "no pip awscli beside Debian's python"
           exec "$path_py" "$here/suite_awscli.py" --server "$server" --results "$results" --client awscli1 ;;
  boto3-1.26) /usr/bin/python3 -c 'import boto3' 2>/dev/null || skip "python3-boto3 not installed"
           exec /usr/bin/python3 "$here/suite_boto3.py" --server "$server" --results "$results" --client boto3-1.26 ;;
  boto3-1.43) [ "$path_py" != /usr/bin/python3 ] && "$path_py" -c 'import boto3' 2>/dev/null || skip "pip boto3 not installed"
           exec "$path_py" "$here/suite_boto3.py" --server "$server" --results "$results" --client boto3-1.43 ;;
  s3cmd|s3cmd-v2)
           [ -x /usr/bin/s3cmd ] || skip "s3cmd not installed"
           exec /usr/bin/python3 "$here/suite_s3cmd.py" --server "$server" --results "$results" --client "$client" ;;
  libs3)   [ -x /usr/bin/s3 ] || skip "libs3-2 (the s3 tool) not installed"
           exec /usr/bin/python3 "$here/suite_libs3.py" --server "$server" --results "$results" --client libs3 ;;
  s3fs)    [ -x /usr/bin/s3fs ] || skip "s3fs not installed"
           [ -e /dev/fuse ] || skip "/dev/fuse is absent, so no FUSE file system can be mounted here"
           exec /usr/bin/python3 "$here/suite_s3fs.py" --server "$server" --results "$results" --client s3fs ;;
  rclone)  [ -x /usr/bin/rclone ] || skip "rclone not installed"
           exec /usr/bin/python3 "$here/suite_rclone.py" --server "$server" --results "$results" --client rclone ;;
  minio-go) command -v go >/dev/null 2>&1 || skip "golang-go not installed"
           [ -d /usr/share/gocode/src/github.com/minio/minio-go/v7 ] || skip "golang-github-minio-minio-go-v7-dev not installed"
           exec /usr/bin/python3 "$here/suite_minio_go.py" --server "$server" --results "$results" --client minio-go ;;
  jssdk|minio|minio-noregion)
           [ -d "$here/js/node_modules" ] || skip "npm ci not run in tests/clients/js"
           exec /usr/bin/python3 "$here/suite_node.py" --server "$server" --results "$results" --client "$client" ;;
esac
echo "unknown client $client"; exit 2
