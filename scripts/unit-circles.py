#!/usr/bin/env python3
"""Finds circles between units: a unit is x.cpp with x.h in one of the system folders, and unit X
uses unit Y when x.cpp or x.h includes "Y.h". Prints every circle found and exits 1; prints one
line and exits 0 when there is none.
    python3 scripts/unit-circles.py [folder ...]    (default: the six system folders)"""
import os
import re
import sys

FOLDERS = ["app", "port", "output", "fileservice", "packet", "sending"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)\.h"', re.M)


def units(folders):
    found = set()
    for d in folders:
        for name in sorted(os.listdir(d)):
            stem, ext = os.path.splitext(name)
            if ext in (".cpp", ".h"):
                found.add(f"{d}/{stem}")
    return found


def uses(unit, known):
    out = set()
    for ext in (".cpp", ".h"):
        try:
            with open(unit + ext, encoding="utf-8") as f:
                text = f.read()
        except FileNotFoundError:
            continue
        for y in INCLUDE.findall(text):
            if y != unit and y in known:
                out.add(y)
    return sorted(out)


def circles(graph):
    """Each circle once, as the path from its first unit (in sorted order) back to it."""
    found = []
    for start in sorted(graph):
        # Paths from start through units after it only, so each circle is found from its
        # smallest unit and no other.
        stack = [(start, [start])]
        while stack:
            node, path = stack.pop()
            for y in graph[node]:
                if y == start:
                    found.append(path + [start])
                elif y > start and y not in path:
                    stack.append((y, path + [y]))
    return found


def main():
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    folders = sys.argv[1:] or FOLDERS
    known = units(folders)
    graph = {u: uses(u, known) for u in known}
    found = circles(graph)
    for c in found:
        print("circle: " + " -> ".join(c), file=sys.stderr)
    if found:
        print(f"units: {len(found)} circle(s) between the units above", file=sys.stderr)
        return 1
    print(f"units: no circle between the {len(known)} units")
    return 0


if __name__ == "__main__":
    sys.exit(main())
