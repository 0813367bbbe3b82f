#!/usr/bin/python3
"""Stand-in backend for the channel tests and benchmark.

    conn_backend.py --exec PROGRAM [ARGS...]   serve while PROGRAM runs; exit with its code
    conn_backend.py --serve                    print "CONTROL CHANNEL\\n", serve until the
                                               first control connection closes

Listens on 127.0.0.1 with a channel port and a control port of the system's
choice; --exec passes them to PROGRAM as ZAV_CONN_BACKEND="CONTROL CHANNEL".

Channel: decrypts the key exchange with tests/keys/service-test-private.pem,
answers with fresh send keys, then reads request frames and answers each one
as the next request action says (the request text echoed when none is left).

Control lines (one reply line each):
    conn JSON   queue an action for the next channel connection:
                {"close":"beforeKeyReply"|"afterKeyReply"} {"stray":true}
                optional "delayMs"
    req JSON    queue an action for the next request:
                reply "text" | "size" N (deterministic bytes) | "hex" | echo (default);
                "compress": raw deflate behind a 0x00 byte; "trailing": a byte after
                the deflate stream; "badDeflate"; "truncateDeflate";
                "close": close instead of answering; "silent": never answer;
                "headerOnly": a first block announcing "size" (default 1000)
                bytes, then silence; "split" K: write the reply K bytes at a
                time, "pieceDelayMs" apart (default 1); "stray": one more byte
                after the reply; "delayMs" before answering; "hold": the answer
                waits for "release" (or ends with the connection)
    script JSON an action for every request whose "op" is the action's "op": scripts
                of one op answer in the order given, the last one for as long as
                it is asked; a request with a script takes no "req" action
    release     lets held answers go, and every later one until the next reset
    reset       drop queued actions, scripts, statistics, the release and open channel
                connections
    stats       JSON: connections, handshakes, extraAfterKeyExchange, requests
                [{length, blocks, fill (hex), digest (sha1 hex), head, text}], errors;
                text is the whole request for one of up to 4096 bytes
    deadport    a port that refuses connections
"""

import hashlib
import json
import os
import select
import socket
import subprocess
import sys
import threading
import time
import zlib
from collections import deque

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import peer_sockets

HERE = os.path.dirname(os.path.abspath(__file__))
KEY_PATH = os.path.join(HERE, "..", "keys", "service-test-private.pem")
with open(KEY_PATH, "rb") as key_file:
    PRIVATE_KEY = serialization.load_pem_private_key(key_file.read(), password=None)


def pattern_bytes(size):
    unit = bytes(0x41 + (i * 7) % 26 for i in range(26 * 16))
    return (unit * (size // len(unit) + 1))[:size]


def raw_deflate(data):
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


class Session:
    def __init__(self):
        self.lock = threading.Lock()
        self.conn_actions = deque()
        self.req_actions = deque()
        self.scripts = {}
        self.sockets = set()
        self.dead = []
        self.released = threading.Event()
        self.clear_stats()

    def clear_stats(self):
        self.stats = {"connections": 0, "handshakes": 0, "extraAfterKeyExchange": 0,
                      "requests": [], "errors": []}

    def next_action(self, queue):
        with self.lock:
            return queue.popleft() if queue else {}

    def request_action(self, request):
        try:
            op = json.loads(request.decode("utf-8")).get("op")
        except (ValueError, AttributeError):
            op = None
        with self.lock:
            scripted = self.scripted(op)
            if scripted is not None:
                return scripted
            return self.req_actions.popleft() if self.req_actions else {}

    def scripted(self, op):
        """The next action of op's script (its last one repeats), or None. Under the lock."""
        script = self.scripts.get(op)
        if not script:
            return None
        return script.popleft() if len(script) > 1 else script[0]

    def note(self, key, value=1):
        with self.lock:
            if isinstance(self.stats[key], list):
                self.stats[key].append(value)
            else:
                self.stats[key] += value

    def reset(self):
        with self.lock:
            self.conn_actions.clear()
            self.req_actions.clear()
            self.scripts.clear()
            self.clear_stats()
            self.released.clear()
            live = list(self.sockets)
            self.sockets.clear()
        for sock in live:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Closed(Exception):
    pass


def read_exact(sock, size):
    data = b""
    while len(data) < size:
        piece = sock.recv(size - len(data))
        if not piece:
            raise Closed()
        data += piece
    return data


def wait_for_close(sock):
    while sock.recv(4096):
        pass


def wait_for_release(sock, session):
    """True once released; False when the client closed the connection first."""
    while not session.released.wait(0.05):
        if select.select([sock], [], [], 0)[0] and not sock.recv(1, socket.MSG_PEEK):
            return False
    return True


def pause(action):
    delay = action.get("delayMs", 0)
    if delay:
        time.sleep(delay / 1000.0)


def reply_payload(action, request):
    if "text" in action:
        payload = action["text"].encode("utf-8")
    elif "hex" in action:
        payload = bytes.fromhex(action["hex"])
    elif "size" in action:
        payload = pattern_bytes(action["size"])
    else:
        payload = request
    if action.get("compress") or action.get("trailing") or action.get("truncateDeflate"):
        packed = raw_deflate(payload)
        if action.get("truncateDeflate"):
            packed = packed[:len(packed) // 2]
        payload = b"\0" + packed + (b"!" if action.get("trailing") else b"")
    elif action.get("badDeflate"):
        payload = b"\0\xff\xfe\xfd not a deflate stream"
    return payload


def reply_frame(encryptor, payload):
    size = len(payload)
    plain = size.to_bytes(3, "big") + payload
    plain += os.urandom(-len(plain) % 16)
    return encryptor.update(plain)


def write_pieces(sock, data, piece, delay_ms=1):
    if not piece:
        sock.sendall(data)
        return
    for start in range(0, len(data), piece):
        if start:
            time.sleep(delay_ms / 1000.0)
        sock.sendall(data[start:start + piece])


def serve_channel(sock, session):
    session.note("connections")
    action = session.next_action(session.conn_actions)
    first = read_exact(sock, 320)
    wrap = Cipher(algorithms.AES(first[:32]), modes.CBC(first[32:48])).decryptor()
    frame = wrap.update(first[48:])
    if int.from_bytes(frame[:2], "big") != 256:
        session.note("errors", "key exchange frame length %d" % int.from_bytes(frame[:2], "big"))
        return
    keys = PRIVATE_KEY.decrypt(frame[2:258], padding.PKCS1v15())
    if len(keys) != 48:
        session.note("errors", "key block of %d bytes" % len(keys))
        return
    sock.settimeout(0.05)
    try:
        extra = sock.recv(4096)
        if not extra:
            raise Closed()
        session.note("extraAfterKeyExchange", len(extra))
    except socket.timeout:
        pass
    sock.settimeout(None)
    if action.get("close") == "beforeKeyReply":
        pause(action)
        return
    send_key, send_iv = os.urandom(32), os.urandom(16)
    to_client = Cipher(algorithms.AES(keys[:32]), modes.CBC(keys[32:])).encryptor()
    # Counted before the reply goes: a client that is ready may ask for the
    # statistics before this thread runs again.
    session.note("handshakes")
    sock.sendall(to_client.update(send_key + send_iv))
    from_client = Cipher(algorithms.AES(send_key), modes.CBC(send_iv)).decryptor()
    if action.get("close") == "afterKeyReply":
        pause(action)
        return
    if action.get("stray"):
        pause(action)
        sock.sendall(b"\x01")
        wait_for_close(sock)
        return
    while True:
        try:
            head = from_client.update(read_exact(sock, 16))
        except Closed:
            return
        length = int.from_bytes(head[:2], "big")
        blocks = (length + 17) // 16
        plain = head + from_client.update(read_exact(sock, 16 * (blocks - 1)))
        request = plain[2:2 + length]
        session.note("requests", {"length": length, "blocks": blocks,
                                  "fill": plain[2 + length:].hex(),
                                  "digest": hashlib.sha1(request).hexdigest(),
                                  "head": request[:64].decode("utf-8", "replace"),
                                  "text": request.decode("utf-8", "replace") if length <= 4096 else None})
        act = session.request_action(request)
        pause(act)
        if act.get("hold") and not wait_for_release(sock, session):
            return
        if act.get("close"):
            return
        if act.get("silent"):
            wait_for_close(sock)
            return
        if act.get("headerOnly"):
            size = act.get("size", 1000)
            sock.sendall(to_client.update(size.to_bytes(3, "big") + pattern_bytes(13)))
            wait_for_close(sock)
            return
        write_pieces(sock, reply_frame(to_client, reply_payload(act, request)), act.get("split", 0),
                     act.get("pieceDelayMs", 1))
        if act.get("stray"):
            time.sleep(0.05)
            sock.sendall(b"\x01")
            wait_for_close(sock)
            return


def channel_thread(sock, session):
    try:
        serve_channel(sock, session)
    except Closed:
        pass
    except OSError:
        pass
    except Exception as error:  # a broken frame or key block shows in the statistics
        session.note("errors", repr(error))
    finally:
        with session.lock:
            session.sockets.discard(sock)
        try:
            sock.close()
        except OSError:
            pass


def accept_channels(listener, session):
    def serve(sock):
        with session.lock:
            session.sockets.add(sock)
        channel_thread(sock, session)
    peer_sockets.accept_loop(listener, serve)


def control_command(line, session):
    verb, _, rest = line.partition(" ")
    if verb == "conn":
        with session.lock:
            session.conn_actions.append(json.loads(rest))
        return "ok"
    if verb == "req":
        with session.lock:
            session.req_actions.append(json.loads(rest))
        return "ok"
    if verb == "script":
        action = json.loads(rest)
        with session.lock:
            session.scripts.setdefault(action.get("op"), deque()).append(action)
        return "ok"
    if verb == "release":
        session.released.set()
        return "ok"
    if verb == "reset":
        session.reset()
        return "ok"
    if verb == "stats":
        with session.lock:
            return json.dumps(session.stats)
    if verb == "deadport":
        # Bound but never listening: connects are refused, and the port stays ours.
        dead = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        dead.bind(("127.0.0.1", 0))
        session.dead.append(dead)
        return str(dead.getsockname()[1])
    return "error unknown command"


def control_connection(sock, session, done=None):
    reader = sock.makefile("rb")
    try:
        for raw in reader:
            line = raw.decode("utf-8").rstrip("\r\n")
            sock.sendall((control_command(line, session) + "\n").encode("utf-8"))
    except OSError:
        pass
    finally:
        sock.close()
        if done:
            done.set()


def main():
    session = Session()
    channel = peer_sockets.listen()
    control = peer_sockets.listen()
    threading.Thread(target=accept_channels, args=(channel, session), daemon=True).start()
    ports = "%d %d" % (control.getsockname()[1], channel.getsockname()[1])

    def serve_control(sock):
        control_connection(sock, session)

    if len(sys.argv) > 2 and sys.argv[1] == "--exec":
        peer_sockets.start_accepting(control, serve_control)
        env = dict(os.environ, ZAV_CONN_BACKEND=ports)
        return subprocess.call(sys.argv[2:], env=env)
    if len(sys.argv) == 2 and sys.argv[1] == "--serve":
        print(ports, flush=True)
        control.settimeout(60)
        try:
            sock, _ = control.accept()
        except socket.timeout:
            return 1
        control.settimeout(None)
        done = threading.Event()
        threading.Thread(target=control_connection, args=(sock, session, done), daemon=True).start()
        peer_sockets.start_accepting(control, serve_control)
        done.wait()
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
