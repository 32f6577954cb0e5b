#!/usr/bin/env bash
# Builds the release preset and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release --target zyrva-hostdemo
exec build/release/tools/zyrva-hostdemo "$@"
