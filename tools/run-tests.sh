#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds everything and runs every test (host
# tests, Windows test programs and end-to-end cases under Wine) through
# ctest; then the host tests again, and each fuzz target on its seeds, in a
# host-only tree built with AddressSanitizer and UndefinedBehaviorSanitizer
# (build/asan). Arguments go to both ctest runs. Exits non-zero if either
# run fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNAK_BUILD_DIR:-$root/build}
VORNAK_BUILD_DIR=$build "$root/tools/build.sh" || exit 1
(cd "$build" && ctest --output-on-failure -j2 --timeout 900 "$@")
full=$?
echo "== host tests with AddressSanitizer and UndefinedBehaviorSanitizer ($build/asan) =="
if VORNAK_BUILD_DIR=$build "$root/tools/build-asan.sh"; then
    (cd "$build/asan" && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j2 --timeout 900 "$@")
    sanitized=$?
else
    sanitized=1
fi
[ "$full" -eq 0 ] && [ "$sanitized" -eq 0 ]
