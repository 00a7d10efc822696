#!/usr/bin/env bash
# Builds the Debian package in a build folder, unpacks it into a throw-away root, installs the
# Python package offline into a virtual environment that sees Debian's pytest and boto3, runs
# the Python tests against the library from the unpacked package, and runs lintian on the
# package (errors fail; warnings are shown). usage: deb_python.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rm -f "$build"/quillmar-s3_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$build"/quillmar-s3_*_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends

# What the package must hold, by path.
dpkg -x "$deb" "$work/root"
missing=0
for path in usr/lib/libquillmar-s3.so.1 usr/lib/libquillmar-s3.so usr/include/quillmar-s3.h \
            usr/lib/cmake/quillmar-s3/quillmar-s3-config.cmake usr/lib/pkgconfig/quillmar-s3.pc \
            usr/bin/quillmar-s3d usr/share/man/man1/quillmar-s3d.1.gz \
            lib/systemd/system/quillmar-s3d.service etc/default/quillmar-s3d \
            usr/share/doc/quillmar-s3/copyright usr/share/doc/quillmar-s3/changelog.gz; do
  [ -e "$work/root/$path" ] || { echo "not in the package: /$path"; missing=1; }
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/default/quillmar-s3d ||
  { echo "/etc/default/quillmar-s3d is not a conffile"; missing=1; }
[ "$missing" = 0 ]
# The machine is left alone: apt only works out what installing the package would do.
apt-get install --simulate "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
grep -q '^Inst quillmar-s3 ' "$work/apt.log" || { cat "$work/apt.log"; exit 1; }
LD_LIBRARY_PATH="$work/root/usr/lib" "$work/root/usr/bin/quillmar-s3d" --version

# The Python package, installed the way a user would, from a copy (pip writes into the tree).
cp -r "$src/python" "$work/python"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --no-build-isolation "$work/python"
(cd "$work" && QUILLMAR_S3_LIBRARY="$work/root/usr/lib/libquillmar-s3.so.1" \
   "$work/venv/bin/python" -m pytest -p no:cacheprovider -q "$work/python/tests")

# lintian exits non-zero on errors only (warnings are printed and allowed).
lintian --fail-on error "$deb"
echo "Debian package and Python package: fine"
