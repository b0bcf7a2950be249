#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the build and the tests need on Debian 12 and fetches the zstd
# sources that the Windows image compiles. Idempotent and quiet when nothing
# is missing. Usage: tools/setup.sh [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
zstd_version=1.5.4+dfsg2-5
zstd_orig=libzstd_1.5.4+dfsg2.orig.tar.xz

packages=(clang lld llvm cmake ninja-build wine64 mingw-w64 libzstd-dev zstd
          googletest libgtest-dev libcli11-dev nlohmann-json3-dev libpng-dev osslsigncode python3 python3-pefile openssl
          xz-utils strace time make dpkg-dev file)

sudo_if_needed() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
apt_updated=0
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_if_needed apt-get update -qq
    apt_updated=1
    sudo_if_needed env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# zstd's decompression sources, from Debian's source package, cached in the build tree.
deps=$build/_deps
if [ ! -f "$deps/zstd-1.5.4/lib/zstd.h" ]; then
    mkdir -p "$deps"
    if [ ! -f "$deps/$zstd_orig" ]; then
        src_list=/etc/apt/sources.list.d/debian-src.sources
        if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ /etc/apt/sources.list 2>/dev/null; then
            sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | sudo_if_needed tee "$src_list" >/dev/null
            apt_updated=0
        fi
        [ "$apt_updated" -eq 1 ] || sudo_if_needed apt-get update -qq
        (cd "$deps" && apt-get source --download-only -qq "libzstd=$zstd_version" >/dev/null 2>&1) ||
            { echo "setup: could not fetch the libzstd source package" >&2; exit 1; }
    fi
    tar -xJf "$deps/$zstd_orig" -C "$deps"
fi
