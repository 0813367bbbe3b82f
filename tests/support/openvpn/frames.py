"""The frames the OpenVPN test peers speak: "<word> <number> <length>\\n"
followed by <length> bytes. The stand-in OpenVPN.exe, the bridge's session
port and its control port all use them (see OpenVpnStandIn.cpp, bridge.py)."""

import socket
import threading

MAX_HEADER = 200


def encode(word, number=0, payload=b""):
    if isinstance(payload, str):
        payload = payload.encode("latin-1")
    return b"%s %d %d\n" % (word.encode("ascii"), number, len(payload)) + payload


class FrameSocket:
    """A socket read and written in frames; writes may come from any thread."""

    def __init__(self, sock):
        self.sock = sock
        self._input = b""
        self._lock = threading.Lock()

    def send(self, word, number=0, payload=b""):
        data = encode(word, number, payload)
        with self._lock:
            try:
                self.sock.sendall(data)
                return True
            except OSError:
                return False

    def read(self, timeout=None):
        """The next (word, number, payload); None at the end of the stream or
        on a broken frame; raises socket.timeout when nothing came in time."""
        self.sock.settimeout(timeout)
        while True:
            end = self._input.find(b"\n")
            if end >= 0:
                parts = self._input[:end].split(b" ")
                if len(parts) != 3 or not parts[1].isdigit() or not parts[2].isdigit():
                    return None
                length = int(parts[2])
                if len(self._input) >= end + 1 + length:
                    payload = self._input[end + 1:end + 1 + length]
                    self._input = self._input[end + 1 + length:]
                    return parts[0].decode("ascii", "replace"), int(parts[1]), payload
            elif len(self._input) > MAX_HEADER:
                return None
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                raise
            except OSError:
                return None
            if not chunk:
                return None
            self._input += chunk

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def open_session(kind, options, control_port=None, timeout=60):
    """A bridge session ("script" or "real"): (control, port, text), text being
    the server's configuration text of a real session, else None."""
    import json
    import os
    port = control_port or int(os.environ["ZAV_OVPN_BRIDGE"])
    control = FrameSocket(socket.create_connection(("127.0.0.1", port), timeout=10))
    control.send(kind, 0, json.dumps(options).encode("latin-1"))
    frame = control.read(timeout)
    if frame is None or frame[0] != "port":
        control.close()
        raise RuntimeError("the bridge refused the session: %r" % (frame,))
    text = None
    if kind == "real":
        text = control.read(timeout)[2]
    return control, frame[1], text


def read_record(control, timeout=120):
    """The session's record once it ended: {"pid", "args", "config",
    "adapted", "written": {c: bytes}, "events": [str], "errors": [str]}."""
    record = {"written": {}, "events": [], "errors": []}
    while True:
        frame = control.read(timeout)
        if frame is None or frame[0] == "end":
            control.close()
            return record
        word, number, payload = frame
        if word == "pid":
            record["pid"] = number
        elif word == "written":
            record["written"][number] = payload
        elif word == "event":
            record["events"].append(payload.decode())
        elif word == "error":
            record["errors"].append(payload.decode(errors="replace"))
        else:
            record[word] = payload
