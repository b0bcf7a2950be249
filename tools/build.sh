#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing and builds everything into build/ (host tool,
# launcher pieces, Windows test programs, the example application).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNAK_BUILD_DIR:-$root/build}
"$root/tools/setup.sh" "$build"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build"
