#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The launcher's rooms include only downward:
image -> launcher -> payload -> paths -> common. Lists every #include in
those folders that points to a room above its own and exits 1 if there is
one. Usage: include_arrows.py [REPO_ROOT]"""
import pathlib
import re
import sys

ROOMS = ["common", "paths", "payload", "launcher", "image"]  # bottom to top
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/', re.MULTILINE)


def violations(root):
    found = []
    for rank, room in enumerate(ROOMS):
        for source in sorted((root / room).rglob("*")):
            if source.suffix not in (".h", ".cpp", ".c"):
                continue
            for match in INCLUDE.finditer(source.read_text(encoding="utf-8")):
                target = match.group(1)
                if target in ROOMS and ROOMS.index(target) > rank:
                    line = source.read_text(encoding="utf-8").count("\n", 0, match.start()) + 1
                    found.append("%s:%d includes %s/, a room above %s/" %
                                 (source.relative_to(root), line, target, room))
    return found


if __name__ == "__main__":
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[2])
    bad = violations(root)
    for v in bad:
        print(v)
    print("%d include(s) against the arrows" % len(bad))
    sys.exit(1 if bad else 0)
