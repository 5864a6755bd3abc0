#!/usr/bin/env bash
# Builds the binary wheel that installs without a compiler or system libraries:
# SQLite, libsodium and libcrypto are linked into the extension from their static
# archives, auditwheel checks that nothing else is needed, and the wheel is
# tagged with the manylinux level auditwheel finds (packaging/tag_wheel.py).
# Needs what .ci/install-deps installs. Usage: ./build-wheel.sh [output dir]
set -euo pipefail
cd "$(dirname "$0")"
out="$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)"
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT
python3 -m pip wheel . --no-deps --no-build-isolation -q -w "$raw" \
  -Ccmake.define.ORVANE_STATIC_DEPS=ON -Cbuild-dir=build/wheel-static
python3 packaging/tag_wheel.py "$raw"/orvane_ddb-*.whl "$out"
