#!/usr/bin/env bash
# Every C and C++ file of the project as the project's .clang-format lays it out.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
echo "format: every file as .clang-format lays it out"
