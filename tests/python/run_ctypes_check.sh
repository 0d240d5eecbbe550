#!/usr/bin/env bash
# Runs the ctypes caller with a private copy of the interpreter, so that the
# library's trace log (beside the host program) lands in a temporary folder.
set -euo pipefail
library=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 -m venv --copies --without-pip "$work/venv"
"$work/venv/bin/python3" "$here/ctypes_check.py" "$library"
