#!/usr/bin/env python3
"""The include arrows between the rooms (sub-folders) of a source folder.

Reads every #include "..." line under the folder (paths are written from
the repository root), gives each file the room it lies in (its first
sub-folder; a file directly in the folder is its own room), and prints one
line per arrow "from -> to (n includes)".  Then it names every circle: of
rooms, and of files that include each other (directly or through others).

  scripts/include_arrows.py [--root core] [--rooms MAP] [--order a,b,c]

--rooms MAP  a text file of lines "room file file ..." that places files
             of a flat folder into rooms by name (to show how a layout
             would look before the files move).
--order      rooms from the top down; an arrow that runs up is flagged.
Exit code 1 when an arrow runs up or there is a circle of rooms.
"""
import argparse
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def source_files(repo, root):
    for dirpath, _, names in os.walk(os.path.join(repo, root)):
        for n in names:
            if n.endswith((".h", ".cpp")):
                yield os.path.relpath(os.path.join(dirpath, n), repo)


def includes(repo, path):
    with open(os.path.join(repo, path), encoding="utf-8", errors="replace") as f:
        for line in f:
            m = INCLUDE.match(line)
            if m:
                yield m.group(1)


def room_of(path, root, rooms):
    rel = os.path.relpath(path, root)
    if rooms is not None:
        return rooms.get(os.path.basename(rel), "(unplaced)")
    head = rel.split(os.sep)[0]
    return head if os.sep in rel else os.path.splitext(head)[0].split("_")[0]


def unit(path):
    # A header and its source are one unit; mainform_menus.cpp belongs to
    # mainform.h.
    stem = os.path.splitext(path)[0]
    base = os.path.basename(stem)
    if "_" in base and not os.path.exists(stem + ".h"):
        stem = os.path.join(os.path.dirname(stem), base.split("_")[0])
    return stem


def circles(edges):
    """Strongly connected components with more than one member (Tarjan)."""
    index, low, stack, on, out = {}, {}, [], set(), []
    counter = [0]
    nodes = set(edges) | {b for bs in edges.values() for b in bs}

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(edges.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                out.append(sorted(comp))

    sys.setrecursionlimit(10000)
    for v in sorted(nodes):
        if v not in index:
            visit(v)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repo", default=os.path.join(os.path.dirname(__file__), ".."))
    ap.add_argument("--root", default="core")
    ap.add_argument("--rooms")
    ap.add_argument("--order")
    args = ap.parse_args()
    repo = os.path.abspath(args.repo)

    rooms = None
    if args.rooms:
        rooms = {}
        with open(args.rooms) as f:
            for line in f:
                words = line.split()
                for name in words[1:]:
                    rooms[name] = words[0]

    files = sorted(source_files(repo, args.root))
    known = set(files)
    arrows, unit_edges = {}, {}
    for path in files:
        src_room = room_of(path, args.root, rooms)
        for inc in includes(repo, path):
            if inc not in known:
                continue
            dst_room = room_of(inc, args.root, rooms)
            if dst_room != src_room:
                arrows.setdefault((src_room, dst_room), []).append((path, inc))
            a, b = unit(path), unit(inc)
            if a != b:
                unit_edges.setdefault(a, set()).add(b)

    order = args.order.split(",") if args.order else None
    bad = False
    print(f"Include arrows between the rooms of {args.root}/:")
    for (a, b), pairs in sorted(arrows.items()):
        flag = ""
        if order and a in order and b in order and order.index(a) > order.index(b):
            flag, bad = "   <-- runs up", True
        print(f"  {a} -> {b} ({len(pairs)} includes){flag}")
        if flag:
            for p, i in pairs:
                print(f"      {p} includes {i}")
    room_edges = {}
    for a, b in arrows:
        room_edges.setdefault(a, set()).add(b)
    room_circles = circles(room_edges)
    print("Circles of rooms:", "none" if not room_circles else "")
    for c in room_circles:
        bad = True
        print("  " + " <-> ".join(c))
    file_circles = circles(unit_edges)
    print("Files that include each other:", "none" if not file_circles else "")
    for c in file_circles:
        print("  " + " <-> ".join(os.path.relpath(x, repo) if os.path.isabs(x) else x for x in c))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
