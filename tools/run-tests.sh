#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds everything and runs every test (host
# tests, Windows test programs and end-to-end cases under Wine) through ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNAK_BUILD_DIR:-$root/build}
VORNAK_BUILD_DIR=$build "$root/tools/build.sh"
cd "$build"
ctest --output-on-failure -j2 --timeout 900 "$@"
