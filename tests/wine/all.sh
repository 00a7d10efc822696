#!/usr/bin/env bash
# The Windows part of scripts/test, also runnable alone: installs the mingw-w64 cross compiler
# and Wine when missing, cross-builds the Windows tree (BUILD_DIR, default build-win/), checks
# that quillmar-s3.dll exports exactly the nine functions, runs the unit and integration test
# programs under Wine (run.sh) and drives quillmar-s3d.exe under Wine with boto3 and the AWS CLI
# (clients.py). Everything under Wine shares one throw-away prefix. Exits non-zero when
# anything failed. Usage: tests/wine/all.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/../.."
export DEBIAN_FRONTEND=noninteractive
build=${1:-build-win}
step() { printf '\n=== %s\n' "$*"; }
failed=()

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
command -v wine >/dev/null 2>&1 || need+=(wine)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
/usr/bin/python3 -c 'import boto3' >/dev/null 2>&1 || need+=(python3-boto3)
[ -x /usr/bin/aws ] || need+=(awscli)
if [ ${#need[@]} -gt 0 ]; then
  step "installing with apt-get: ${need[*]}"
  apt-get update -q || failed+=("apt-get update (Windows)")
  apt-get install -y -q --no-install-recommends "${need[@]}" </dev/null || failed+=("apt-get install (Windows)")
fi

step "Windows build ($build/)"
start=$(date +%s)
if ! cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
     -DQUILLMAR_TESTS=ON -DQUILLMAR_WERROR=ON || ! cmake --build "$build" -j2; then
  echo "Windows: failed: Windows build"
  exit 1
fi
echo "Windows build took $(($(date +%s) - start)) s"

step "export table of quillmar-s3.dll"
exports=$(x86_64-w64-mingw32-objdump -p "$build/quillmar-s3.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
want=$(sed -n 's/^[[:space:]]*\(s3_[a-z_]*\);/\1/p' src/hostapi/exports.map | sort | tr '\n' ' ')
echo "$exports"
[ -n "$exports" ] && [ "$exports" = "$want" ] || failed+=("DLL export table")

# One prefix and one wineserver for the test programs and the host program.
. tests/wine/env.sh
step "unit and integration tests under Wine ($build/)"
tests/wine/run.sh "$build" || failed+=("tests under Wine")
step "boto3 and the AWS CLI against quillmar-s3d.exe under Wine"
/usr/bin/python3 tests/wine/clients.py "$WINE_BIN" "$build/quillmar-s3d.exe" || failed+=("clients under Wine")

if [ ${#failed[@]} -gt 0 ]; then
  echo "Windows: failed: ${failed[*]}"
  exit 1
fi
echo "Windows: all passed in $(($(date +%s) - start)) s"
