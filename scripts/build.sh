#!/usr/bin/env bash
# Installs the dependencies and builds build/tarnwick.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" >/dev/null
