#!/usr/bin/python3
"""The native side of the stand-in OpenVPN.exe: a real OpenVPN behind it, or a
script of misbehaviours.

    bridge.py --exec PROGRAM [ARGS...]   serve while PROGRAM runs; exit with its code

PROGRAM gets the control port as ZAV_OVPN_BRIDGE. A test opens one session per
OpenVPN start: it connects to the control port and sends one frame (frames.py)
    script 0 n   JSON: a list of steps, or {"steps": [...], "lingerMs": n}
    real 0 n     JSON: {} (or {"lingerMs": n})
and reads "port <p> 0", the port the stand-in must find in bridge-port.txt,
and for "real" then "text 0 n": the server's configuration text to hand the
client (PKI inline; the client adds its remote, management, proto and
dev-node lines). A second stand-in on the same port is refused ("fail").
When the session ends the control connection gets its record and is closed:
    pid <id> 0, args 0 n, config 0 n    what the stand-in sent first
    adapted 0 n                         (real) the configuration openvpn ran on
    written <c> n                       every byte the client wrote on connection c
    event 0 n                           one per event, in order: "connected 1",
                                        "refused 1", "closed 1" (by the client),
                                        "openvpn-exit <code>", "standin-gone"
    error 0 n                           a failed step or a setup failure
    end 0 0
Closing the control connection early ends the session and what it started.
"gone 0 0" from the test, once it has seen the stand-in's process end, ends
the session as the stand-in's going would and keeps the control connection
for the record: under Wine the stand-in's connection to the bridge can stay
open after its process was ended from outside. "release 0 0" from the test
lets a "hold" step go on.

Script steps (bytes are JSON strings, one character per byte, U+0000-U+00FF):
    {"connect": c}                the stand-in connects to the client as c
    {"send": "text" | ["pi", "eces"], "to": c, "gapMs": 30}
                                  written to c (default 1); a list is written a
                                  piece at a time, gapMs apart
    {"expect": "text", "on": c, "ms": 10000}
                                  waits until the client has written text on c
                                  after what earlier expects matched; fails
                                  at once when the client closed c
    {"expectClosed": c, "ms": 10000}   waits until the client closes c
    {"close": c}                  the stand-in closes c
    {"sleep": ms}
    {"hold": ms}                  waits until the test sends "release" (fails
                                  after ms)
    {"code": x}                   the stand-in's exit code when the bridge lets go
    {"exit": x}                   the stand-in exits now with x; the session ends
After the last step the session waits lingerMs (default 60000) for the stand-in
to go (the client ending its process), then lets it go.

Real mode: openvpn 2.6 runs as the client on the received configuration made
fit for Linux (management on a Unix socket of the bridge, "dev null" with
ifconfig-noexec and route-noexec, no dev-node, the remote pointed at the
server), and reaches a real openvpn server over udp or tcp. Both openvpn
processes live in a network namespace the bridge makes (the server's tun
device and every packet stay there); the management stream crosses through
the Unix socket, so the stand-in and the client stay on the root namespace's
loopback. The server takes the user "u" with the password "p" and no other.
Before OpenVPN's "Initialization Sequence Completed" log line the bridge adds
the TAP-Windows DHCP notice OpenVPN on Linux never writes, with the tunnel's
address and the GUID of the dev-node line.
"""

import ipaddress
import json
import os
import queue
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import frames  # noqa: E402
import peer_sockets  # noqa: E402

NS_PREFIX = "zavovpn-"
USER, PASSWORD = "u", "p"
SERVERS = {"udp": (1194, "10.77.8.0"), "tcp": (1195, "10.77.9.0")}
ACCEPT_MS = 120000
LINGER_MS = 60000
WINDOWS_ONLY_OPTIONS = {"ip-win32", "route-method", "block-outside-dns", "register-dns", "tap-sleep",
                        "dhcp-release", "dhcp-renew", "dev-node", "dev-type", "ifconfig-noexec",
                        "route-noexec", "disable-dco"}
