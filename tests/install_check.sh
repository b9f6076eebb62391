#!/usr/bin/env bash
# How users build against zeriza, each run to the end:
# - installed into a scratch prefix: a C program built with nothing but
#   `pkg-config --cflags --libs zeriza`; the same with zeriza-core and a host
#   layer named apart; CMake projects with find_package(zeriza);
# - from the source tree: a CMake project that takes zeriza in with
#   add_subdirectory, and the library built alone, both with CLI11, libpcap,
#   GoogleTest and Google Benchmark hidden from CMake;
# - the installed tool run from its prefix, moved, with no library path set.
#   tests/install_check.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
prog=$root/tests/consumer.c
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/x86_64-linux-gnu/pkgconfig"
libdir=$(pkg-config --variable=libdir zeriza)
run() { LD_LIBRARY_PATH="$libdir" "$@" >/dev/null || { echo "FAIL: $*"; exit 1; }; }

# pkg-config: the library with its reference host layer, or the library alone.
cc -std=c11 -Wall -Werror -o "$prefix/prog" "$prog" $(pkg-config --cflags --libs zeriza)
run "$prefix/prog"
case " $(pkg-config --libs zeriza-core) " in
*zeriza-host*) echo "FAIL: zeriza-core names the host layer"; exit 1 ;;
esac
cc -std=c11 -Wall -Werror -o "$prefix/prog-core" "$prog" $(pkg-config --cflags --libs zeriza-core) \
  -L"$libdir" -lzeriza-host
run "$prefix/prog-core"

# A CMake project: `targets` are what it links.
project() {
  local dir=$1 find=$2 targets=$3
  mkdir -p "$dir"
  cat > "$dir/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.20)
project(user C CXX)
$find
add_executable(prog $prog)
target_link_libraries(prog PRIVATE $targets)
CM
}
hidden=(-DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
for targets in "zeriza::zeriza" "zeriza::core zeriza::zeriza-host"; do
  dir="$prefix/find/${targets%% *}"
  project "$dir" "find_package(zeriza REQUIRED)" "$targets"
  cmake -S "$dir" -B "$dir/build" -DCMAKE_PREFIX_PATH="$prefix" "${hidden[@]}" >/dev/null
  cmake --build "$dir/build" >/dev/null
  run "$dir/build/prog"
done

dir="$prefix/sub"
project "$dir" "add_subdirectory($root zeriza)" "zeriza::zeriza"
cmake -S "$dir" -B "$dir/build" "${hidden[@]}" >/dev/null
cmake --build "$dir/build" -j4 >/dev/null
"$dir/build/prog" >/dev/null || { echo "FAIL: add_subdirectory consumer"; exit 1; }
[ ! -e "$dir/build/zeriza/tools" ] || { echo "FAIL: add_subdirectory built the tools"; exit 1; }

cmake -S "$root" -B "$prefix/alone" -DZERIZA_BUILD_TOOLS=OFF -DZERIZA_BUILD_TESTS=OFF \
  -DZERIZA_BUILD_BENCH=OFF -DZERIZA_BUILD_FUZZ=OFF "${hidden[@]}" >/dev/null
cmake --build "$prefix/alone" -j4 >/dev/null
cc -std=c11 -o "$prefix/prog-alone" "$prog" -I"$root/include" -I"$root/host" \
  -L"$prefix/alone" -lzeriza -lzeriza-host
LD_LIBRARY_PATH="$prefix/alone" "$prefix/prog-alone" >/dev/null ||
  { echo "FAIL: the library built alone"; exit 1; }

# The installed tool finds its libraries from wherever the prefix is.
"$build/tools/zeriza-sample" "$prefix/sample.pcap" >/dev/null
moved="$prefix-moved"
mv "$prefix" "$moved"
trap 'rm -rf "$moved"' EXIT
"$moved/bin/zeriza" --version >/dev/null
summary=$("$moved/bin/zeriza" match ARP -r "$moved/sample.pcap" 2>&1)
[ "$summary" = "240 frames read, 20 passed" ] || { echo "installed match said: $summary"; exit 1; }
echo "pkg-config (zeriza, zeriza-core), find_package, add_subdirectory and the library alone" \
  "(CLI11, libpcap, GoogleTest, Google Benchmark hidden) all build and run; the tool runs from its prefix"
