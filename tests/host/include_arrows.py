#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The launcher's rooms include only downward:
image -> launcher -> payload -> paths -> common, and so do the tool's:
cli -> link -> inspect -> app -> payload -> pe -> brand -> base. Within the
launcher room, calls between files run one way too: no file calls a function
of a file that (directly or through others) calls back into it. Lists every
#include that points to a room above its own and every call cycle between
launcher files, and exits 1 if there is one. Usage: include_arrows.py [REPO_ROOT]"""
import pathlib
import re
import sys

# (folder holding the rooms, include prefix, rooms bottom to top)
HOUSES = [
    ("", "", ["common", "paths", "payload", "launcher", "image"]),
    ("tools/vornak", "tools/vornak/", ["base", "brand", "pe", "payload", "app", "report", "link", "cli"]),
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


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.DOTALL)
    text = re.sub(r"//[^\n]*", " ", text)
    return re.sub(r'"(?:\\.|[^"\\])*"', '""', text)


def call_graph(sources):
    """{file: set of files whose functions it names}, for the functions that
    header declares and a file defines at its outermost level."""
    texts = {name: strip_comments(text) for name, text in sources.items()}
    owner = {}
    for name, text in texts.items():
        for match in re.finditer(r"^[A-Za-z_][^;{}()\n]*?\b(\w+)\s*\([^;{}]*\)\s*\{", text, re.MULTILINE):
            if not re.match(r"\s*static\b", text[match.start():]):
                owner[match.group(1)] = name
    graph = {name: set() for name in texts}
    for name, text in texts.items():
        for function, defined_in in owner.items():
            if defined_in != name and re.search(r"\b%s\b" % re.escape(function), text):
                graph[name].add(defined_in)
    return graph


def call_cycles(graph):
    """Each file that can reach itself through the graph, with one such path."""
    found = []
    for start in sorted(graph):
        paths = [[start]]
        seen = set()
        while paths:
            path = paths.pop()
            for nxt in sorted(graph[path[-1]]):
                if nxt == start:
                    found.append(" -> ".join(path + [start]))
                    paths = []
                    break
                if nxt not in seen:
                    seen.add(nxt)
                    paths.append(path + [nxt])
    return found


def launcher_call_violations(root):
    sources = {p.name: p.read_text(encoding="utf-8") for p in sorted((root / "launcher").glob("*.cpp"))}
    return ["launcher calls run both ways: %s" % c for c in call_cycles(call_graph(sources))]


if __name__ == "__main__":
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[2])
    bad = violations(root) + launcher_call_violations(root)
    for v in bad:
        print(v)
    print("%d include(s) or call(s) against the arrows" % len(bad))
    sys.exit(1 if bad else 0)
