#!/usr/bin/python3
"""Prints a debug.dat decrypted with the log's private key.

usage: readlog.py debug.dat [private-key.pem]
"""
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def decrypt(blob, private_pem):
    key = serialization.load_pem_private_key(private_pem, password=None)
    head = key.decrypt(blob[:256], padding.PKCS1v15())
    aes_key, counter = head[:16], bytearray(head[16:32])
    ecb = Cipher(algorithms.AES(aes_key), modes.ECB()).encryptor()
    out = bytearray()
    body = blob[256:]
    for start in range(0, len(body), 16):
        if start:
            for i in range(16):  # little-endian: byte 0 is the lowest
                counter[i] = (counter[i] + 1) & 0xFF
                if counter[i]:
                    break
        stream = ecb.update(bytes(counter))
        chunk = body[start:start + 16]
        out.extend(b ^ s for b, s in zip(chunk, stream))
    return bytes(out)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    key_path = sys.argv[2] if len(sys.argv) > 2 else __file__.rsplit('/', 2)[0] + '/tests/keys/log-test-private.pem'
    with open(sys.argv[1], 'rb') as f:
        blob = f.read()
    with open(key_path, 'rb') as f:
        pem = f.read()
    sys.stdout.write(decrypt(blob, pem).decode('utf-8', 'replace'))


if __name__ == '__main__':
    main()
