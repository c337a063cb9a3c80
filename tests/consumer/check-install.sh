#!/bin/sh
# usage: check-install.sh BUILD_DIR CONSUMER_SOURCE CXX
set -e
build="$1"; source="$2"; cxx="$3"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

# Only public headers are installed.
test -f "$prefix/include/zrnet/zrserver.h"
if ls "$prefix/include/zrnet/" | grep -q '_p\.h$'; then
    echo "private headers were installed"; exit 1
fi
test -L "$prefix/lib/libzrnet.so.1" || test -L "$prefix"/lib/*/libzrnet.so.1

cmake -S "$source" -B "$prefix/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$prefix/build" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libzrnet.so.1' | head -1)")
LD_LIBRARY_PATH="$libdir" "$prefix/build/consumer"

PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --exists zrnet
# shellcheck disable=SC2046
"$cxx" -std=c++17 -fPIC -o "$prefix/consumer-pc" "$source/main.cpp" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs zrnet)
LD_LIBRARY_PATH="$libdir" "$prefix/consumer-pc"
echo "consumer: built and ran against the installed tree (CMake package and pkg-config)"
