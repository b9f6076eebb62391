#!/usr/bin/env bash
# Install into a scratch prefix, then build and run a C program with nothing
# but what pkg-config says, and configure a CMake project with find_package.
set -eu
build=$1
src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/x86_64-linux-gnu/pkgconfig"
cc -std=c11 -Wall -Werror -o "$prefix/prog" "$src" $(pkg-config --cflags --libs zeriza zeriza-host)
libdir=$(pkg-config --variable=libdir zeriza)
LD_LIBRARY_PATH="$libdir" "$prefix/prog"

mkdir -p "$prefix/cm"
cat > "$prefix/cm/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.20)
project(user C)
find_package(zeriza REQUIRED)
add_executable(prog $src)
target_link_libraries(prog PRIVATE zeriza::zeriza zeriza::zeriza-host)
CM
cmake -S "$prefix/cm" -B "$prefix/cm/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cm/build" >/dev/null
"$prefix/cm/build/prog"
echo "installed under a prefix: built with pkg-config and with find_package"
