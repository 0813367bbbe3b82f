#!/usr/bin/python3
"""The peers of a demo run of the client: the stand-in backend on the built-in
channel port, answering the login with success, and the download server on
the built-in download port, offering no update.

    demo_peers.py MANIFEST --exec PROGRAM [ARGS...]

Backend: 127.0.0.1:20002 (tests/support/conn_backend.py's channel): the
login and "logout" succeed, "accounts" names two sub-accounts, "subAccount"
gives the named one's details with servers on loopback addresses only (so the
client's real latency probes measure this machine), "gameList" three games;
any other request is answered {"rst":0}. Downloads: 127.0.0.1:20080 serving a folder
whose "desc" is MANIFEST (made by make_manifest.exe for the client). Runs PROGRAM and
exits with its code. Both ports are the defaults of the build inputs
BACKEND_PORT and DOWNLOAD_BASE_URL.
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
import conn_backend  # noqa: E402
import download_server  # noqa: E402

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

ANSWERS = {
    "accounts": {"rst": 0, "accounts": list(SUB_ACCOUNTS)},
    "gameList": {"rst": 0, "games": [
        {"id": 101, "name": "Demo Racer", "desc": "racing"},
        {"id": 102, "name": "Demo Arena", "desc": "shooter"},
        {"id": 103, "name": "Demo Quest", "desc": "role-playing"}]},
}


class DemoBackend(conn_backend.Session):
    def request_action(self, request):
        try:
            asked = json.loads(request.decode("utf-8"))
        except ValueError:
            return {"text": '{"rst":0}'}
        op = asked.get("op") if isinstance(asked, dict) else None
        if op == "subAccount":
            answer = SUB_ACCOUNTS.get(asked.get("subAccount"), {"rst": 1})
        else:
            answer = ANSWERS.get(op, {"rst": 0})
        return {"text": json.dumps(answer)}


def main():
    if len(sys.argv) < 4 or sys.argv[2] != "--exec":
        sys.stderr.write(__doc__)
        sys.exit(2)
    top = tempfile.mkdtemp(prefix="zav-demo-")
    folder = os.path.join(top, "files")
    os.mkdir(folder)
    shutil.copyfile(sys.argv[1], os.path.join(folder, "desc"))

    channel = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    channel.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    channel.bind(("127.0.0.1", BACKEND_PORT))
    channel.listen(16)
    threading.Thread(target=conn_backend.accept_channels, args=(channel, DemoBackend()), daemon=True).start()
    downloads = download_server.serve(DOWNLOAD_PORT, folder)
    threading.Thread(target=downloads.serve_forever, daemon=True).start()
    try:
        code = subprocess.call(sys.argv[3:])
    finally:
        downloads.shutdown()
        channel.close()
        shutil.rmtree(top, ignore_errors=True)
    sys.exit(code)


if __name__ == "__main__":
    main()
