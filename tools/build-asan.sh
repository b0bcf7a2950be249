#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds the host-only tree with AddressSanitizer and
# UndefinedBehaviorSanitizer (clang): the tool, its host tests and the fuzz
# targets, in <full build>/asan. It borrows the full tree's launcher pieces,
# so run tools/build.sh first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNAK_BUILD_DIR:-$root/build}
asan=$build/asan
if [ ! -f "$asan/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$asan" -G Ninja -DVORNAK_HOST_ONLY=ON -DVORNAK_SANITIZE=address,undefined \
        -DVORNAK_FUZZ=ON -DVORNAK_FULL_BUILD_DIR="$build" \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$asan"
