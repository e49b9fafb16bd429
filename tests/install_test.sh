#!/bin/sh
# Installs the build into a prefix under the build tree, builds the example
# against it with pkg-config and with find_package, and checks that both
# restore a file and write the program's stream.
# usage: install_test.sh SOURCE_DIR BUILD_DIR DUPCUT_BIN [CMAKE_GENERATOR]
set -eu
src=$1 build=$2 bin=$3 gen=${4:-}
work=$build/install-test
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name dupcut.pc)")/..
test -f "$prefix/include/dupcut.h"
test -f "$libdir/libdupcut.a"
test -L "$libdir/libdupcut.so.0"
test -f "$libdir/cmake/dupcut/dupcutConfig.cmake"

# A sample with repeats far apart: 300 KiB of text, three times over.
i=0
while [ $i -lt 6000 ]; do echo "line $i of the sample, $((i * 7919 % 10007))"; i=$((i + 1)); done > "$work/part"
cat "$work/part" "$work/part" "$work/part" > "$work/in"
"$bin" e "$work/in" "$work/program.dc" 100 256 1024 >/dev/null

check() {
  exe=$1
  "$exe" "$work/in" "$work/enc" "$work/out" >/dev/null
  cmp "$work/in" "$work/out"
  cmp "$work/program.dc" "$work/enc"
}

# pkg-config, shared library.
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
cc -Wall -Wextra -Werror -o "$work/ex-pc" "$src/examples/dupcut_file.c" $(pkg-config --cflags --libs dupcut)
LD_LIBRARY_PATH=$libdir check "$work/ex-pc"
# pkg-config, static library.
cc -o "$work/ex-static" "$src/examples/dupcut_file.c" $(pkg-config --cflags dupcut) "$libdir/libdupcut.a" \
  $(pkg-config --libs-only-l --static dupcut | sed 's/-ldupcut//')
check "$work/ex-static"

# find_package(dupcut).
cmake -S "$src/examples" -B "$work/ex-cmake" ${gen:+-G "$gen"} -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/ex-cmake" >/dev/null
check "$work/ex-cmake/dupcut_file"
cmake -S "$src/examples" -B "$work/ex-cmake-static" ${gen:+-G "$gen"} -DCMAKE_PREFIX_PATH="$prefix" -DDUPCUT_STATIC=ON >/dev/null
cmake --build "$work/ex-cmake-static" >/dev/null
check "$work/ex-cmake-static/dupcut_file"
echo "install test passed"
