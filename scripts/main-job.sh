#!/usr/bin/env bash
# Builds the release preset and runs the main job: a modem session through the filter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset release >/dev/null
cmake --build --preset release --target zyrva-session
exec build/release/tools/zyrva-session "$@"
