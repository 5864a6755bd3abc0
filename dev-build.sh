#!/usr/bin/env bash
# Developer build: the extension and the C++ tests into build-dev/, without a wheel.
# Then: PYTHONPATH=build-dev python -m pytest tests/python ; build-dev/orvane_unit_tests
set -euo pipefail
cd "$(dirname "$0")"
dir=${BUILD_DIR:-build-dev}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} -DORVANE_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$dir" -j "${JOBS:-2}"