DHCP_LEASE = 31536000


def run(args, timeout=30, check=True):
    result = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=timeout)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), result.stdout.decode(errors="replace")))
    return result


def end_process(process, term_ms=5000):
    """TERM, then KILL; always reaped."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(term_ms / 1000)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def remove_stale_namespaces():
    """Namespaces of bridges that were killed, with what still runs in them."""
    listing = run(["ip", "netns", "list"], check=False).stdout.decode()
    for match in re.finditer(r"^%s(\d+)" % NS_PREFIX, listing, re.M):
        name, pid = match.group(0), int(match.group(1))
        try:
            os.kill(pid, 0)
            continue
        except ProcessLookupError:
            pass
        except PermissionError:
            continue
        pids = run(["ip", "netns", "pids", name], check=False).stdout.split()
        for stale in pids:
            try:
                os.kill(int(stale), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        run(["ip", "netns", "del", name], check=False)
        shutil.rmtree("/tmp/" + name, ignore_errors=True)


class Lab:
    """The namespace, the PKI and the two servers, made on first use."""

    def __init__(self):
        self.lock = threading.Lock()
        self.ready = False
        self.ns = NS_PREFIX + str(os.getpid())
        self.folder = "/tmp/" + self.ns
        self.servers = []
        self.ca = ""

    def start(self):
        with self.lock:
            if self.ready:
                return
            if os.getuid() != 0:
                raise RuntimeError("real mode needs root (a network namespace)")
            remove_stale_namespaces()
            shutil.rmtree(self.folder, ignore_errors=True)
            os.makedirs(self.folder)
            os.chmod(self.folder, 0o755)
            run(["ip", "netns", "add", self.ns])
            run(["ip", "-n", self.ns, "link", "set", "lo", "up"])
            self._make_pki()
            self._write_verifier()
            for proto, (port, network) in sorted(SERVERS.items()):
                self._start_server(proto, port, network)
            deadline = time.monotonic() + 20
            for proto, log in [(p, os.path.join(self.folder, "server-%s.log" % p)) for p in sorted(SERVERS)]:
                while True:
                    text = open(log, errors="replace").read() if os.path.exists(log) else ""
                    if "Initialization Sequence Completed" in text:
                        break
                    if time.monotonic() > deadline or any(s.poll() is not None for s in self.servers):
                        raise RuntimeError("the %s server did not start:\n%s" % (proto, text))
                    time.sleep(0.05)
            self.ready = True

    def _make_pki(self):
        f = self.folder
        curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        run(["openssl", "req", "-x509"] + curve + ["-keyout", f + "/ca.key", "-out", f + "/ca.crt", "-days", "2",
             "-subj", "/CN=zav-test-ca", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
        run(["openssl", "req"] + curve + ["-keyout", f + "/server.key", "-out", f + "/server.csr",
             "-subj", "/CN=zav-test-server"])
        with open(f + "/server.ext", "w") as ext:
            ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyAgreement\n"
                      "extendedKeyUsage=serverAuth\n")
        run(["openssl", "x509", "-req", "-in", f + "/server.csr", "-CA", f + "/ca.crt", "-CAkey", f + "/ca.key",
             "-CAcreateserial", "-out", f + "/server.crt", "-days", "2", "-extfile", f + "/server.ext"])
        self.ca = open(f + "/ca.crt").read()

    def _write_verifier(self):
        path = self.folder + "/verify.sh"
        with open(path, "w") as script:
            script.write('#!/bin/sh\n{ read -r user; read -r password; } < "$1"\n'
                         '[ "$user" = "%s" ] && [ "$password" = "%s" ]\n' % (USER, PASSWORD))
        os.chmod(path, 0o755)

    def _start_server(self, proto, port, network):
        # Pings every second both ways (pushed to the client too), so the byte
        # counts of an idle tunnel move.
        f = self.folder
        config = "\n".join([
            "port %d" % port, "local 127.0.0.1", "proto %s" % ("udp" if proto == "udp" else "tcp-server"),
            "dev zav%s" % proto, "dev-type tun", "topology subnet", "server %s 255.255.255.0" % network,
            "ca %s/ca.crt" % f, "cert %s/server.crt" % f, "key %s/server.key" % f, "dh none",
            "verify-client-cert none", "script-security 2", "auth-user-pass-verify %s/verify.sh via-file" % f,
            "tmp-dir %s" % f, "keepalive 1 60", "disable-dco", "verb 3", ""])
        path = "%s/server-%s.conf" % (f, proto)
        with open(path, "w") as out:
            out.write(config)
        log = open("%s/server-%s.log" % (f, proto), "wb")
        self.servers.append(subprocess.Popen(["ip", "netns", "exec", self.ns, "openvpn", "--config", path],
                                             stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                             cwd=f))
        log.close()

    def client_text(self):
        return ("client\ndev tun\nnobind\nremote-cert-tls server\nauth-user-pass\nmanagement-client\n"
                "management-hold\nmanagement-query-passwords\nverb 3\n<ca>\n%s</ca>\n" % self.ca)

    def stop(self):
        for server in self.servers:
            end_process(server)
        self.servers = []
        if self.ready or os.path.exists(self.folder):
            pids = run(["ip", "netns", "pids", self.ns], check=False).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            run(["ip", "netns", "del", self.ns], check=False)
            shutil.rmtree(self.folder, ignore_errors=True)
        self.ready = False


LAB = Lab()


class Session:
    """One OpenVPN start: the control connection of the test and the stand-in
    that connects to this session's port."""

    def __init__(self, control, options):
        self.control = control
        self.options = options
        self.listener = peer_sockets.listen()
        self.link = None
        self.frames = queue.Queue()
        self.written = {}
        self.cursor = {}
        self.open = set()
        self.record = []
        self.errors = []
        self.ended = threading.Event()
        self.released = threading.Event()

    def port(self):
        return self.listener.getsockname()[1]

    def serve(self):
        try:
            self.link = self._accept()
            if self.link is not None:
                threading.Thread(target=self._read_link, daemon=True).start()
                threading.Thread(target=self._refuse_others, daemon=True).start()
                self.play()
        except Exception as error:  # a failed session is reported, never kills the bridge
            self.errors.append("%s: %s" % (type(error).__name__, error))
        finally:
            self.finish()
        self._report()

    def _accept(self):
        # The test's control connection closing ends the wait too.
        deadline = time.monotonic() + ACCEPT_MS / 1000
        self.listener.settimeout(0.2)
        while time.monotonic() < deadline:
            try:
                sock, _ = self.listener.accept()
            except socket.timeout:
                if self._control_closed():
                    return None
                continue
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            link = frames.FrameSocket(sock)
            for word in ("pid", "args", "config"):
                frame = link.read(10)
                if frame is None or frame[0] != word:
                    raise RuntimeError("the stand-in did not introduce itself")
                self.record.append((word, frame[1], frame[2]))
                if word == "config":
                    self.config = frame[2]
            return link
        self.errors.append("no stand-in connected")
        return None

    def _control_closed(self):
        """True once the test closed the control connection or sent "gone";
        notes a "release" on the way."""
        try:
            readable, _, _ = select.select([self.control.sock], [], [], 0)
            if not readable:
                return False
            if self.control.sock.recv(1, socket.MSG_PEEK) == b"":
                return True
            frame = self.control.read(5)
            if frame is not None and frame[0] == "release":
                self.released.set()
                return False
            return frame is None or frame[0] == "gone"
        except (OSError, ValueError):  # ValueError: closed by the session's report meanwhile
            return True

    def _refuse_others(self):
        self.listener.settimeout(0.2)
        while not self.ended.is_set():
            try:
                sock, _ = self.listener.accept()
            except socket.timeout:
                if self._control_closed():
                    self.ended.set()
                    self.frames.put(None)
                continue
            except OSError:
                return
            frames.FrameSocket(sock).send("fail")
            sock.close()

    def _read_link(self):
        while True:
            frame = self.link.read()
            if frame is None:
                self.frames.put(None)
                return
            word, number, payload = frame
            if word == "data":
                self.written.setdefault(number, bytearray()).extend(payload)
            elif word in ("connected", "refused", "closed"):
                self.event("%s %d" % (word, number))
                if word == "connected":
                    self.open.add(number)
                else:
                    self.open.discard(number)
            self.frames.put(frame)

    def event(self, text):
        self.record.append(("event", 0, text.encode()))

    def events(self):
        return [payload for word, _, payload in self.record if word == "event"]

    def wait_frame(self, until, deadline):
        """Waits until until() holds, feeding frames; False at the deadline or
        when the stand-in is gone."""
        while not until():
            left = deadline - time.monotonic()
            if left <= 0 or self.ended.is_set():
                return False
            try:
                frame = self.frames.get(timeout=min(left, 0.2))
            except queue.Empty:
                continue
            if frame is None:
                self.ended.set()
                self.event("standin-gone")
                return until()
            self.on_frame(frame)
        return True

    def on_frame(self, frame):
        pass

    def linger(self):
        deadline = time.monotonic() + self.options.get("lingerMs", LINGER_MS) / 1000
        self.wait_frame(lambda: False, deadline)

    def finish(self):
        self.ended.set()
        self.listener.close()
        if self.link is not None:
            self.link.close()

    def _report(self):
        c = self.control
        for word, number, payload in self.record:
            c.send(word, number, payload)
        for number in sorted(self.written):
            c.send("written", number, bytes(self.written[number]))
        for error in self.errors:
            c.send("error", 0, error.encode())
        c.send("end")
        c.close()


class ScriptSession(Session):
    def play(self):
        steps = self.options.get("steps", [])
        for index, step in enumerate(steps):
            if self.ended.is_set():
                self.errors.append("step %d: the stand-in is gone" % index)
                return
            if not self.step(step):
                self.errors.append("step %d failed: %s" % (index, json.dumps(step)))
                return
            if "exit" in step:
                return
        self.linger()

    def step(self, step):
        link = self.link
        if "connect" in step:
            number = step["connect"]
            link.send("connect", number)
            refused = ("refused %d" % number).encode()
            return self.wait_frame(lambda: number in self.open or refused in self.events(), time.monotonic() + 10)
        if "send" in step:
            pieces = step["send"] if isinstance(step["send"], list) else [step["send"]]
            pieces = [piece * step.get("repeat", 1) for piece in pieces]
            for i, piece in enumerate(pieces):
                if i > 0:
                    time.sleep(step.get("gapMs", 30) / 1000)
                if not link.send("data", step.get("to", 1), piece.encode("latin-1")):
                    return False
            return True
        if "expect" in step:
            number, wanted = step.get("on", 1), step["expect"].encode("latin-1")

            found, closed = [], ("closed %d" % number).encode()

            def seen():
                data = bytes(self.written.get(number, b""))
                at = data.find(wanted, self.cursor.get(number, 0))
                if at >= 0:
                    self.cursor[number] = at + len(wanted)
                    found.append(True)
                # Nothing more comes once the client closed.
                return bool(found) or closed in self.events()
            self.wait_frame(seen, time.monotonic() + step.get("ms", 10000) / 1000)
            return bool(found)
        if "expectClosed" in step:
            number = step["expectClosed"]
            closed = ("closed %d" % number).encode()
            return self.wait_frame(lambda: closed in self.events(),
                                   time.monotonic() + step.get("ms", 10000) / 1000)
        if "close" in step:
            self.open.discard(step["close"])
            return link.send("close", step["close"])
        if "sleep" in step:
            self.wait_frame(lambda: False, time.monotonic() + step["sleep"] / 1000)
            return True
        if "hold" in step:
            return self.wait_frame(self.released.is_set, time.monotonic() + step["hold"] / 1000)
        if "code" in step:
            return link.send("code", step["code"])
        if "exit" in step:
            return link.send("exit", step["exit"])
        return False


