#!/usr/bin/env bash
# Compiles the driver sources for i686 Windows kernel mode against mingw-w64's DDK.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset i686-windows >/dev/null
cmake --build --preset i686-windows
