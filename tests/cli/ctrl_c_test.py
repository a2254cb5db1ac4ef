#!/usr/bin/env python3
"""Ctrl-C in a terminal ends `lumo-cli poll` with its summary.

Runs scripts/sim-run.sh lumo-cli.exe poll ... on a pseudo-terminal (so that
Wine gives the program a console on it), types Ctrl-C once a few readings are
out, and expects the JSON summary with "interrupted":true soon after, at
most the reading under way after the key, and exit status 0: every reading
found its reply (Wine passes the key on to its process group as SIGINT;
sim-run.sh keeps lumo-sim out of that group).
Usage: ctrl_c_test.py path/to/lumo-cli.exe
"""
import os
import pty
import re
import select
import sys
import time

root = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
exe = sys.argv[1]
com = os.environ.get("LUMO_SIM_COM", "8")
args = [os.path.join(root, "scripts", "sim-run.sh"), exe, "poll", "--com", com, "--ch", "0",
        "--interval", "100ms", "--format", "json"]


def text(raw):
    """The terminal output without Wine's cursor and colour sequences."""
    return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", raw.decode("utf-8", "replace"))


# The terminal is the program's standard input and output but no process's
# controlling terminal: Ctrl-C reaches Wine as a typed character, not as a
# SIGINT to every process of the group (sim-run.sh and lumo-sim too).
fd, slave = pty.openpty()
pid = os.fork()
if pid == 0:
    os.setsid()
    for n in (0, 1, 2):
        os.dup2(slave, n)
    os.execv(args[0], args)
os.close(slave)

out = b""
deadline = time.monotonic() + 60
sent_at = None
status = None
while time.monotonic() < deadline:
    ready, _, _ = select.select([fd], [], [], 0.1)
    if ready:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            chunk = b""
        out += chunk
    if sent_at is None and text(out).count('"type":"reading"') >= 3:
        os.write(fd, b"\x03")
        sent_at = time.monotonic()
        readings_before = text(out).count('"type":"reading"')
    done, st = os.waitpid(pid, os.WNOHANG)
    if done:
        status = os.WEXITSTATUS(st) if os.WIFEXITED(st) else -1
        break
if status is None:
    os.kill(pid, 9)
    os.waitpid(pid, 0)

output = text(out)
failures = []
if sent_at is None:
    failures.append("no readings to interrupt")
else:
    if status != 0:
        failures.append("exit status %s, expected 0" % status)
    if time.monotonic() - sent_at > 20:
        failures.append("still running %.1f s after Ctrl-C" % (time.monotonic() - sent_at))
    after = output.count('"type":"reading"') - readings_before
    if after > 1:
        failures.append("%d readings after Ctrl-C" % after)
    if '"interrupted":true}' not in output.replace("\r", "").replace("\n", ""):
        failures.append("no summary with \"interrupted\":true")
for f in failures:
    print("FAIL " + f)
if failures:
    print(output[-2000:])
    sys.exit(1)
print("ok   Ctrl-C ended the poll with its summary, %.1f s after the key" % (time.monotonic() - sent_at))
