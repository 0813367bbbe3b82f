#!/usr/bin/python3
"""Stand-in download server for the HTTP(S) client tests and benchmark.

    http_scenario_server.py --exec PROGRAM [ARGS...]
        serve while PROGRAM runs, passing ZAV_HTTP_SCENARIOS=STATE_DIR; exit
        with its code and remove STATE_DIR
    http_scenario_server.py --serve STATE_DIR
        serve until killed

Makes a test CA and its certificates in STATE_DIR, listens on 127.0.0.1 with
ports of the system's choice and writes STATE_DIR/ports ("name port" lines,
written before PROGRAM starts). The raw bytes of the latest request go to
STATE_DIR/last-request before it is answered.

Listeners: plain (HTTP), tls (certificate for localhost from the test CA),
tls10 / tls11 / tls12 / tls13 (the same, one protocol version only),
wrongName (test CA, name "wrong.example"), selfSigned (localhost, signed by
itself), mute (accepts, reads and never answers: not even a TLS
handshake), backlog (never accepts, its queue full: connects stay pending).
Plain listeners answer a TLS ClientHello with a 400 and close.

Scenarios by path (the query is ignored unless stated):
    /length      200, Content-Length 10
    /drip[?gap=MS]  200, Content-Length 12, three pieces 0.1 s (or MS) apart
    /chunked     200, chunked, three chunks
    /gzip /deflate-raw /deflate-zlib   compressed "hello, compressed world" x 50
    /gzip-upper  the gzip body with "Content-Encoding:  GZip "
    /gzip-extra  a gzip member followed by one extra byte
    /identity    "Content-Encoding: identity"
    /unknown-coding  "Content-Encoding: br"
    /301 /404    redirect and not found, with small bodies
    /truncated   Content-Length 100, 40 bytes, close
    /keep-open   Content-Length 10, then the connection stays open
    /close-delimited  no length, no chunking: the body ends with the connection
                 (over TLS with close_notify first)
    /close-delimited-no-notify  the same, but over TLS the connection closes
                 without close_notify (plain: as /close-delimited)
    /close-delimited-reset  the same body, then 0.2 s later a reset (RST)
    /extra       Content-Length 5 and the body followed by bytes of a next
                 response, in one write
    /huge-length  Content-Length 3000000000, then silence
    /stall-body  Content-Length 1000, 10 bytes, then silence
    /silence     reads the request and never answers
    /blob?size=N[&gzip][&chunked][&piece=K]  N deterministic bytes (blobByte),
                 gzip-encoded on the fly and/or chunked, written K bytes a time
    anything else: 404
"""

import datetime
import gzip
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import warnings
import zlib

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

import peer_sockets

COMPRESSIBLE = b"hello, compressed world " * 50

state_lock = threading.Lock()
state_folder = None


