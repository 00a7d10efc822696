#!/usr/bin/env bash
# Installs a built tree into a temporary prefix, moves the installed tree elsewhere, and builds a
# small host program against it there twice: through find_package(quillmar-s3) and through
# pkg-config, neither told where it was installed first. usage: check.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/moved

cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$prefix"
libdir=$(dirname "$(find "$prefix" -name 'libquillmar-s3.so.1' | head -n1)")
[ -n "$libdir" ] || { echo "install check: library not installed"; exit 1; }

# Exactly the nine functions leave the library.
exported=$(nm -D --defined-only "$libdir/libquillmar-s3.so.1" | awk '$2 ~ /^[TtDdBbRrVvWwi]$/ {print $3}' | sort | tr '\n' ' ')
want="s3_get_stats_json s3_last_error s3_list_buckets_json s3_list_objects_json s3_server_start s3_server_start_ex s3_server_status s3_server_stop s3_version "
if [ "$exported" != "$want" ]; then
  echo "install check: exported symbols are: $exported"
  exit 1
fi

port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# CMake package.
cmake -S "$here/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
out=$("$work/cmake-build/consumer" "$(port)" "$work/root1")
case $out in
  "version 1.2.3 running 1"*'{"buckets":[],"count":0}'*) ;;
  *) echo "install check: CMake consumer printed: $out"; exit 1 ;;
esac

# pkg-config, with the prefix taken from where the .pc file now lies.
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs quillmar-s3)
case " $flags " in
  *" -I$prefix/"*" -L$prefix/"*) ;;
  *) echo "install check: pkg-config does not point into the moved prefix: $flags"; exit 1 ;;
esac
cc -o "$work/pc-consumer" "$here/consumer/main.c" $flags
out=$(LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" "$(port)" "$work/root2")
case $out in
  "version 1.2.3 running 1"*) ;;
  *) echo "install check: pkg-config consumer printed: $out"; exit 1 ;;
esac
[ -f "$prefix/share/man/man1/quillmar-s3d.1.gz" ] || { echo "install check: no man page"; exit 1; }
echo "install check: CMake package, pkg-config (both from a moved prefix) and the nine exports are fine"
