#!/usr/bin/env bash
# Builds the dev preset (AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev
