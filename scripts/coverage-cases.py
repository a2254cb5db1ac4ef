#!/usr/bin/env python3
"""Coverage per test case: which cases reach library code that no other reaches.

Runs every test case of the two instrumented trees of make coverage alone
(build/coverage-<arch>: the Windows tests under Wine; build/coverage-native),
each through ctest with GTEST_FILTER naming it, so that its fixtures,
environment and simulated gauge are those of the suite. A ctest entry that is
no GoogleTest program (a script, the soak run) is one case. Before each case
every .gcda file of both trees is deleted; after it, gcovr (with the
exclusions of make coverage: scripts/coverage-gcovr.sh) reads the counts of
the library's sources (driver/, protocol/, serial/, ui/) and the case's
covered lines and branches are kept.

The report: per case the library lines and branches it reaches and how many
of them no other case reaches; the cases with nothing of their own (every
line and branch they reach is reached by another case too: candidates for
folding into a table of cases), by program; and a greedy set of cases that
reaches the same lines and branches as all of them. A failed case is marked
and its counts still count. Written to build/coverage/cases.txt (the report)
and cases.json (per case its status, seconds and covered lines and branches
by file; branch numbers are ranks on their line, exceptions' branches
included, and throw_branches lists those left out), cases-filtered.* with
--filter, and printed. Reading the counts costs about 5 s a Windows case and
1 s a native one.

A case alone can reach a little less or more than it does amid its program's
other cases: paths that only timing or a previous case's leftovers take.

  coverage-cases.py [--filter REGEX] [--no-build] [--report-only]
--filter keeps the cases whose "program:Suite.Case" name matches REGEX (a
search, e.g. "test_trace|ByteRing"); --no-build skips building the trees;
--report-only prints the report of the last run's JSON again.

The Windows cases run on one virtual display (scripts/gui-run.sh) with the
project's Wine prefix; the script starts itself again inside it.
"""
import argparse
import json
import os
import re
import runpy
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
SCRIPTS = os.path.join(ROOT, "scripts")
OUT = os.path.join(ROOT, "build", "coverage")
INNER = "LUMO_COVERAGE_CASES_INNER"


def load_library_folders():
    """The library's folders, as scripts/coverage-summary.py sums them."""
    return runpy.run_path(os.path.join(SCRIPTS, "coverage-summary.py"))["LIBRARY"]


LIBRARY = load_library_folders()


def test_arch():
    return subprocess.run([os.path.join(SCRIPTS, "test-arch.sh")], check=True,
                          capture_output=True, text=True).stdout.strip()


def trees():
    """(kind, tree) of the two instrumented trees, Windows first."""
    return [("windows", os.path.join(ROOT, "build", "coverage-" + test_arch())),
            ("native", os.path.join(ROOT, "build", "coverage-native"))]


# --- listing -----------------------------------------------------------------

def ctest_entries(tree):
    """The tree's ctest entries: name, command, working directory."""
    shown = subprocess.run(["ctest", "--test-dir", tree, "--show-only=json-v1"], check=True,
                           capture_output=True, text=True).stdout
    entries = []
    for test in json.loads(shown)["tests"]:
        props = {p["name"]: p["value"] for p in test.get("properties", [])}
        entries.append({"name": test["name"], "command": test.get("command", []),
                        "cwd": props.get("WORKING_DIRECTORY", tree)})
    return entries


def gtest_program(entry):
    """The entry's GoogleTest program, or None: an entry runs one when its
    command ends in a program named after it (test_x or test_x.exe, run
    directly or through the Wine and simulator scripts)."""
    command = entry["command"]
    if command and os.path.basename(command[-1]) in (entry["name"], entry["name"] + ".exe"):
        return command[-1]
    return None


def parse_gtest_list(text):
    """Suite.Case names from --gtest_list_tests output, disabled ones left out."""
    names = []
    suite = None
    for raw in text.splitlines():
        line = raw.split("#", 1)[0].rstrip()
        if not line:
            continue
        if not raw.startswith(" "):
            suite = line[:-1] if line.endswith(".") else None
        elif suite:
            case = line.strip()
            if not (case.startswith("DISABLED_") or suite.split("/")[-1].startswith("DISABLED_")):
                names.append(suite + "." + case)
    return names


