#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Seed corpora of the fuzz targets, made by our own tools from a full build
# tree: launcher images that `vornak build` links, payload files that
# `vornak pack` writes, and small Windows images of the tree's test programs.
# Usage: make_seeds.sh VORNAK FULL_BUILD_DIR OUT_DIR
set -euo pipefail
vornak=$1 full=$2 out=$3
rm -rf "$out"
mkdir -p "$out/pe" "$out/payload" "$out/extract"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A small application: the example's DLL, a nested folder, an empty file and
# a name outside ASCII, so the seeds reach each kind of entry.
app=$work/app
mkdir -p "$app/data/deep"
cp "$full/examples/hello/hello.dll" "$app/"
printf 'hello\n' >"$app/data/greeting.txt"
: >"$app/data/deep/empty.txt"
printf 'x' >"$app/data/caf$(printf '\303\251').txt"

"$vornak" pack "$app" --dll hello.dll -o "$out/payload/small.bin" --level 3 --quiet
"$vornak" pack "$full/examples/hello" --dll hello.dll -o "$out/payload/hello.bin" --quiet
"$vornak" build "$app" --dll hello.dll -o "$work/small.exe" --quiet
cp "$work/small.exe" "$out/pe/launcher.exe"
cp "$work/small.exe" "$out/extract/launcher.exe"
for f in deplib.dll depmain.dll noentry.dll; do
    cp "$full/win/$f" "$out/pe/$f"
done
