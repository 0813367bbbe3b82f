#!/usr/bin/python3
"""The peers of a demo run of the client: the stand-in backend on the built-in
channel port, answering the login with success, and the download server on
the built-in download port, offering no update.

    demo_peers.py [MANIFEST] [--openvpn-bin FOLDER] --exec PROGRAM [ARGS...]

Backend: 127.0.0.1:20002 (tests/support/conn_backend.py's channel): the
login and "logout" succeed, "accounts" names two sub-accounts, "subAccount"
gives the named one's details with servers on loopback addresses only (so the
client's real latency probes measure this machine), "gameList" three games;
"ovpnDownload" the https URL of "openvpn-install.exe" on the download folder,
"routeTable" two routes (198.51.100.0/24 through the tunnel, 203.0.113.0/24
not); any other request is answered {"rst":0}. A script sent on the control
port (conn_backend.py's "script" command) answers its "op" instead, e.g. the
"ovpnConfig" that names a real OpenVPN server. Every request's JSON is
appended to STATE/backend-requests.log, one a line.

--openvpn-bin FOLDER (run under tests/support/openvpn/bridge.py --exec): each
"ovpnConfig" opens a real session of the bridge (ending the one before),
writes its port to FOLDER/bridge-port.txt for the stand-in OpenVPN.exe there
(or installed there), and answers with its server's configuration; the
sub-accounts' tunnel credentials are then the lab server's ("u", "p").

Downloads: 127.0.0.1:20080 (http) and a port of the system's choice (https,
a certificate for localhost from a test CA made here) serving STATE/files,
whose "desc" is MANIFEST (made by make_manifest.exe for the client) when one
is given; without it the program places its own files there.

Runs PROGRAM and exits with its code. PROGRAM gets ZAV_DEMO_PEERS=STATE,
ZAV_CONN_BACKEND="CONTROL CHANNEL" (tests/support/ConnBackend.h) and
ZAV_HTTP_SCENARIOS=STATE (STATE/ports names the "tls" port, STATE/ca.der is
the test CA: tests/support/HttpScenarios.h's TrustedTestCa trusts it). Both
fixed ports are the defaults of the build inputs BACKEND_PORT and
DOWNLOAD_BASE_URL.
"""

import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "openvpn"))
import conn_backend  # noqa: E402
import download_server  # noqa: E402
import frames  # noqa: E402
import http_scenario_server  # noqa: E402
import peer_sockets  # noqa: E402

BACKEND_PORT = 20002
DOWNLOAD_PORT = 20080


def sub_account(name, password, product, expire, balance, servers):
    return {"rst": 0, "userName": name,
            "password": base64.b64encode(password.encode("utf-8")).decode("ascii"),
            "status": 1, "statusText": "active", "productName": product,
            "policy": 2, "policyText": "monthly", "expireDate": expire,
            "balance": balance, "timeLength": 7200, "flowLength": 10240,
            "servers": [{"name": server_name, "addr": addr, "tcp": 1194, "udp": 1194}
                        for server_name, addr in servers]}


SUB_ACCOUNTS = {
    "demo-main": sub_account("demo-main", "main-secret", "Demo Premium", "2027-06-30", 1500,
                             [("Loopback One", "127.0.0.1"), ("Loopback Two", "127.0.0.2")]),
    "demo-travel": sub_account("demo-travel", "travel-secret", "Demo Basic", "2027-01-31", 300,
                               [("Loopback Three", "127.0.0.3")]),
}

INSTALLER = "openvpn-install.exe"

ANSWERS = {
    "accounts": {"rst": 0, "accounts": list(SUB_ACCOUNTS)},
    "routeTable": {"rst": 0, "routes": [{"a": "198.51.100.0", "m": "255.255.255.0", "n": 1},
                                        {"a": "203.0.113.0", "m": "255.255.255.0", "n": 0}]},
    "gameList": {"rst": 0, "games": [
        {"id": 101, "name": "Demo Racer", "desc": "racing"},
        {"id": 102, "name": "Demo Arena", "desc": "shooter"},
        {"id": 103, "name": "Demo Quest", "desc": "role-playing"}]},
}


