#!/usr/bin/env bash
# Every test program of a build under valgrind memcheck: it fails on any
# memory error and on any definite or indirect leak. The comparison of the
# matcher's engines over every cut of the real capture is left to the
# sanitizer build: under valgrind it would take many minutes.
#   scripts/memcheck.sh [BUILD_DIR]
set -uo pipefail
build=${1:-build}
status=0
for t in unit_tests log_tests capture_tests alloc_fail_test tool_tests dlopen_test; do
  echo "memcheck: $t"
  LD_LIBRARY_PATH="$build" valgrind --quiet --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    "$build/tests/$t" --gtest_brief=1 --gtest_filter='-CaptureFile.EnginesAgree*' ||
    { echo "memcheck: $t FAILED"; status=1; }
done
[ $status -eq 0 ] && echo "memcheck: no errors, no leaks"
exit $status