def adapt_config(text, socket_path):
    """The received configuration made fit for openvpn on Linux in the lab."""
    lines = text.split("\n")
    proto = "udp"
    for line in lines:
        words = line.split()
        if len(words) >= 2 and words[0] == "proto":
            proto = "tcp" if words[1].startswith("tcp") else "udp"
    out, block = [], None
    for line in lines:
        words = line.strip().split()
        if block is not None:
            out.append(line)
            if line.strip() == "</%s>" % block:
                block = None
            continue
        if words and re.match(r"^<([a-z-]+)>$", words[0]):
            block = words[0][1:-1]
            out.append(line)
            continue
        keyword = words[0] if words else ""
        if keyword in WINDOWS_ONLY_OPTIONS:
            continue
        if keyword == "management":
            out.append("management %s unix" % socket_path)
        elif keyword == "dev":
            out.append("dev null")
        elif keyword == "remote":
            out.append("remote 127.0.0.1 %d" % SERVERS[proto][0])
        elif keyword == "proto":
            out.append("proto %s" % ("tcp-client" if proto == "tcp" else "udp"))
        else:
            out.append(line)
    while out and out[-1] == "":
        out.pop()
    out += ["ifconfig-noexec", "route-noexec", "disable-dco", ""]
    return "\n".join(out), proto


