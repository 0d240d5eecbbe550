#!/usr/bin/env bash
# The Python package installs with Debian's own tooling and nothing from the
# network: pip into a venv (Debian's setuptools through
# --system-site-packages), and a wheel built with python3 -m build and
# installed into a second venv. Each installed copy then loads the library
# named by VELTRA_LIBRARY and calls it from outside the source tree.
# Builds happen on a copy, so the source tree gets no build/ or egg-info.
# usage: install_test.sh LIBRARY
# A missing python3-venv or python3-build skips (77), or fails when CI=true.
# VELTRA_PRELOAD (a sanitizer's runtime) is preloaded into the interpreters
# that load the library, not into pip.
set -euo pipefail
library=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$here/../python
python=/usr/bin/python3

missing=()
"$python" -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
"$python" -c 'import build' 2>/dev/null || missing+=(python3-build)
"$python" -c 'import setuptools' 2>/dev/null || missing+=(python3-setuptools)
if [ ${#missing[@]} -gt 0 ]; then
    if [ "${CI:-}" = true ]; then
        echo "missing ${missing[*]}: failed, as CI needs the install test"
        exit 1
    fi
    echo "missing ${missing[*]} (bash scripts/setup.sh installs them): skipped"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy() {
    mkdir -p "$1"
    cp -r "$source_dir/pyproject.toml" "$source_dir/README.md" "$source_dir/veltra" "$1/"
    rm -rf "$1/veltra/__pycache__"
}

# Imports the installed package from a neutral folder and calls the library.
try_venv() {
    local venv=$1
    (cd "$work" && VELTRA_LIBRARY=$library PYTHONPATH= LD_PRELOAD=${VELTRA_PRELOAD:-} \
        "$venv/bin/python" - "$venv" <<'EOF'
import os, sys
import veltra
venv = os.path.realpath(sys.argv[1])
where = os.path.realpath(veltra.__file__)
assert where.startswith(venv + os.sep), f"veltra imported from {where}, not from {venv}"
assert veltra.version().startswith("VELTRA V"), veltra.version()
assert veltra.result_name(-6) == "ERR_TIMEOUT"
assert len(veltra.files_list()) == 14
print(f"{where}: {veltra.version()}")
EOF
    )
}

echo "== pip install into a venv"
copy "$work/src-pip"
"$python" -m venv --system-site-packages "$work/venv-pip"
"$work/venv-pip/bin/pip" install --quiet --no-index --no-build-isolation "$work/src-pip"
try_venv "$work/venv-pip"

echo "== wheel with python3 -m build, installed into a venv"
copy "$work/src-wheel"
"$python" -m build --no-isolation --wheel --outdir "$work/dist" "$work/src-wheel" >/dev/null
wheel=$(ls "$work"/dist/veltra-*.whl)
echo "built $(basename "$wheel")"
"$python" -m venv "$work/venv-wheel"
"$work/venv-wheel/bin/pip" install --quiet --no-index "$wheel"
try_venv "$work/venv-wheel"
echo "install: pip and wheel both import and call the library"
