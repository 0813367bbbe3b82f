#!/usr/bin/python3
"""Stand-in download server: serves the files of one folder over plain HTTP.

    download_server.py --exec PROGRAM [ARGS...]
        serve a fresh empty folder on a port of the system's choice while
        PROGRAM runs, passing ZAV_DOWNLOAD_SERVER="PORT FOLDER"; exit with its
        code. The program puts the files it wants served into FOLDER.
    download_server.py --port PORT --folder FOLDER
        serve FOLDER on PORT until killed (the README's demo run).

GET /NAME answers 200 with the bytes of FOLDER/NAME, anything else 404.
GET /slow/NAME answers the same after a second; GET /silent/NAME is never
answered (the connection stays open until the client closes it). Each request is appended to
FOLDER/../requests.log as "GET /NAME STATUS".
"""

import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time


def make_handler(folder):
    log_path = os.path.join(os.path.dirname(os.path.abspath(folder)), "requests.log")

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            name = self.path.split("?", 1)[0].lstrip("/")
            if name.startswith("silent/"):
                with open(log_path, "a") as log:
                    log.write("GET /%s -\n" % name)
                while self.rfile.read(1):
                    pass
                return
            if name.startswith("slow/"):
                time.sleep(1)
                name = name[len("slow/"):]
            path = os.path.join(folder, name)
            if name and "/" not in name and ".." not in name and os.path.isfile(path):
                with open(path, "rb") as f:
                    body = f.read()
                status = 200
            else:
                body = b"not found"
                status = 404
            with open(log_path, "a") as log:
                log.write("GET /%s %d\n" % (name, status))
            self.send_response(status)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            try:
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the client may drop a download it no longer wants

        def log_message(self, *args):
            pass

    return Handler


def serve(port, folder):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), make_handler(folder))
    server.daemon_threads = True
    return server


def main():
    args = sys.argv[1:]
    if args[:1] == ["--exec"] and len(args) > 1:
        top = tempfile.mkdtemp(prefix="zav-download-")
        folder = os.path.join(top, "files")
        os.mkdir(folder)
        server = serve(0, folder)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        env = dict(os.environ, ZAV_DOWNLOAD_SERVER="%d %s" % (server.server_address[1], folder))
        try:
            code = subprocess.call(args[1:], env=env)
        finally:
            server.shutdown()
            shutil.rmtree(top, ignore_errors=True)
        sys.exit(code)
    if len(args) == 4 and args[0] == "--port" and args[2] == "--folder":
        serve(int(args[1]), args[3]).serve_forever()
        return
    sys.stderr.write(__doc__)
    sys.exit(2)


if __name__ == "__main__":
    main()
