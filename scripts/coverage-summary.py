#!/usr/bin/env python3
"""Per-folder summary of a gcovr JSON report: lines, functions, branches.

The library's folders and their total come first; tools and tests follow,
apart, and are not in the library's figure.
  coverage-summary.py coverage.json [--uncovered]
--uncovered also lists, per library file, the lines never run.
"""
import json
import sys

LIBRARY = ["driver", "protocol", "serial", "ui"]
OTHERS = ["tools", "tests"]


class Tally:
    def __init__(self):
        self.lines = [0, 0]
        self.functions = [0, 0]
        self.branches = [0, 0]

    def add(self, other):
        for mine, theirs in ((self.lines, other.lines), (self.functions, other.functions),
                             (self.branches, other.branches)):
            mine[0] += theirs[0]
            mine[1] += theirs[1]


def tally_file(entry):
    t = Tally()
    for line in entry.get("lines", []):
        if line.get("gcovr/noncode"):
            continue
        t.lines[1] += 1
        t.lines[0] += line["count"] > 0
        for branch in line.get("branches", []):
            t.branches[1] += 1
            t.branches[0] += branch["count"] > 0
    # A function may appear once per build it was compiled in, under names
    # that differ with the width of size_t: one line, one function.
    seen = {}
    for function in entry.get("functions", []):
        key = function.get("lineno", function["name"])
        seen[key] = seen.get(key, 0) + function.get("execution_count", 0)
    t.functions = [sum(1 for n in seen.values() if n > 0), len(seen)]
    return t


def percent(pair):
    return "%6.1f %%" % (100.0 * pair[0] / pair[1]) if pair[1] else "     - "


def row(name, t):
    return "%-10s %s %5d/%-5d %s %4d/%-4d %s %5d/%-5d" % (
        name, percent(t.lines), t.lines[0], t.lines[1], percent(t.functions), t.functions[0],
        t.functions[1], percent(t.branches), t.branches[0], t.branches[1])


def main():
    report = json.load(open(sys.argv[1]))
    folders = {}
    uncovered = {}
    for entry in report["files"]:
        top = entry["file"].split("/", 1)[0]
        folders.setdefault(top, Tally()).add(tally_file(entry))
        if top in LIBRARY:
            missed = [l["line_number"] for l in entry.get("lines", [])
                      if not l.get("gcovr/noncode") and l["count"] == 0]
            if missed:
                uncovered[entry["file"]] = missed
    print("%-10s %17s %17s %19s" % ("folder", "lines", "functions", "branches"))
    library = Tally()
    for name in LIBRARY:
        t = folders.get(name, Tally())
        library.add(t)
        print(row(name + "/", t))
    print(row("library", library))
    print("-- apart, not in the library's figure:")
    for name in OTHERS:
        print(row(name + "/", folders.get(name, Tally())))
    if "--uncovered" in sys.argv:
        for path, missed in sorted(uncovered.items()):
            print("%s: %s" % (path, " ".join(str(n) for n in missed)))


if __name__ == "__main__":
    main()