def dhcp_notice(time_and_flags, address, mask, guid):
    network = ipaddress.IPv4Network("%s/%s" % (address, mask), strict=False)
    server = network.broadcast_address - 1
    return (">LOG:%sNotified TAP-Windows driver to set a DHCP IP/netmask of %s/%s on interface %s "
            "[DHCP-serv: %s, lease-time: %d]\r\n" % (time_and_flags, address, mask, guid, server, DHCP_LEASE))


class RealSession(Session):
    def __init__(self, control, options):
        super().__init__(control, options)
        self.openvpn = None
        self.management = None
        self.address = None
        self.address_known = threading.Event()
        self.openvpn_done = threading.Event()
        self.exit_recorded = False

    def play(self):
        LAB.start()
        config = self.config.decode("latin-1")
        guid_match = re.search(r"^dev-node\s+(\S+)", config, re.M)
        self.guid = guid_match.group(1) if guid_match else "{00000000-0000-0000-0000-000000000000}"
        self.folder = tempfile.mkdtemp(prefix="session-", dir=LAB.folder)
        os.chmod(self.folder, 0o755)
        socket_path = os.path.join(self.folder, "management.sock")
        adapted, _ = adapt_config(config, socket_path)
        self.record.append(("adapted", 0, adapted.encode("latin-1")))
        path = os.path.join(self.folder, "client.conf")
        with open(path, "w", encoding="latin-1") as out:
            out.write(adapted)
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(socket_path)
        server.listen(1)
        server.settimeout(0.2)
        self.openvpn = subprocess.Popen(["ip", "netns", "exec", LAB.ns, "openvpn", "--config", path],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, cwd=self.folder)
        threading.Thread(target=self._read_output, daemon=True).start()
        try:
            self.management = self._accept_management(server)
            server.close()
            if self.management is not None:
                self._relay()
        finally:
            end_process(self.openvpn)
            if not self.exit_recorded:
                self.event("openvpn-exit %d" % self.openvpn.returncode)
            if self.management is not None:
                self.management.close()

    def _relay(self):
        self.link.send("connect", 1)
        refused = b"refused 1"
        self.wait_frame(lambda: 1 in self.open or refused in self.events(), time.monotonic() + 10)
        if 1 not in self.open:
            self.errors.append("the stand-in could not connect to the client")
            return
        threading.Thread(target=self._relay_from_openvpn, daemon=True).start()
        deadline = time.monotonic() + self.options.get("lingerMs", 600000) / 1000
        self.wait_frame(lambda: self.openvpn_done.is_set() or 1 not in self.open, deadline)
        if self.openvpn_done.is_set():
            # OpenVPN ended: so does the stand-in, with its exit code.
            code = self._openvpn_exit(10000)
            self.link.send("exit", max(code, 0))

    def _openvpn_exit(self, ms):
        try:
            code = self.openvpn.wait(ms / 1000)
        except subprocess.TimeoutExpired:
            return -1
        self.event("openvpn-exit %d" % code)
        self.exit_recorded = True
        return code

    def _accept_management(self, server):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not self.ended.is_set():
            try:
                return server.accept()[0]
            except socket.timeout:
                pass
            if self.openvpn.poll() is not None:
                # No management connection, so no connect-back either.
                self.link.send("exit", self._openvpn_exit(0))
                return None
        self.errors.append("openvpn did not connect to its management socket")
        return None

    def _read_output(self):
        with open(os.path.join(self.folder, "openvpn.log"), "wb") as log:
            for line in self.openvpn.stdout:
                log.write(line)
                log.flush()
                self._look_for_address(line)

    def _look_for_address(self, line):
        match = re.search(rb"[',]ifconfig (\d+\.\d+\.\d+\.\d+) (\d+\.\d+\.\d+\.\d+)", line)
        if match and not self.address_known.is_set():
            self.address = (match.group(1).decode(), match.group(2).decode())
            self.address_known.set()

    def _relay_from_openvpn(self):
        pending = b""
        injected = False
        try:
            while True:
                chunk = self.management.recv(65536)
                if not chunk:
                    break
                pending += chunk
                # Whole lines only, so the notice goes in between two of them.
                end = pending.rfind(b"\n") + 1
                lines, pending = pending[:end], pending[end:]
                out = b""
                for line in lines.splitlines(keepends=True):
                    self._look_for_address(line)
                    match = re.match(rb">LOG:(\d+,[^,]*,)Initialization Sequence Completed", line)
                    if match and not injected:
                        injected = True
                        if self.address_known.wait(5):
                            out += dhcp_notice(match.group(1).decode(), self.address[0], self.address[1],
                                               self.guid).encode()
                        else:
                            self.errors.append("no tunnel address before Initialization Sequence Completed")
                    out += line
                if out and not self.link.send("data", 1, out):
                    break
            if pending:
                self.link.send("data", 1, pending)
        except OSError:
            pass
        finally:
            self.openvpn_done.set()
            self.frames.put(("wake", 0, b""))

    def on_frame(self, frame):
        word, number, payload = frame
        try:
            if word == "data" and number == 1:
                self.management.sendall(payload)
            elif word == "closed" and number == 1:
                self.management.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve_control(sock):
    control = frames.FrameSocket(sock)
    try:
        request = control.read(30)
    except socket.timeout:
        request = None
    if request is None or request[0] not in ("script", "real"):
        control.send("error", 0, b"expected a script or real request")
        control.close()
        return
    options = json.loads(request[2].decode("latin-1") or "{}")
    if isinstance(options, list):
        options = {"steps": options}
    session = (ScriptSession if request[0] == "script" else RealSession)(control, options)
    if request[0] == "real":
        try:
            LAB.start()
        except Exception as error:
            control.send("error", 0, str(error).encode())
            control.close()
            return
    control.send("port", session.port())
    if request[0] == "real":
        control.send("text", 0, LAB.client_text().encode())
    session.serve()


def main():
    if len(sys.argv) < 3 or sys.argv[1] != "--exec":
        print(__doc__, file=sys.stderr)
        return 2
    listener = peer_sockets.listen()
    peer_sockets.start_accepting(listener, serve_control)
    env = dict(os.environ, ZAV_OVPN_BRIDGE=str(listener.getsockname()[1]))
    child = None

    def stop(signum, _frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        child = subprocess.Popen(sys.argv[2:], env=env)
        return child.wait()
    finally:
        end_process(child)
        listener.close()
        LAB.stop()


if __name__ == "__main__":
    sys.exit(main())