def blob_bytes(size):
    # Byte i is (i * 7 + i // 251) & 0xff: not periodic in any small power of
    # two, so a shifted or repeated piece shows.
    pattern = bytes(((i * 7) + (i // 251)) & 0xFF for i in range(251 * 256))
    reps, rest = divmod(size, len(pattern))
    return pattern * reps + pattern[:rest]


def make_certificates(folder):
    now = datetime.datetime.utcnow()
    start, end = now - datetime.timedelta(days=1), now + datetime.timedelta(days=30)

    def name(text):
        return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])

    def build(subject, key, issuer, issuer_key, ca, dns):
        builder = (x509.CertificateBuilder().subject_name(name(subject)).issuer_name(name(issuer))
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(start).not_valid_after(end)
                   .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
        if dns:
            builder = builder.add_extension(x509.SubjectAlternativeName([x509.DNSName(dns)]), critical=False)
        return builder.sign(issuer_key, hashes.SHA256())

    def write(file_name, data):
        with open(os.path.join(folder, file_name), "wb") as out:
            out.write(data)

    def pem_key(key):
        return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                 serialization.NoEncryption())

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca = build("ZAV Test CA", ca_key, "ZAV Test CA", ca_key, True, None)
    write("ca.pem", ca.public_bytes(serialization.Encoding.PEM))
    write("ca.der", ca.public_bytes(serialization.Encoding.DER))
    for file_name, dns, self_signed in (("localhost", "localhost", False),
                                        ("wrong-name", "wrong.example", False),
                                        ("self-signed", "localhost", True)):
        key = ec.generate_private_key(ec.SECP256R1())
        if self_signed:
            cert = build(dns, key, dns, key, True, dns)
        else:
            cert = build(dns, key, "ZAV Test CA", ca_key, False, dns)
        write(file_name + ".pem", cert.public_bytes(serialization.Encoding.PEM) + pem_key(key))


def tls_context(folder, cert, version=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(folder, cert + ".pem"))
    if version is not None:
        # The old versions need the lowest security level of this OpenSSL.
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = version
        context.maximum_version = version
    return context


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            break
        data += piece
        if data[:1] == b"\x16":
            return data  # a TLS ClientHello on a plain port
    return data


def chunked(body, pieces):
    step = max(1, (len(body) + pieces - 1) // pieces)
    out = b""
    for i in range(0, len(body), step):
        part = body[i:i + step]
        out += b"%x\r\n" % len(part) + part + b"\r\n"
    return out + b"0\r\n\r\n"


def response(status, headers, body=b""):
    head = "HTTP/1.1 %s\r\n" % status
    for key, value in headers:
        head += "%s: %s\r\n" % (key, value)
    return head.encode() + b"\r\n" + body


def ok(body, extra=()):
    return response("200 OK", [("Content-Length", len(body))] + list(extra), body)


def hold_open(conn):
    # Keeps the connection until the client goes away.
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


blob_cache = {}


def blob_body(size, packed):
    key = (size, packed)
    with state_lock:
        if key not in blob_cache:
            body = blob_bytes(size)
            blob_cache[key] = gzip.compress(body, compresslevel=1) if packed else body
        return blob_cache[key]


def serve_blob(conn, query):
    params = dict(p.split("=", 1) if "=" in p else (p, "") for p in query.split("&") if p)
    body = blob_body(int(params.get("size", "0")), "gzip" in params)
    headers = []
    if "gzip" in params:
        headers.append(("Content-Encoding", "gzip"))
    if "chunked" in params:
        headers.append(("Transfer-Encoding", "chunked"))
        body = chunked(body, max(1, len(body) // 65536))
    else:
        headers.append(("Content-Length", len(body)))
    conn.sendall(response("200 OK", headers))
    piece = int(params.get("piece", "0")) or len(body) or 1
    view = memoryview(body)
    for i in range(0, len(body), piece):
        conn.sendall(view[i:i + piece])


def serve(conn):
    """Answers one request; "abrupt" when the connection must end without a
    TLS close_notify."""
    request = read_request(conn)
    if request[:1] == b"\x16":
        conn.sendall(response("400 Bad Request", [("Content-Length", 0)]))
        return
    with state_lock:
        temp = os.path.join(state_folder, "last-request.tmp")
        with open(temp, "wb") as out:
            out.write(request)
        os.replace(temp, os.path.join(state_folder, "last-request"))
    try:
        target = request.split(b" ", 2)[1].decode("latin-1")
    except IndexError:
        return
    path, _, query = target.partition("?")
    if path == "/length":
        conn.sendall(ok(b"0123456789"))
    elif path == "/drip":
        conn.sendall(response("200 OK", [("Content-Length", 12)]))
        gap = int(query[4:]) / 1000.0 if query.startswith("gap=") else 0.1
        for piece in (b"abcd", b"efgh", b"ijkl"):
            time.sleep(gap)
            conn.sendall(piece)
    elif path == "/chunked":
        conn.sendall(response("200 OK", [("Transfer-Encoding", "chunked")],
                              chunked(b"first-second-third", 3)))
    elif path == "/gzip":
        conn.sendall(ok(gzip.compress(COMPRESSIBLE), [("Content-Encoding", "gzip")]))
    elif path == "/gzip-upper":
        conn.sendall(ok(gzip.compress(COMPRESSIBLE), [("Content-Encoding", " GZip ")]))
    elif path == "/gzip-extra":
        conn.sendall(ok(gzip.compress(COMPRESSIBLE) + b"!", [("Content-Encoding", "gzip")]))
    elif path == "/deflate-raw":
        packer = zlib.compressobj(wbits=-15)
        conn.sendall(ok(packer.compress(COMPRESSIBLE) + packer.flush(), [("Content-Encoding", "deflate")]))
    elif path == "/deflate-zlib":
        conn.sendall(ok(zlib.compress(COMPRESSIBLE), [("Content-Encoding", "deflate")]))
    elif path == "/identity":
        conn.sendall(ok(b"as it is", [("Content-Encoding", "identity")]))
    elif path == "/unknown-coding":
        conn.sendall(ok(b"\x1b\x00compressed", [("Content-Encoding", "br")]))
    elif path == "/301":
        conn.sendall(response("301 Moved Permanently", [("Location", "/length"), ("Content-Length", 5)], b"moved"))
    elif path == "/404":
        conn.sendall(response("404 Not Found", [("Content-Length", 9)], b"not found"))
    elif path == "/truncated":
        conn.sendall(response("200 OK", [("Content-Length", 100)], b"x" * 40))
    elif path == "/keep-open":
        conn.sendall(ok(b"kept-open!"))
        hold_open(conn)
    elif path == "/close-delimited":
        conn.sendall(response("200 OK", [], b"until the end"))
    elif path == "/close-delimited-no-notify":
        conn.sendall(response("200 OK", [], b"until the end"))
        return "abrupt"
    elif path == "/close-delimited-reset":
        conn.sendall(response("200 OK", [], b"until the end"))
        time.sleep(0.2)  # the client has read the body before the reset
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return "abrupt"
    elif path == "/extra":
        conn.sendall(ok(b"hello") + ok(b"next!"))
        hold_open(conn)
    elif path == "/huge-length":
        conn.sendall(response("200 OK", [("Content-Length", 3000000000)]))
        hold_open(conn)
    elif path == "/stall-body":
        conn.sendall(response("200 OK", [("Content-Length", 1000)], b"s" * 10))
        hold_open(conn)
    elif path == "/silence":
        hold_open(conn)
    elif path == "/blob":
        serve_blob(conn, query)
    else:
        conn.sendall(response("404 Not Found", [("Content-Length", 0)]))


# The folder start() serves; the benchmark reads the negotiated cipher there.
served_folder = None


def note_cipher(conn):
    cipher = conn.cipher()
    if served_folder and cipher:
        with open(os.path.join(served_folder, "last-cipher"), "w") as out:
            out.write("%s %s\n" % (cipher[0], cipher[1]))


def handle(raw, context):
    conn = raw
    try:
        if context == "mute":
            hold_open(conn)
            return
        if context is not None:
            conn = context.wrap_socket(raw, server_side=True)
            note_cipher(conn)
        ending = serve(conn)
        if context is not None and ending != "abrupt":
            try:
                conn.unwrap()
            except (OSError, ValueError):
                pass
    except (OSError, ssl.SSLError, ValueError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def start(folder):
    global served_folder
    served_folder = folder
    global state_folder
    state_folder = folder
    warnings.simplefilter("ignore", DeprecationWarning)
    os.makedirs(folder, exist_ok=True)
    make_certificates(folder)
    versions = {"tls10": ssl.TLSVersion.TLSv1, "tls11": ssl.TLSVersion.TLSv1_1,
                "tls12": ssl.TLSVersion.TLSv1_2, "tls13": ssl.TLSVersion.TLSv1_3}
    listeners = {"plain": None, "tls": tls_context(folder, "localhost"),
                 "wrongName": tls_context(folder, "wrong-name"),
                 "selfSigned": tls_context(folder, "self-signed")}
    for key, version in versions.items():
        listeners[key] = tls_context(folder, "localhost", version)
    listeners["mute"] = "mute"
    ports = []
    for key, context in listeners.items():
        sock = peer_sockets.listen()
        ports.append((key, sock.getsockname()[1]))
        peer_sockets.start_accepting(sock, lambda raw, context=context: handle(raw, context))

    # Linux drops SYNs while the accept queue is full: connects then hang.
    backlog = peer_sockets.listen(0)
    fillers = []
    for _ in range(8):
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        filler.connect_ex(backlog.getsockname())
        fillers.append(filler)
    time.sleep(0.2)
    ports.append(("backlog", backlog.getsockname()[1]))

    with open(os.path.join(folder, "ports"), "w") as out:
        out.write("".join("%s %d\n" % entry for entry in ports))
    return fillers + [backlog]


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "--serve":
        keep = start(sys.argv[2])
        threading.Event().wait()
    elif len(sys.argv) >= 3 and sys.argv[1] == "--exec":
        base = os.environ.get("ZAV_BINARY_DIR") or None
        folder = tempfile.mkdtemp(prefix="http-scenarios-", dir=base)
        try:
            keep = start(folder)
            child = subprocess.run(sys.argv[2:], env=dict(os.environ, ZAV_HTTP_SCENARIOS=folder))
            code = child.returncode
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        del keep
        sys.stdout.flush()
        os._exit(code if code >= 0 else 1)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
