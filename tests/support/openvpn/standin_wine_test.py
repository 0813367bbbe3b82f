#!/usr/bin/python3
"""The stand-in OpenVPN.exe under Wine against the bridge's scripted mode:
run by bridge.py --exec, with the stand-in's path as the first argument.
The test holds the client's management listener on loopback."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import frames  # noqa: E402

STANDIN = None
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools", "wine-run.sh")
ALL_BYTES = bytes(range(256))
# A line of each end kind, to be cut at every byte.
LINES = b">HOLD:Waiting for hold release:0\r\n>LOG:1,I,x\n\r\n"


def pieces_at_every_byte(data):
    return [chr(b) for b in data]


class Installation:
    """bin\\OpenVPN.exe with bridge-port.txt beside it, and a config file."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="zav-standin-")
        os.makedirs(os.path.join(self.folder, "bin"))
        self.exe = os.path.join(self.folder, "bin", "OpenVPN.exe")
        shutil.copy(STANDIN, self.exe)
        self.config = os.path.join(self.folder, "config.ovpn")

    def place(self, bridge_port=None, config=b""):
        if bridge_port is not None:
            with open(os.path.join(self.folder, "bin", "bridge-port.txt"), "w") as out:
                out.write("%d\n" % bridge_port)
        with open(self.config, "wb") as out:
            out.write(config)

    def start(self, args=None):
        if args is None:
            args = ["--config", "Z:" + self.config.replace("/", "\\")]
        # A session of its own, so a time-out ends wine with the wrapper.
        return subprocess.Popen(["bash", WINE_RUN, self.exe] + args, stdin=subprocess.DEVNULL,
                                start_new_session=True)

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def wait(process, seconds=60):
    try:
        return process.wait(seconds)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()
        return None


def listener():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(8)
    sock.settimeout(30)
    return sock


def config_for(port):
    # Bytes a text reader would get wrong: CR LF, a lone CR, non-ASCII, NUL.
    return (b"client\r\nverb 3\rx\n\xe9\xff\x00\n"
            b"management 127.0.0.1 %d\nproto udp\ndev-node {0F0E0D0C-0B0A-0908-0706-050403020100}" % port)


def read_exactly(sock, count, seconds=30):
    sock.settimeout(seconds)
    data = b""
    while len(data) < count:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


class StandInTest(unittest.TestCase):
    def setUp(self):
        self.installation = Installation()
        self.addCleanup(self.installation.remove)
        self.listener = listener()
        self.addCleanup(self.listener.close)
        self.port = self.listener.getsockname()[1]

    def session(self, steps, linger_ms=20000):
        control, port, _ = frames.open_session("script", {"steps": steps, "lingerMs": linger_ms})
        self.addCleanup(control.close)
        self.installation.place(port, config_for(self.port))
        return control

    def test_relays_both_ways_byte_for_byte_and_exits_with_the_asked_code(self):
        client_bytes = ALL_BYTES + LINES
        long_line = b"x" * (1 << 20) + b"\r\n"  # longer than the client takes
        sent = ALL_BYTES + long_line + LINES * 2
        control = self.session([
            {"connect": 1},
            {"send": ALL_BYTES.decode("latin-1")},
            {"send": "x", "repeat": 1 << 20}, {"send": "\r\n"},
            {"send": LINES.decode("latin-1")},
            {"send": pieces_at_every_byte(LINES), "gapMs": 5},
            {"expect": client_bytes.decode("latin-1")},
            {"exit": 5}])
        process = self.installation.start()
        connection, _ = self.listener.accept()
        self.addCleanup(connection.close)
        self.assertEqual(read_exactly(connection, len(sent)), sent)
        # The client's side written in pieces too: the record must join them.
        for piece in (ALL_BYTES, LINES[:1], LINES[1:7], LINES[7:]):
            connection.sendall(piece)
            time.sleep(0.02)
        self.assertEqual(wait(process), 5)
        record = frames.read_record(control)
        self.assertEqual(record["errors"], [])
        self.assertEqual(record["written"], {1: client_bytes})
        self.assertEqual(record["config"], config_for(self.port))
        self.assertIn(b"--config", record["args"])
        self.assertEqual(record["events"][0], "connected 1")
        # The stand-in's own process made the connection (the client checks
        # the owner of its port): the process id it reports is its own.
        self.assertGreater(record["pid"], 0)

    def test_no_connect_back(self):
        control = self.session([{"sleep": 1500}, {"exit": 0}])
        process = self.installation.start()
        self.assertEqual(wait(process), 0)
        self.listener.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            self.listener.accept()
        record = frames.read_record(control)
        self.assertEqual((record["written"], record["events"], record["errors"]), ({}, [], []))

    def test_second_connection_and_closes_from_either_side(self):
        control = self.session([
            {"connect": 1}, {"connect": 2},
            {"send": "one", "to": 1}, {"send": "two", "to": 2},
            {"close": 2},
            {"expectClosed": 1},
            {"code": 4}], linger_ms=0)
        process = self.installation.start()
        first, _ = self.listener.accept()
        second, _ = self.listener.accept()
        self.assertEqual(read_exactly(first, 3), b"one")
        self.assertEqual(read_exactly(second, 10), b"two")  # then closed by the stand-in
        first.close()
        second.close()
        # The bridge let go after the last step: the asked code.
        self.assertEqual(wait(process), 4)
        record = frames.read_record(control)
        self.assertEqual(record["errors"], [])
        self.assertEqual(record["events"], ["connected 1", "connected 2", "closed 1"])

    def test_a_refused_connect_is_reported(self):
        self.listener.close()
        control = self.session([{"connect": 1}, {"exit": 0}])
        self.assertEqual(wait(self.installation.start()), 0)
        record = frames.read_record(control)
        self.assertEqual((record["events"], record["errors"]), (["refused 1"], []), record)

    def test_exit_codes_of_its_own(self):
        dead = socket.socket()
        dead.bind(("127.0.0.1", 0))
        dead_port = dead.getsockname()[1]
        dead.close()
        cases = [
            ("no config argument", None, [], 90),
            ("config unreadable", 1, ["--config", "Z:\\nowhere\\config.ovpn"], 90),
            ("no bridge-port.txt", None, None, 91),
            ("bridge unreachable", dead_port, None, 92),
        ]
        for name, bridge_port, args, code in cases:
            with self.subTest(name):
                installation = Installation()
                self.addCleanup(installation.remove)
                installation.place(bridge_port, config_for(self.port))
                self.assertEqual(wait(installation.start(args)), code)

    def test_a_second_standin_on_a_session_is_refused(self):
        control = self.session([{"connect": 1}, {"sleep": 60000}], linger_ms=0)
        first = self.installation.start()
        self.addCleanup(wait, first)
        connection, _ = self.listener.accept()  # the first one holds the session
        self.addCleanup(connection.close)
        self.assertEqual(wait(self.installation.start()), 93)
        control.close()  # ends the session: the first one exits too
        self.assertEqual(wait(first), 0)

if __name__ == "__main__":
    STANDIN = sys.argv.pop(1)
    unittest.main(verbosity=2)
