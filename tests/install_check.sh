#!/usr/bin/env bash
# Install into a scratch prefix, then build and run a C program with nothing
# but what pkg-config says, configure a CMake project with find_package, and
# run the installed tool from its prefix with no library path set.
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

# The installed tool finds its libraries from wherever the prefix is.
unset LD_LIBRARY_PATH
"$build/tools/zeriza-sample" "$prefix/sample.pcap" >/dev/null
moved="$prefix-moved"
mv "$prefix" "$moved"
trap 'rm -rf "$moved"' EXIT
"$moved/bin/zeriza" --version
summary=$("$moved/bin/zeriza" match ARP -r "$moved/sample.pcap" 2>&1)
[ "$summary" = "240 frames read, 20 passed" ] || { echo "installed match said: $summary"; exit 1; }
echo "installed under a prefix: built with pkg-config and with find_package; the tool runs from it"
