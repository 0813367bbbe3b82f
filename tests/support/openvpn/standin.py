"""The stand-in OpenVPN.exe's part played in Python, for native tests that hold
the client's side themselves: the same frames to the bridge (frames.py), the
same answers to the bridge's requests (see OpenVpnStandIn.cpp)."""

import re
import select
import socket
import threading

import frames


class StandIn:
    """Runs on a thread of its own from start(); exit_code once it ended."""

    def __init__(self, bridge_port, config, args="OpenVPN.exe --config config.ovpn"):
        self.bridge_port = bridge_port
        self.config = config
        self.args = args
        self.exit_code = None
        self.done = threading.Event()

    def start(self):
        threading.Thread(target=self._run, daemon=True).start()
        return self

    def wait(self, timeout):
        return self.exit_code if self.done.wait(timeout) else None

    def _run(self):
        try:
            self.exit_code = self._serve()
        finally:
            self.done.set()

    def _serve(self):
        match = re.search(rb"^management 127\.0\.0\.1 (\d+)", self.config, re.M)
        port = int(match.group(1)) if match else 0
        try:
            bridge = socket.create_connection(("127.0.0.1", self.bridge_port), timeout=5)
        except OSError:
            return 92
        bridge.settimeout(None)
        link = frames.FrameSocket(bridge)
        link.send("pid", 1)
        link.send("args", 0, self.args.encode())
        link.send("config", 0, self.config)
        connections = {}
        self.code = 0
        try:
            while True:
                readable, _, _ = select.select([bridge] + list(connections.values()), [], [], 1)
                for sock in readable:
                    if sock is bridge:
                        result = self._handle(link, connections, port)
                        if result is not None:
                            return self.code if result == "eof" else result
                        continue
                    number = next(n for n, s in connections.items() if s is sock)
                    try:
                        data = sock.recv(65536)
                    except OSError:
                        data = b""
                    if data:
                        link.send("data", number, data)
                    else:
                        sock.close()
                        del connections[number]
                        link.send("closed", number)
        finally:
            for sock in connections.values():
                sock.close()
            bridge.close()

    def _handle(self, link, connections, port):
        # One frame at a time: select() only sees what is not yet buffered,
        # so read every frame already in the buffer.
        while True:
            frame = link.read()
            if frame is None:
                return "eof"
            word, number, payload = frame
            if word == "exit":
                return number
            if word == "fail":
                return 93
            if word == "code":
                self.code = number
            elif word == "connect":
                try:
                    sock = socket.create_connection(("127.0.0.1", port), timeout=5)
                    sock.settimeout(None)
                    connections[number] = sock
                    link.send("connected", number)
                except OSError:
                    link.send("refused", number)
            elif word == "data" and number in connections:
                try:
                    connections[number].sendall(payload)
                except OSError:
                    pass
            elif word == "close" and number in connections:
                connections.pop(number).close()
            if not link._input:
                return None
