#!/usr/bin/env bash
# Fails when a C or C++ file drifts from the project's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format --dry-run --Werror
echo "check-format: every C and C++ file follows .clang-format"