class DemoBackend(conn_backend.Session):
    def __init__(self, log_path, tls_port, openvpn_bin=None):
        super().__init__()
        self.log_path = log_path
        self.tls_port = tls_port
        self.openvpn_bin = openvpn_bin
        self.bridge_session = None

    def lab_config(self):
        """A new real session of the bridge for the next OpenVPN start."""
        with self.lock:
            if self.bridge_session is not None:
                self.bridge_session.close()
            self.bridge_session, port, text = frames.open_session("real", {})
        os.makedirs(self.openvpn_bin, exist_ok=True)
        with open(os.path.join(self.openvpn_bin, "bridge-port.txt"), "w") as out:
            out.write("%d\n" % port)
        return {"rst": 0, "config": text.decode("latin-1")}

    def request_action(self, request):
        with self.lock:
            with open(self.log_path, "ab") as log:
                log.write(request.replace(b"\n", b" ") + b"\n")
        try:
            asked = json.loads(request.decode("utf-8"))
        except ValueError:
            return {"text": '{"rst":0}'}
        op = asked.get("op") if isinstance(asked, dict) else None
        with self.lock:
            scripted = self.scripted(op)
        if scripted is not None:
            return scripted
        if op == "subAccount":
            answer = SUB_ACCOUNTS.get(asked.get("subAccount"), {"rst": 1})
            if self.openvpn_bin and answer.get("rst") == 0:
                answer = dict(answer, userName="u", password=base64.b64encode(b"p").decode("ascii"))
        elif op == "ovpnConfig" and self.openvpn_bin:
            try:
                answer = self.lab_config()
            except (OSError, RuntimeError, KeyError, TypeError) as error:
                self.note("errors", "no bridge session: %r" % error)
                answer = {"rst": 1}
        elif op == "ovpnDownload":
            answer = {"rst": 0, "download": "https://localhost:%d/%s" % (self.tls_port, INSTALLER)}
        else:
            answer = ANSWERS.get(op, {"rst": 0})
        return {"text": json.dumps(answer)}


def serve_tls_downloads(state, folder):
    """The download folder over https; mbedTLS matches DNS names only, hence
    the certificate for localhost."""
    http_scenario_server.make_certificates(state)
    context = http_scenario_server.tls_context(state, "localhost")
    server = download_server.serve(0, folder)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    args = sys.argv[1:]
    manifest = None
    openvpn_bin = None
    if args and not args[0].startswith("--"):
        manifest = args.pop(0)
    if args[:1] == ["--openvpn-bin"] and len(args) > 1:
        openvpn_bin = args[1]
        args = args[2:]
    if len(args) < 2 or args[0] != "--exec":
        sys.stderr.write(__doc__)
        sys.exit(2)
    top = tempfile.mkdtemp(prefix="zav-demo-", dir=os.environ.get("ZAV_BINARY_DIR") or None)
    folder = os.path.join(top, "files")
    os.mkdir(folder)
    if manifest:
        shutil.copyfile(manifest, os.path.join(folder, "desc"))

    tls = serve_tls_downloads(top, folder)
    tls_port = tls.server_address[1]
    with open(os.path.join(top, "ports"), "w") as ports:
        ports.write("tls %d\n" % tls_port)
    backend = DemoBackend(os.path.join(top, "backend-requests.log"), tls_port, openvpn_bin)
    channel = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    channel.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    channel.bind(("127.0.0.1", BACKEND_PORT))
    channel.listen(16)
    threading.Thread(target=conn_backend.accept_channels, args=(channel, backend), daemon=True).start()
    control = peer_sockets.listen()
    peer_sockets.start_accepting(control, lambda sock: conn_backend.control_connection(sock, backend))
    downloads = download_server.serve(DOWNLOAD_PORT, folder)
    threading.Thread(target=downloads.serve_forever, daemon=True).start()
    env = dict(os.environ, ZAV_DEMO_PEERS=top, ZAV_HTTP_SCENARIOS=top,
               ZAV_CONN_BACKEND="%d %d" % (control.getsockname()[1], BACKEND_PORT))
    try:
        code = subprocess.call(args[1:], env=env)
    finally:
        if backend.bridge_session is not None:
            backend.bridge_session.close()
        downloads.shutdown()
        tls.shutdown()
        control.close()
        channel.close()
        shutil.rmtree(top, ignore_errors=True)
    sys.exit(code)


if __name__ == "__main__":
    main()
