#!/usr/bin/python3
"""The download server of the runtime installer window tests.

    dotnet_installer_server.py INSTALLER_FILE --exec PROGRAM [ARGS...]

The HTTP scenario server (tests/support/http_scenario_server.py: same
listeners, scenarios and ZAV_HTTP_SCENARIOS state folder) with three more
paths:
    /installer          INSTALLER_FILE, Content-Length, 64 KiB pieces
    /installer-damaged  the same length with one byte in the middle changed
    /installer-chunked  INSTALLER_FILE chunked, so no total is announced
Every request's path is appended to STATE_DIR/requests, one a line.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import http_scenario_server as scenario  # noqa: E402

installer = b""
original_serve = scenario.serve


class Replay:
    """A connection whose request was read already: gives it back once."""

    def __init__(self, conn, request):
        self.conn, self.pending = conn, request

    def recv(self, size):
        if self.pending:
            piece, self.pending = self.pending[:size], self.pending[size:]
            return piece
        return self.conn.recv(size)

    def sendall(self, data):
        self.conn.sendall(data)


def send_in_pieces(conn, head, body):
    conn.sendall(head)
    for i in range(0, len(body), 65536):
        conn.sendall(body[i:i + 65536])


def serve(conn):
    request = scenario.read_request(conn)
    try:
        path = request.split(b" ", 2)[1].decode("latin-1").partition("?")[0]
    except IndexError:
        path = ""
    with scenario.state_lock:
        with open(os.path.join(scenario.state_folder, "requests"), "a") as log:
            log.write(path + "\n")
    if path == "/installer":
        send_in_pieces(conn, scenario.response("200 OK", [("Content-Length", len(installer))]), installer)
    elif path == "/installer-damaged":
        middle = len(installer) // 2
        damaged = installer[:middle] + bytes([installer[middle] ^ 0x01]) + installer[middle + 1:]
        send_in_pieces(conn, scenario.response("200 OK", [("Content-Length", len(damaged))]), damaged)
    elif path == "/installer-chunked":
        conn.sendall(scenario.response("200 OK", [("Transfer-Encoding", "chunked")],
                                       scenario.chunked(installer, 8)))
    else:
        original_serve(Replay(conn, request))


if __name__ == "__main__":
    with open(sys.argv[1], "rb") as source:
        installer = source.read()
    scenario.serve = serve
    sys.argv = sys.argv[:1] + sys.argv[2:]
    scenario.main()
