#!/bin/sh
# usage: check-install.sh BUILD_DIR CONSUMER_SOURCE CXX PACKAGE
# PACKAGE is the name the build installs under: zrnet (Qt 5) or zrnet-qt6.
set -e
build="$1"; source="$2"; cxx="$3"; package="$4"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

# Only public headers are installed.
test -f "$prefix/include/zrnet/zrserver.h"
if ls "$prefix/include/zrnet/" | grep -q '_p\.h$'; then
    echo "private headers were installed"; exit 1
fi
test -L "$prefix/lib/lib$package.so.1" || test -L "$prefix"/lib/*/"lib$package.so.1"
# Everything but the shared headers carries the package's name, so the Qt 5 and Qt 6
# builds install side by side.
clashing=$(find "$prefix" \( -type f -o -type l \) ! -path "$prefix/include/zrnet/*" \
    | grep -v "/[^/]*$package[^/]*$" || true)
if [ -n "$clashing" ]; then
    echo "installed without the package name $package:"; echo "$clashing"; exit 1
fi

# The shared library brings OpenSSL itself: a consumer needs none of its development files.
cmake -S "$source" -B "$prefix/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
    -DZRNET_PACKAGE="$package" -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON >/dev/null
! grep -rqi "ssl" "$prefix"/lib*/pkgconfig "$prefix"/lib*/*/pkgconfig 2>/dev/null || exit 1
# netctl comes along, and finds the library from where it lies (usage: exit 2, touching nothing).
status=0
"$prefix/bin/$package-netctl" >/dev/null 2>&1 || status=$?
test "$status" = 2
cmake --build "$prefix/build" >/dev/null
libdir=$(dirname "$(find "$prefix" -name "lib$package.so.1" | head -1)")
LD_LIBRARY_PATH="$libdir" "$prefix/build/consumer"

# A Qt 5 project is told to take zrnet, a Qt 6 one zrnet-qt6; QtDBus is in no user's cflags.
if [ "$package" = zrnet ]; then other=6 right=zrnet-qt6; else other=5 right=zrnet; fi
said=$(cmake -S "$source" -B "$prefix/other" -DCMAKE_PREFIX_PATH="$prefix" -DZRNET_PACKAGE="$package" \
    -DOTHER_QT=$other 2>&1) && { echo "$said"; exit 1; }
echo "$said" | grep -q -e "find_package($right)" -e "provided by \"Qt$other\"" || { echo "$said"; exit 1; }
! PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags "$package" | grep -qi dbus || exit 1

# No flags of our own: the pc file must carry what Qt asks of its users (-fPIC).
PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --exists "$package"
# shellcheck disable=SC2046
"$cxx" -o "$prefix/consumer-pc" "$source/main.cpp" \
    $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs "$package")
LD_LIBRARY_PATH="$libdir" "$prefix/consumer-pc"
echo "consumer: built and ran against the installed $package (CMake package and pkg-config)"
