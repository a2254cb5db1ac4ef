#!/usr/bin/env python3
"""Input agent of the GUI test rig.

Windows programs under Wine cannot run X tools themselves; they ask this agent,
which runs on the X display the rig started. It takes commands over TCP on
127.0.0.1, one command per line, and answers each with one line,
"ok [output]" or "err message":

  ping                        -> ok
  xdotool ARGS...             run /usr/bin/xdotool with ARGS split like a shell
                              would; -> ok <its stdout on one line>
  quit                        end the agent -> ok

Every command is bounded by --timeout seconds (default 10). The agent ends
when its parent process ends.

Usage: xinput_agent.py [--port-file F] [--timeout S]
Prints "port <tcp port>" on stdout when ready.
"""
import argparse
import os
import shlex
import socket
import subprocess
import sys
import threading

XDOTOOL = "/usr/bin/xdotool"


class CommandError(Exception):
    pass


def one_line(text):
    return " ".join(text.split())


class Agent:
    def __init__(self, timeout):
        self.timeout = timeout
        self.quit = threading.Event()

    def xdotool(self, args):
        if not args:
            raise CommandError("xdotool needs arguments")
        try:
            done = subprocess.run([XDOTOOL] + args, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=self.timeout)
        except subprocess.TimeoutExpired:
            raise CommandError("timeout after %g s: xdotool %s" % (self.timeout, " ".join(args)))
        except OSError as e:
            raise CommandError("cannot run xdotool: %s" % e.strerror)
        out = done.stdout.decode("utf-8", "replace")
        if done.returncode != 0:
            err = one_line(done.stderr.decode("utf-8", "replace")) or one_line(out)
            raise CommandError("xdotool exit %d%s" % (done.returncode, ": " + err if err else ""))
        return one_line(out)

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
            return self.xdotool(args)
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
        """Answers each non-blank line until the client goes or "quit"."""
        with conn, conn.makefile("rwb", buffering=0) as f:
            for raw in f:
                line = raw.decode("utf-8", "replace").strip()
                if not line:
                    continue
                f.write(self.answer(line).rstrip().encode("utf-8") + b"\n")
                if self.quit.is_set():
                    break


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file")
    ap.add_argument("--timeout", type=float, default=10.0)
    args = ap.parse_args()
    agent = Agent(args.timeout)
    parent = os.getppid()
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    srv.settimeout(0.2)
    port = srv.getsockname()[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    print("port %d" % port, flush=True)
    # The parent check runs with the accept timeout: an orphaned agent (its
    # rig killed without cleanup) ends within a fraction of a second.
    try:
        while not agent.quit.is_set() and os.getppid() == parent:
            try:
                conn, _ = srv.accept()
            except socket.timeout:
                continue
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=agent.serve_client, args=(conn,), daemon=True).start()
    except KeyboardInterrupt:
        pass
    finally:
        srv.close()
    return 0


if __name__ == "__main__":
    import signal
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sys.exit(main())
