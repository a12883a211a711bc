#!/usr/bin/env python3
"""Reads the duplicate groups that several tools reported and checks they are the same.

Usage: compare_groups.py ROOT NAME=FORMAT:FILE ...
FORMAT is one of: blank (groups of paths separated by blank lines: jdupes, fdupes, rmlint's
fdupes output), rdfind (rdfind's results.txt), parvolane (parvolane-scan's CSV export).
Empty files and groups of one are left aside. Exit status 0 when every tool agrees.
"""
import csv
import io
import os
import sys


def norm(root, path):
    if not os.path.isabs(path):
        path = os.path.join(root, path)
    return os.path.normpath(path)


def keep(groups):
    out = set()
    for g in groups:
        g = frozenset(p for p in g if os.path.getsize(p) > 0)
        if len(g) > 1:
            out.add(g)
    return out


def read_blank(root, text):
    groups, current = [], []
    for line in text.split("\n"):
        if line.strip() == "":
            if current:
                groups.append(current)
            current = []
        else:
            current.append(norm(root, line))
    if current:
        groups.append(current)
    return groups


def read_rdfind(root, text):
    byid = {}
    for line in text.split("\n"):
        if not line or line.startswith("#"):
            continue
        parts = line.split(" ", 7)
        byid.setdefault(abs(int(parts[1])), []).append(norm(root, parts[7]))
    return list(byid.values())


def read_parvolane(root, text):
    text = text.lstrip("\ufeff")
    rows = list(csv.reader(io.StringIO(text, newline="")))
    bygroup = {}
    for row in rows[1:]:
        if not row:
            continue
        bygroup.setdefault(row[0], []).append(norm(root, os.path.join(row[2], row[1])))
    return list(bygroup.values())


READERS = {"blank": read_blank, "rdfind": read_rdfind, "parvolane": read_parvolane}


def main():
    root = sys.argv[1]
    results = {}
    for spec in sys.argv[2:]:
        name, rest = spec.split("=", 1)
        fmt, path = rest.split(":", 1)
        with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
            results[name] = keep(READERS[fmt](root, f.read()))
    names = list(results)
    reference = results[names[0]]
    ok = True
    for name in names:
        same = results[name] == reference
        ok = ok and same
        print(f"  {name:16} {len(results[name]):6} groups  {'same' if same else 'DIFFERENT'}")
        if not same:
            only_here = results[name] - reference
            only_ref = reference - results[name]
            print(f"    {len(only_here)} groups only here, {len(only_ref)} only in {names[0]}")
            for g in list(only_here)[:3]:
                print("    here:", sorted(g)[:3])
            for g in list(only_ref)[:3]:
                print("    ref: ", sorted(g)[:3])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
