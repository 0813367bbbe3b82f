#!/usr/bin/python3
"""Writes a signed update manifest ("/desc") that describes a client folder as
it is, so the client's update check finds it up to date.

    make_manifest.py CLIENT_PROGRAM OUT_FILE [PRIVATE_KEY_PEM]

The document names CLIENT_PROGRAM's SHA-1 as "entryProgram" and, when
"ZAV.upd" lies beside it, that file's as "updaterProgram" (otherwise the
client's own); no required or deleted files. Signed with PKCS#1 v1.5 over
SHA-512 with the key (default: tests/keys/service-test-private.pem).
"""

import base64
import hashlib
import json
import os
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

HERE = os.path.dirname(os.path.abspath(__file__))


def sha1_of(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def main():
    if len(sys.argv) not in (3, 4):
        sys.stderr.write(__doc__)
        sys.exit(2)
    program, out = sys.argv[1], sys.argv[2]
    key_path = sys.argv[3] if len(sys.argv) == 4 else os.path.join(HERE, "..", "keys", "service-test-private.pem")
    updater = os.path.join(os.path.dirname(os.path.abspath(program)), "ZAV.upd")
    entry = sha1_of(program)
    document = json.dumps({
        "entryProgram": entry,
        "updaterProgram": sha1_of(updater) if os.path.isfile(updater) else entry,
        "deletedFiles": [],
        "requiredFiles": {},
    }, separators=(",", ":")).encode("utf-8")
    with open(key_path, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), password=None)
    signature = key.sign(document, padding.PKCS1v15(), hashes.SHA512())
    with open(out, "wb") as f:
        f.write(base64.b64encode(document) + b"\n" + base64.b64encode(signature))


if __name__ == "__main__":
    main()
