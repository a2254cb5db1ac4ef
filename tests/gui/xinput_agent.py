#!/usr/bin/env python3
"""Input agent of the GUI test rig.

Windows programs under Wine cannot run X tools themselves; they ask this agent,
which runs on the X display the rig started. It takes commands over TCP on
127.0.0.1, one command per line, and answers each with one line,
"ok [output]" or "err message":

  ping                        -> ok
  xdotool ARGS...             run /usr/bin/xdotool with ARGS split like a shell
                              would; -> ok <its stdout on one line>
  shot PATH [WINDOW-NAME]     screenshot of the whole screen, or of the first
                              window whose name matches WINDOW-NAME (a regular
                              expression, as xdotool search --name takes it)
                              -> ok PATH
  shot PATH WxH+X+Y           screenshot of that rectangle of the screen
  quit                        end the agent -> ok

Every command is bounded by --timeout seconds (default 10). The agent ends
when its parent process ends.

Usage: xinput_agent.py [--port-file F] [--timeout S]
Prints "port <tcp port>" on stdout when ready.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import line_server  # noqa: E402

XDOTOOL = "/usr/bin/xdotool"


class CommandError(Exception):
    pass


def one_line(text):
    return " ".join(text.split())


class Agent:
    def __init__(self, timeout):
        self.timeout = timeout
        self.quit = threading.Event()

    def run(self, argv):
        try:
            done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=self.timeout)
        except subprocess.TimeoutExpired:
            raise CommandError("timeout after %g s: %s" % (self.timeout, " ".join(argv)))
        except OSError as e:
            raise CommandError("cannot run %s: %s" % (argv[0], e.strerror))
        out = done.stdout.decode("utf-8", "replace")
        if done.returncode != 0:
            err = one_line(done.stderr.decode("utf-8", "replace")) or one_line(out)
            raise CommandError("%s exit %d%s" % (os.path.basename(argv[0]), done.returncode,
                                                  ": " + err if err else ""))
        return one_line(out)

    def cmd_xdotool(self, args):
        if not args:
            raise CommandError("xdotool needs arguments")
        return self.run([XDOTOOL] + args)

    def cmd_shot(self, args):
        if not args:
            raise CommandError("shot needs a file path")
        path, name = args[0], " ".join(args[1:])
        window = "root"
        if re.fullmatch(r"\d+x\d+\+\d+\+\d+", name):
            # A screen rectangle WxH+X+Y, as a Windows program sees its window.
            self.run(["import", "-window", "root", "-crop", name, "+repage", path])
            return path
        if name:
            try:
                found = self.run([XDOTOOL, "search", "--onlyvisible", "--name", name]).split()
            except CommandError:
                found = []  # xdotool search fails when nothing matches
            if not found:
                raise CommandError("no visible window named %s" % name)
            window = found[0]
        self.run(["import", "-window", window, path])
        return path

    def handle(self, line):
        try:
            words = shlex.split(line)
        except ValueError as e:
            raise CommandError("cannot split the line: %s" % e)
        if not words:
            raise CommandError("empty command")
        op, args = words[0].lower(), words[1:]
        if op == "ping":
            return ""
        if op == "xdotool":
            return self.cmd_xdotool(args)
        if op == "shot":
            return self.cmd_shot(args)
        if op == "quit":
            self.quit.set()
            return ""
        raise CommandError("unknown command %s" % op)

    def answer(self, line):
        try:
            return "ok " + self.handle(line)
        except CommandError as e:
            return "err %s" % one_line(str(e))
        except Exception as e:  # reported to the client, the agent goes on
            return "err %s: %s" % (type(e).__name__, one_line(str(e)))

    def serve_client(self, conn):
        line_server.answer_lines(conn, self.answer, self.quit.is_set)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file")
    ap.add_argument("--timeout", type=float, default=10.0)
    args = ap.parse_args()
    agent = Agent(args.timeout)
    parent = os.getppid()
    # The parent check runs with the accept timeout: an orphaned agent (its
    # rig killed without cleanup) ends within a fraction of a second.
    line_server.serve(agent.serve_client, args.port_file,
                      lambda: not agent.quit.is_set() and os.getppid() == parent)
    return 0


if __name__ == "__main__":
    import signal
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sys.exit(main())
