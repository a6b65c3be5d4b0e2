#!/usr/bin/env bash
# Installs the dependencies, builds with warnings as errors, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset ci
cmake --build --preset ci -j"$(nproc)"
ctest --preset ci -j"$(nproc)"
