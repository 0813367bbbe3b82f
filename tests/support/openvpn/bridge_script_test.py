#!/usr/bin/python3
"""The bridge's scripted mode reports what went wrong, so a tunnel test that
leans on a script never passes on a step that did not happen. Run by
bridge.py --exec, with standin.py as the stand-in."""

import os
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import frames  # noqa: E402
import standin  # noqa: E402


class ScriptTest(unittest.TestCase):
    def play(self, steps, client, release=False):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(2)
        listener.settimeout(10)
        self.addCleanup(listener.close)
        control, port, _ = frames.open_session("script", {"steps": steps, "lingerMs": 0})
        config = b"management 127.0.0.1 %d\n" % listener.getsockname()[1]
        stand_in = standin.StandIn(port, config).start()
        if release:
            control.send("release")
        connection, _ = listener.accept()
        client(connection)
        code = stand_in.wait(20)
        connection.close()
        return code, frames.read_record(control)

    def test_failures_are_reported(self):
        cases = [
            ("an expect that never comes", [{"expect": "hold release\r\n", "ms": 300}, {"exit": 0}],
             lambda c: c.sendall(b"hold releas"), "step 1 failed"),
            ("an unknown step", [{"dance": 1}, {"exit": 0}], lambda c: None, "step 1 failed"),
            ("the client gone before an expect", [{"expect": "x"}], lambda c: c.close(), "step 1 failed"),
            ("a hold never released", [{"hold": 300}, {"exit": 0}], lambda c: None, "step 1 failed"),
        ]
        for name, steps, client, error in cases:
            with self.subTest(name):
                code, record = self.play([{"connect": 1}] + steps, client)
                # The stand-in is let go (the bridge closes: its code, 0).
                self.assertEqual(code, 0)
                self.assertEqual(len(record["errors"]), 1, record["errors"])
                self.assertTrue(record["errors"][0].startswith(error), record["errors"])

    def test_a_hold_goes_on_once_the_test_releases_it(self):
        got = []

        def client(connection):
            connection.settimeout(10)
            got.append(connection.recv(8))

        code, record = self.play([{"hold": 10000}, {"connect": 1}, {"send": "go"}, {"exit": 4}], client, release=True)
        self.assertEqual((code, record["errors"], got), (4, [], [b"go"]))

    def test_expects_match_in_order_without_reuse(self):
        # The second expect must not match the bytes the first one took.
        code, record = self.play([{"connect": 1}, {"expect": "ab"}, {"expect": "ab", "ms": 300}, {"exit": 3}],
                                 lambda c: c.sendall(b"xaby"))
        self.assertEqual(record["errors"], ['step 2 failed: {"expect": "ab", "ms": 300}'])
        code, record = self.play([{"connect": 1}, {"expect": "ab"}, {"expect": "ab"}, {"exit": 3}],
                                 lambda c: c.sendall(b"abab"))
        self.assertEqual((code, record["errors"], record["written"]), (3, [], {1: b"abab"}))


if __name__ == "__main__":
    unittest.main(verbosity=2)
