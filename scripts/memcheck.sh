#!/usr/bin/env bash
# Every test program that CTest lists for a build, under valgrind memcheck:
# it fails on any memory error and on any definite or indirect leak. A
# GoogleTest program runs once with all its tests; the comparison of the
# matcher's engines over every cut of the real capture is left to the
# sanitizer build, since under valgrind it would take many minutes. Shell
# scripts are not programs of ours and are skipped.
#   scripts/memcheck.sh [BUILD_DIR]
set -uo pipefail
build=${1:-build}
list=$(ctest --test-dir "$build" --show-only=json-v1 | /usr/bin/python3 -c '
import json, os, sys
seen = set()
ours = os.path.realpath(sys.argv[1]) + os.sep
for test in json.load(sys.stdin)["tests"]:
    cmd = test.get("command") or []
    if not cmd or cmd[0].endswith(".sh") or not os.path.realpath(cmd[0]).startswith(ours):
        continue
    gtest = any(a.startswith("--gtest_filter") for a in cmd)
    run = [cmd[0], "--gtest_brief=1", "--gtest_filter=-CaptureFile.EnginesAgree*"] if gtest else cmd
    if tuple(run) not in seen:
        seen.add(tuple(run))
        print("\t".join(run))
' "$build")
[ -n "$list" ] || { echo "memcheck: CTest lists no programs in $build"; exit 1; }
status=0
while IFS=$'\t' read -r -a cmd; do
  echo "memcheck: ${cmd[*]#"$build"/}"
  LD_LIBRARY_PATH="$build" valgrind --quiet --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    "${cmd[@]}" >/dev/null || { echo "memcheck: ${cmd[0]} FAILED"; status=1; }
done <<<"$list"
[ $status -eq 0 ] && echo "memcheck: no errors, no leaks"
exit $status
