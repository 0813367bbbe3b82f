"""The listening side shared by the stand-in peers: a loopback listener and
the one accept loop."""

import socket
import threading


def listen(backlog=64):
    """A listener on 127.0.0.1 on a free port."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(backlog)
    return sock


def accept_loop(listener, serve):
    """Accepts until the listener is closed; each connection, with Nagle off,
    goes to serve(sock) on a thread of its own."""
    while True:
        try:
            sock, _ = listener.accept()
        except OSError:
            return
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=serve, args=(sock,), daemon=True).start()


def start_accepting(listener, serve):
    """accept_loop on a thread of its own."""
    threading.Thread(target=accept_loop, args=(listener, serve), daemon=True).start()
