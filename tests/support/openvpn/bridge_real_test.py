#!/usr/bin/python3
"""The bridge's real mode: Debian's openvpn as the client and a real openvpn
server, with this test holding the client's side (its management listener
and the lines it writes) and standin.py playing the stand-in OpenVPN.exe.
Run by bridge.py --exec; needs root (the bridge's network namespace)."""

import ipaddress
import os
import re
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import frames  # noqa: E402
import standin  # noqa: E402

GUID = "{4A1B2C3D-0000-4E5F-8A9B-0C1D2E3F4A5B}"
HOLD_RELEASE = b"echo on\r\nlog on\r\nbytecount 1\r\nhold release\r\n"
NETWORKS = {"udp": "10.77.8.0/24", "tcp": "10.77.9.0/24"}


def credentials(password):
    return b'username "Auth" "u"\r\npassword "Auth" "%s"\r\n' % password


class Dialogue:
    """One OpenVPN start held as the client holds it."""

    def __init__(self, proto, password):
        self.control, port, text = frames.open_session("real", {})
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.listener.settimeout(30)
        config = text + (b"remote 192.0.2.1 1194\nmanagement 127.0.0.1 %d\nproto %s\ndev-node %s\n" %
                         (self.listener.getsockname()[1], proto.encode(), GUID.encode()))
        self.standin = standin.StandIn(port, config).start()
        self.connection, _ = self.listener.accept()
        self.password = password
        self.lines = []
        self.closed = False

    def run(self, until, seconds=40):
        """Reads lines, answering the hold and the password query, until
        until(lines) or the end of the stream."""
        deadline = time.monotonic() + seconds
        pending = b""
        while not until(self.lines) and time.monotonic() < deadline:
            self.connection.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                chunk = self.connection.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                self.closed = True
                break
            pending += chunk
            *complete, pending = pending.split(b"\r\n")
            for line in complete:
                self.lines.append(line)
                if line.startswith(b">HOLD:"):
                    self.connection.sendall(HOLD_RELEASE)
                elif line == b">PASSWORD:Need 'Auth' username/password":
                    self.connection.sendall(credentials(self.password))

    def end(self):
        self.connection.close()
        self.listener.close()
        code = self.standin.wait(30)
        return code, frames.read_record(self.control)


def index_of(lines, pattern):
    return next((i for i, line in enumerate(lines) if re.search(pattern, line)), -1)


class RealBridgeTest(unittest.TestCase):
    def test_good_password_reaches_completion_with_the_dhcp_notice_and_byte_counts(self):
        for proto in ("udp", "tcp"):
            with self.subTest(proto):
                dialogue = Dialogue(proto, b"p")
                completed = rb"^>LOG:\d+,[^,]*,Initialization Sequence Completed$"
                dialogue.run(lambda lines: index_of(lines, completed) >= 0 and
                             index_of(lines[index_of(lines, completed):], rb"^>BYTECOUNT:") >= 0)
                lines = dialogue.lines
                done = index_of(lines, completed)
                self.assertGreater(done, 0, lines)
                notice = re.match(rb">LOG:\d+,[^,]*,Notified TAP-Windows driver to set a DHCP IP/netmask of "
                                  rb"([\d.]+)/([\d.]+) on interface (\S+) \[DHCP-serv: ([\d.]+), "
                                  rb"lease-time: (\d+)\]$", lines[done - 1])
                self.assertIsNotNone(notice, lines[done - 1])
                self.assertEqual(1, sum(b"Notified TAP-Windows" in line for line in lines))
                address, mask, guid, server = (notice.group(i).decode() for i in (1, 2, 3, 4))
                # The address OpenVPN was pushed, in the server's network.
                pushed = re.search(r"ifconfig ([\d.]+) ([\d.]+)", b"\n".join(lines).decode(errors="replace"))
                self.assertEqual((address, mask), pushed.groups())
                self.assertIn(ipaddress.IPv4Address(address), ipaddress.IPv4Network(NETWORKS[proto]))
                self.assertIn(ipaddress.IPv4Address(server), ipaddress.IPv4Network(NETWORKS[proto]))
                self.assertEqual(guid, GUID)
                counts = [line for line in lines[done:] if line.startswith(b">BYTECOUNT:")]
                self.assertRegex(counts[0], rb"^>BYTECOUNT:\d+,\d+$")
                self.assertFalse(dialogue.closed)

                code, record = dialogue.end()
                self.assertEqual(code, 0)
                self.assertEqual(record["errors"], [])
                # What the client wrote reached OpenVPN as written, and nothing else did.
                self.assertEqual(record["written"], {1: HOLD_RELEASE + credentials(b"p")})
                self.assertEqual(record["events"][:2], ["connected 1", "closed 1"])
                self.assertRegex(record["events"][2], r"^openvpn-exit -?\d+$")

    def test_wrong_password_fails_verification_and_openvpn_exits(self):
        for proto in ("udp", "tcp"):
            with self.subTest(proto):
                dialogue = Dialogue(proto, b"not-p")
                dialogue.run(lambda lines: False)
                self.assertTrue(dialogue.closed, dialogue.lines)
                self.assertIn(b">PASSWORD:Verification Failed: 'Auth'", dialogue.lines)
                self.assertEqual(index_of(dialogue.lines, rb"Initialization Sequence Completed|Notified TAP"), -1)
                code, record = dialogue.end()
                self.assertEqual(record["errors"], [])
                self.assertEqual(record["written"], {1: HOLD_RELEASE + credentials(b"not-p")})
                # The stand-in ends as OpenVPN ended, by itself and with its code.
                self.assertEqual(record["events"], ["connected 1", "openvpn-exit %d" % code])

    def test_no_openvpn_outlives_its_session(self):
        dialogue = Dialogue("udp", b"p")
        dialogue.run(lambda lines: any(line.startswith(b">PASSWORD:") for line in lines))
        dialogue.end()
        namespace = next(n for n in subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE,
                                                  text=True).stdout.split() if n == "zavovpn-%d" % os.getppid())
        pids = subprocess.run(["ip", "netns", "pids", namespace], stdout=subprocess.PIPE,
                              text=True).stdout.split()
        self.assertEqual(len(pids), 2, "only the udp and tcp servers")


if __name__ == "__main__":
    if os.getuid() != 0:
        print("needs root for a network namespace: skipped")
        sys.exit(77)
    unittest.main(verbosity=2)
