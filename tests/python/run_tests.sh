#!/bin/sh
# The Python package as a user installs it: a fresh virtual environment that
# sees Debian's Pillow, pytest and NumPy, the wheel installed offline, and the
# tests run against the installed copy.
# Usage: run_tests.sh PYTHON WHEEL WORKDIR QRV TESTDIR
set -eu
python=$1 wheel=$2 work=$3 qrv=$4 tests=$5

rm -rf "$work"
mkdir -p "$work"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --quiet --disable-pip-version-check "$wheel"
cd "$work"
# Nothing is written into the source tree: no byte code, no pytest cache.
PYTHONDONTWRITEBYTECODE=1 QRV=$qrv exec "$work/venv/bin/python" -m pytest -q \
  -p no:cacheprovider --basetemp="$work/tmp" "$tests"