def list_cases(kind, tree):
    cases = []
    for entry in ctest_entries(tree):
        program = gtest_program(entry)
        if program is None:
            cases.append({"kind": kind, "tree": tree, "program": entry["name"], "case": None})
            continue
        command = [os.environ["WINE"], program] if kind == "windows" else [program]
        listed = subprocess.run(command + ["--gtest_list_tests"], cwd=entry["cwd"],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                errors="replace", timeout=120, env=case_env(kind, None))
        names = parse_gtest_list(listed.stdout)
        if listed.returncode != 0 or not names:
            print("coverage-cases: %s lists no test cases (exit status %d); run as one case"
                  % (entry["name"], listed.returncode), file=sys.stderr)
            cases.append({"kind": kind, "tree": tree, "program": entry["name"], "case": None})
            continue
        for name in names:
            cases.append({"kind": kind, "tree": tree, "program": entry["name"], "case": name})
    return cases


def full_name(case):
    return case["program"] + (":" + case["case"] if case["case"] else "")


# --- running one case ----------------------------------------------------------

def case_env(kind, gtest_filter):
    env = dict(os.environ)
    env.pop("GTEST_FILTER", None)
    env.pop("GCOV_PREFIX", None)
    if gtest_filter:
        env["GTEST_FILTER"] = gtest_filter
    if kind == "windows":
        # A Windows program writes its counts to the object's path as the
        # compiler saw it; Z: is the prefix's drive for the Unix root.
        env["GCOV_PREFIX"] = "Z:"
    return env


def delete_counts(tree_list):
    for tree in tree_list:
        for folder, _, files in os.walk(tree):
            for name in files:
                if name.endswith(".gcda"):
                    os.remove(os.path.join(folder, name))


def has_counts(tree):
    return any(name.endswith(".gcda") for _, _, files in os.walk(tree) for name in files)


def status_of(case, returncode, output):
    if returncode != 0:
        return "timeout" if "***Timeout" in output else "failed"
    if case["case"] is None:
        return "passed"
    if re.search(r"\[  SKIPPED \] 1 test", output):
        return "skipped"
    if re.search(r"\[  PASSED  \] 1 test\.", output):
        return "passed"
    return "not run"


class Counts:
    """Library lines and branches: covered and instrumented, as sets of
    (file, line) and (file, line, branch number); and the branches gcov
    marked as an exception's."""

    def __init__(self):
        self.covered_lines, self.covered_branches = set(), set()
        self.lines, self.branches, self.throw = set(), set(), set()

    def add(self, other):
        for name in vars(self):
            getattr(self, name).update(getattr(other, name))


def library_counts(tree, workdir):
    """The Counts of the tree's .gcda files, and gcovr's error if any."""
    counts = Counts()
    if not has_counts(tree):
        return counts, None
    report = os.path.join(workdir, "counts.json")
    # The whole tree, also the objects the case did not load, and every
    # branch, the exceptions' too: gcovr's JSON numbers a line's branches by
    # their rank among those it kept, merged over the objects it read, so only
    # the same objects and branches give every case the same numbers. The
    # exceptions' branches are left out in the report (where any case ran
    # them, as make coverage leaves out those its run marked).
    done = subprocess.run([os.path.join(SCRIPTS, "coverage-gcovr.sh"), "--keep-throw-branches",
                           tree, report, "--filter", "(%s)/" % "|".join(LIBRARY), tree],
                          cwd=ROOT, capture_output=True, text=True, errors="replace")
    if done.returncode != 0:
        return counts, done.stderr.strip()[-2000:]
    for entry in json.load(open(report))["files"]:
        path = entry["file"]
        if path.split("/", 1)[0] not in LIBRARY:
            continue
        for line in entry.get("lines", []):
            if line.get("gcovr/noncode"):
                continue
            key = (path, line["line_number"])
            counts.lines.add(key)
            if line["count"] > 0:
                counts.covered_lines.add(key)
            for number, branch in enumerate(line.get("branches", [])):
                counts.branches.add(key + (number,))
                if branch["count"] > 0:
                    counts.covered_branches.add(key + (number,))
                if branch.get("throw"):
                    counts.throw.add(key + (number,))
    return counts, None


