"""The TCP side of the test peers (virtual serial line, input agent): a line
server on 127.0.0.1 with one thread per client."""
import os
import socket
import threading


def answer_lines(conn, answer, done):
    """Answers each non-blank line read from conn with answer(line), one line
    back, until the client goes or done() holds after an answer."""
    with conn, conn.makefile("rwb", buffering=0) as f:
        for raw in f:
            line = raw.decode("utf-8", "replace").strip()
            if not line:
                continue
            f.write(answer(line).rstrip().encode("utf-8") + b"\n")
            if done():
                break


def serve(serve_client, port_file, keep_going):
    """Listens on a free port, writes it to port_file (atomically, when given)
    and prints "port N"; hands each connection to serve_client on a thread of
    its own while keep_going() holds, which is asked every 0.2 s."""
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(8)
    srv.settimeout(0.2)
    port = srv.getsockname()[1]
    if port_file:
        with open(port_file + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(port_file + ".tmp", port_file)
    print("port %d" % port, flush=True)
    try:
        while keep_going():
            try:
                conn, _ = srv.accept()
            except socket.timeout:
                continue
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=serve_client, args=(conn,), daemon=True).start()
    except KeyboardInterrupt:
        pass
    finally:
        srv.close()
