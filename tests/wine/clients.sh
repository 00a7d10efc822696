#!/usr/bin/env bash
# Starts quillmar-s3d.exe under Wine in a throw-away prefix and drives it with boto3 and the
# AWS CLI (clients.py). Usage: tests/wine/clients.sh BUILD_DIR [PYTHON]
set -uo pipefail
build=${1:?usage: clients.sh BUILD_DIR [PYTHON]}
python=${2:-python3}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/env.sh"
"$python" "$here/clients.py" "$WINE_BIN" "$build/quillmar-s3d.exe"