def run_case(case, all_trees, workdir, logdir):
    delete_counts(all_trees)
    started = time.monotonic()
    done = subprocess.run(["ctest", "--test-dir", case["tree"], "-R", "^%s$" % re.escape(case["program"]),
                           "-V"], cwd=ROOT, env=case_env(case["kind"], case["case"]),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
    output = done.stdout + done.stderr
    run_seconds = time.monotonic() - started
    result = {"program": case["program"], "case": case["case"], "tree": case["kind"],
              "status": status_of(case, done.returncode, output),
              "run_seconds": round(run_seconds, 1)}
    if result["status"] != "passed" and result["status"] != "skipped":
        log = os.path.join(logdir, re.sub(r"[^\w.-]+", "_", full_name(case)) + ".log")
        with open(log, "w") as f:
            f.write(output)
        result["log"] = os.path.relpath(log, ROOT)
    started = time.monotonic()
    counts = Counts()
    for tree in all_trees:
        tree_counts, error = library_counts(tree, workdir)
        counts.add(tree_counts)
        if error:
            result["count_error"] = error
    result["count_seconds"] = round(time.monotonic() - started, 1)
    result["lines"] = group_by_file(counts.covered_lines)
    result["branches"] = group_by_file(counts.covered_branches)
    return result, counts


def group_by_file(keys):
    grouped = {}
    for key in sorted(keys):
        grouped.setdefault(key[0], []).append(key[1] if len(key) == 2 else list(key[1:]))
    return grouped


def ungroup(grouped, branches):
    if branches:
        return {(path, line, number) for path, items in grouped.items() for line, number in items}
    return {(path, line) for path, items in grouped.items() for line in items}


# --- the report ------------------------------------------------------------------

def test_sources():
    """(suite, name) -> (file, first line, length in lines) of every TEST* in tests/."""
    found = {}
    pattern = re.compile(r"^\s*(?:TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)\(\s*(\w+)\s*,\s*(\w+)\s*\)")
    for folder, _, files in os.walk(os.path.join(ROOT, "tests")):
        for name in sorted(files):
            if not name.endswith(".cpp"):
                continue
            path = os.path.join(folder, name)
            text = open(path, encoding="utf-8", errors="replace").read().splitlines()
            for number, line in enumerate(text):
                match = pattern.match(line)
                if not match:
                    continue
                end = number
                while end + 1 < len(text) and text[end] != "}":
                    end += 1
                found.setdefault((match.group(1), match.group(2)),
                                 (os.path.relpath(path, ROOT), number + 1, end - number + 1))
    return found


def source_of(case_name, sources):
    if not case_name:
        return None
    suite, _, name = case_name.partition(".")
    name = name.split("/")[0]
    for part in reversed(suite.split("/")):
        if (part, name) in sources:
            return sources[(part, name)]
    return None


def greedy_cover(results, elements_of):
    """Cases picked one at a time, each the one that adds most; ties go to the
    quicker case."""
    left = set().union(*elements_of) if elements_of else set()
    picked = []
    remaining = list(range(len(results)))
    while left:
        best = max(remaining, key=lambda i: (len(elements_of[i] & left),
                                             -results[i]["run_seconds"]))
        gain = elements_of[best] & left
        if not gain:
            break
        picked.append((best, gain))
        left -= gain
        remaining.remove(best)
    return picked


def minutes(seconds):
    return "%d min %02d s" % (seconds // 60, seconds % 60)


def report(data):
    results = data["cases"]
    throw = ungroup(data["throw_branches"], True)
    lines_of = [ungroup(r["lines"], False) for r in results]
    branches_of = [ungroup(r["branches"], True) - throw for r in results]
    reached_by = {}
    for i in range(len(results)):
        for key in lines_of[i] | branches_of[i]:
            reached_by[key] = reached_by.get(key, 0) + 1
    all_lines = set().union(*lines_of) if results else set()
    all_branches = set().union(*branches_of) if results else set()
    sources = test_sources()
    out = []
    say = out.append
    kinds = {}
    for r in results:
        kinds[r["tree"]] = kinds.get(r["tree"], 0) + 1
    say("coverage per test case: %d cases (%s)%s, run in %s (building the trees not counted)" % (
        len(results), ", ".join("%d %s" % (n, k) for k, n in sorted(kinds.items(), reverse=True)),
        " matching --filter %s" % data["filter"] if data.get("filter") else "",
        minutes(data["seconds"])))
    say("library reached by all of them together: %d of %d lines, %d of %d branches" % (
        len(all_lines), data["instrumented_lines"], len(all_branches),
        data["instrumented_branches"] - len(throw)))
    if data.get("sources_edited"):
        # Lines come from the notes files, but gcovr reads each source's text
        # to leave out branches on lines that are not code (and uncovered
        # non-code lines): a file edited after the build is read as it stood
        # at each case's reading.
        say("warning: library sources edited after the trees were built: %s; the branches "
            "left out as unreachable in them may differ from the cases before: run again "
            "on sources nobody edits" % ", ".join(
                "%s (seen from case %d on)" % (path, n) for path, n in data["sources_edited"]))
    failed = [r for r in results if r["status"] not in ("passed", "skipped")]
    say("cases not passed (their counts still count): %s" % (
        ", ".join("%s (%s)" % (full_name(r), r["status"]) for r in failed) if failed else "none"))
    errors = [r for r in results if r.get("count_error")]
    for r in errors:
        say("counts not read after %s: %s" % (full_name(r), r["count_error"].splitlines()[-1]))
    say("")
    say("per case: library lines and branches reached, and how many of them no other case reaches")
    say("%-72s %6s %5s %6s %5s %7s  %s" % ("program:case", "lines", "own", "branch", "own",
                                          "seconds", "status"))
    own = []
    for i, r in enumerate(results):
        own_lines = sum(1 for k in lines_of[i] if reached_by[k] == 1)
        own_branches = sum(1 for k in branches_of[i] if reached_by[k] == 1)
        own.append((own_lines, own_branches))
        say("%-72s %6d %5d %6d %5d %7.1f  %s" % (
            full_name(r), len(lines_of[i]), own_lines, len(branches_of[i]), own_branches,
            r["run_seconds"], r["status"]))
    say("")
    say("cases with nothing of their own (every library line and branch they reach is reached")
    say("by another case too), by program; the test's length in its source file. Each is judged")
    say("alone: two of them may cover each other (a test's two reply modes); the greedy cover")
    say("below is a set that keeps everything:")
    nothing = [i for i in range(len(results)) if own[i] == (0, 0) and lines_of[i]]
    by_program = {}
    for i in nothing:
        by_program.setdefault(results[i]["program"], []).append(i)
    for program, picked in by_program.items():
        of = sum(1 for r in results if r["program"] == program)
        say("  %s (%d of %d):" % (program, len(picked), of))
        for i in picked:
            where = source_of(results[i]["case"], sources)
            say("    %-62s %4d lines %4d branches  %s" % (
                results[i]["case"] or "(whole entry)", len(lines_of[i]), len(branches_of[i]),
                "%s:%d, %d lines" % where if where else ""))
    if not nothing:
        say("  none")
    say("  %d in all" % len(nothing))
    empty = [r for i, r in enumerate(results) if not lines_of[i]]
    say("")
    say("cases that reach no library code (skipped, or testing tools or builds without counts): %d"
        % len(empty))
    by_program = {}
    for r in empty:
        by_program.setdefault(r["program"], []).append(
            (r["case"] or "(whole entry)") + ("" if r["status"] == "passed" else " (%s)" % r["status"]))
    for program, names in by_program.items():
        say("  %s: %s" % (program, ", ".join(names)))
    say("")
    elements_of = [lines_of[i] | branches_of[i] for i in range(len(results))]
    cover = greedy_cover(results, elements_of)
    say("greedy cover: %d of %d cases reach the same %d lines and %d branches:" % (
        len(cover), len(results), len(all_lines), len(all_branches)))
    for rank, (i, gain) in enumerate(cover, 1):
        say("  %3d. %-72s +%d lines +%d branches" % (
            rank, full_name(results[i]), sum(1 for k in gain if len(k) == 2),
            sum(1 for k in gain if len(k) == 3)))
    return "\n".join(out) + "\n"


def write_report(data, base):
    """The report of a run's data, into base.txt and printed."""
    text = report(data)
    with open(base + ".txt", "w") as f:
        f.write(text)
    sys.stdout.write(text)


# --- main --------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--filter", help='keep cases whose "program:Suite.Case" matches (re.search)')
    parser.add_argument("--no-build", action="store_true", help="do not build the trees first")
    parser.add_argument("--report-only", action="store_true", help="report the last run again")
    args = parser.parse_args()
    base = os.path.join(OUT, "cases-filtered" if args.filter else "cases")

    if args.report_only:
        write_report(json.load(open(base + ".json")), base)
        return 0

    if not os.environ.get(INNER):
        if not args.no_build:
            subprocess.run([os.path.join(SCRIPTS, "coverage-build.sh")], cwd=ROOT, check=True)
        # Again, on a virtual display with the input agent of the GUI rig.
        os.environ[INNER] = "1"
        argv = [os.path.join(SCRIPTS, "gui-run.sh"), sys.executable, os.path.abspath(__file__)]
        os.execv(argv[0], argv + sys.argv[1:])

    # The project's Wine prefix and its persistent server, as the suite has them.
    env = subprocess.run(["bash", "-c", 'source "$LUMO_ROOT/scripts/wine-env.sh" >/dev/null && env -0'],
                         env=dict(os.environ, LUMO_ROOT=ROOT), check=True, capture_output=True).stdout
    for item in env.split(b"\0"):
        if b"=" in item:
            key, value = item.decode().split("=", 1)
            os.environ[key] = value
    try:
        return run_all(args, base)
    finally:
        subprocess.run([os.environ["WINESERVER"], "-k"], capture_output=True)


def newest_build(tree_list):
    """When the trees were last built: the newest of their notes files."""
    return max((os.path.getmtime(os.path.join(folder, name))
                for tree in tree_list for folder, _, files in os.walk(tree)
                for name in files if name.endswith(".gcno")), default=0)


def sources_edited_since(when):
    """The library's sources changed after the time `when`."""
    edited = []
    for top in LIBRARY:
        for folder, _, files in os.walk(os.path.join(ROOT, top)):
            for name in files:
                path = os.path.join(folder, name)
                if os.path.getmtime(path) > when:
                    edited.append(os.path.relpath(path, ROOT))
    return sorted(edited)


def run_all(args, base):
    all_trees = [tree for _, tree in trees()]
    built = newest_build(all_trees)
    cases = []
    for kind, tree in trees():
        cases += list_cases(kind, tree)
    if args.filter:
        cases = [c for c in cases if re.search(args.filter, full_name(c))]
    os.makedirs(OUT, exist_ok=True)
    logdir = base + "-logs"
    shutil.rmtree(logdir, ignore_errors=True)
    os.makedirs(logdir)
    print("coverage-cases: %d cases" % len(cases), flush=True)
    started = time.monotonic()
    results = []
    everything = Counts()
    edited = {}
    with tempfile.TemporaryDirectory(prefix="lumo-cases.") as workdir:
        for n, case in enumerate(cases, 1):
            result, counts = run_case(case, all_trees, workdir, logdir)
            everything.add(counts)
            results.append(result)
            for path in sources_edited_since(built):
                edited.setdefault(path, n)
            print("[%3d/%d] %-72s %-7s %5.1f s + %4.1f s  %4d lines %4d branches" % (
                n, len(cases), full_name(case), result["status"], result["run_seconds"],
                result["count_seconds"], len(counts.covered_lines),
                len(counts.covered_branches - everything.throw)), flush=True)
    delete_counts(all_trees)
    if not os.listdir(logdir):
        os.rmdir(logdir)
    data = {"filter": args.filter, "seconds": round(time.monotonic() - started),
            "sources_edited": sorted(edited.items()),
            "instrumented_lines": len(everything.lines),
            "instrumented_branches": len(everything.branches),
            "throw_branches": group_by_file(everything.throw), "cases": results}
    with open(base + ".json", "w") as f:
        json.dump(data, f, indent=1)
    print()
    write_report(data, base)
    print("coverage-cases: %s.json and %s.txt" % (os.path.relpath(base, ROOT), os.path.relpath(base, ROOT)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
