#!/usr/bin/env bash
# Installs the dependencies, builds with warnings as errors, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset ci
cmake --build --preset ci -j"$(nproc)"
# The MIME extraction engine's fuzz targets, built with clang, ASan and UBSan: every seed and
# every kept regression input is run once (no fuzzing).
bash fuzz/run.sh replay
ctest --preset ci -j"$(nproc)"
