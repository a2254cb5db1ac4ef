#!/usr/bin/env python3
"""Peer of the virtual serial line.

Maps COMn of a Wine prefix to the slave side of a pseudo-terminal and plays
the other end on the master side. Controlled over TCP on 127.0.0.1, one text
command per line, one reply line each ("OK ..." or "ERR ..."):

  LINK n                 new pty behind COMn            -> OK /dev/pts/K
  UNLINK n               remove COMn (absent port)      -> OK
  SEND n HEX             write bytes to the line        -> OK
  RECV n COUNT MS        read until COUNT bytes or MS   -> OK HEX
  DROP n                 close the pty (device lost)    -> OK
  TERMIOS n              line settings as seen by tty   -> OK baud=.. bits=.. stop=.. parity=..
  LIST                   COM links in the prefix        -> OK com3=/dev/pts/4,...
  QUIT                   end the peer                   -> OK

Usage: vserial_peer.py --prefix WINEPREFIX [--port-file F]
Prints "port <tcp port>" on stdout when ready.
"""
import argparse
import os
import pty
import select
import sys
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import line_server  # noqa: E402

BAUDS = {getattr(termios, n): int(n[1:]) for n in dir(termios)
         if n.startswith("B") and n[1:].isdigit()}


class Line:
    def __init__(self, master, slave, path):
        self.master, self.slave, self.path = master, slave, path


class Peer:
    def __init__(self, prefix):
        self.dosdevices = os.path.join(prefix, "dosdevices")
        self.lines = {}
        self.lock = threading.Lock()
        self.quit = threading.Event()

    def link_path(self, n):
        return os.path.join(self.dosdevices, "com%d" % n)

    def remove_link(self, n):
        try:
            os.unlink(self.link_path(n))
        except FileNotFoundError:
            pass

    def close_line(self, n):
        line = self.lines.pop(n, None)
        if line:
            for fd in (line.master, line.slave):
                try:
                    os.close(fd)
                except OSError:
                    pass

    def cmd_link(self, n):
        self.close_line(n)
        master, slave = pty.openpty()
        tty.setraw(slave)
        path = os.ttyname(slave)
        os.set_blocking(master, False)
        self.remove_link(n)
        os.makedirs(self.dosdevices, exist_ok=True)
        os.symlink(path, self.link_path(n))
        self.lines[n] = Line(master, slave, path)
        return path

    def cmd_unlink(self, n):
        self.close_line(n)
        self.remove_link(n)
        return ""

    def line(self, n):
        if n not in self.lines:
            raise ValueError("COM%d not linked" % n)
        return self.lines[n]

    def cmd_send(self, n, data):
        fd = self.line(n).master
        view = memoryview(data)
        while view:
            try:
                k = os.write(fd, view)
                view = view[k:]
            except BlockingIOError:
                select.select([], [fd], [], 0.05)
        return ""

    def cmd_recv(self, n, count, ms):
        fd = self.line(n).master
        deadline = time.monotonic() + ms / 1000.0
        got = bytearray()
        while len(got) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            r, _, _ = select.select([fd], [], [], left)
            if not r:
                break
            try:
                got += os.read(fd, count - len(got))
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:  # EIO: nobody holds the slave
                time.sleep(0.005)
        return got.hex()

    def cmd_drop(self, n):
        self.close_line(n)
        return ""

    def cmd_termios(self, n):
        attrs = termios.tcgetattr(self.line(n).slave)
        cflag = attrs[2]
        bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
        parity = "none"
        if cflag & termios.PARENB:
            parity = "odd" if cflag & termios.PARODD else "even"
        return "baud=%s bits=%d stop=%d parity=%s" % (
            BAUDS.get(attrs[5], attrs[5]), bits, 2 if cflag & termios.CSTOPB else 1, parity)

    def cmd_list(self):
        out = []
        try:
            names = sorted(os.listdir(self.dosdevices))
        except FileNotFoundError:
            names = []
        for name in names:
            if name.startswith("com"):
                out.append("%s=%s" % (name, os.readlink(self.link_path(int(name[3:])))))
        return ",".join(out)

    def handle(self, words):
        op = words[0].upper()
        num = [int(w) for w in words[1:] if w.isdigit()]
        with self.lock:
            if op == "LINK":
                return self.cmd_link(num[0])
            if op == "UNLINK":
                return self.cmd_unlink(num[0])
            if op == "DROP":
                return self.cmd_drop(num[0])
            if op == "TERMIOS":
                return self.cmd_termios(num[0])
            if op == "LIST":
                return self.cmd_list()
            if op == "SEND":
                return self.cmd_send(int(words[1]), bytes.fromhex(words[2] if len(words) > 2 else ""))
        if op == "RECV":  # without the lock: it waits
            return self.cmd_recv(int(words[1]), int(words[2]), int(words[3]))
        if op == "QUIT":
            self.quit.set()
            return ""
        raise ValueError("unknown command " + op)

    def answer(self, line):
        try:
            return "OK " + self.handle(line.split())
        except Exception as e:  # reported to the client, the peer goes on
            return "ERR %s" % e

    def serve_client(self, conn):
        line_server.answer_lines(conn, self.answer, self.quit.is_set)

    def cleanup(self):
        with self.lock:
            for n in list(self.lines):
                self.close_line(n)
                self.remove_link(n)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--port-file")
    args = ap.parse_args()
    peer = Peer(args.prefix)
    try:
        line_server.serve(peer.serve_client, args.port_file, lambda: not peer.quit.is_set())
    finally:
        peer.cleanup()
    return 0


if __name__ == "__main__":
    import signal
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    sys.exit(main())
