#!/usr/bin/python3
"""The peers of a demo run of the client: the stand-in backend on the built-in
channel port, answering the login with success, and the download server on
the built-in download port, offering no update.

    demo_peers.py MANIFEST --exec PROGRAM [ARGS...]

Backend: 127.0.0.1:20002 (tests/support/conn_backend.py's channel; every
request is answered {"rst":0}). Downloads: 127.0.0.1:20080 serving a folder
whose "desc" is MANIFEST (made by make_manifest.exe for the client). Runs PROGRAM and
exits with its code. Both ports are the defaults of the build inputs
BACKEND_PORT and DOWNLOAD_BASE_URL.
"""

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


class AlwaysSucceeds(conn_backend.Session):
    def next_action(self, queue):
        if queue is self.req_actions:
            return {"text": '{"rst":0}'}
        return super().next_action(queue)


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
    threading.Thread(target=conn_backend.accept_channels, args=(channel, AlwaysSucceeds()), daemon=True).start()
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
