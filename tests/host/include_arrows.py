#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The launcher's rooms include only downward:
image -> launcher -> payload -> paths -> common, and so do the tool's:
cli -> link -> inspect -> app -> payload -> pe -> brand -> base. Lists every
#include in those folders that points to a room above its own and exits 1 if
there is one. Usage: include_arrows.py [REPO_ROOT]"""
import pathlib
import re
import sys

# (folder holding the rooms, include prefix, rooms bottom to top)
HOUSES = [
    ("", "", ["common", "paths", "payload", "launcher", "image"]),
    ("tools/vornak", "tools/vornak/", ["base", "brand", "pe", "payload", "app", "inspect", "link", "cli"]),
]


def violations(root):
    found = []
    for folder, prefix, rooms in HOUSES:
        include = re.compile(r'^\s*#\s*include\s*"%s([^"/]+)/' % re.escape(prefix), re.MULTILINE)
        found += house_violations(root / folder if folder else root, root, include, rooms)
    return found


def house_violations(house, root, include, rooms):
    found = []
    for rank, room in enumerate(rooms):
        for source in sorted((house / room).rglob("*")):
            if source.suffix not in (".h", ".cpp", ".c"):
                continue
            for match in include.finditer(source.read_text(encoding="utf-8")):
                target = match.group(1)
                if target in rooms and rooms.index(target) > rank:
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
