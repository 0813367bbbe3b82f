#!/usr/bin/python3
"""Runs a test command beside folders that hold links to a folder outside them.

    link_fixture.py COMMAND [ARGS...]

Wine cannot make links itself but shows a Unix symbolic link to a folder as a
reparse point (one to a file is not shown so), and GetFinalPathNameByHandleW
names what a link led to, so the links are made here. Below TOP:

    outside/precious.txt   "precious", what no link may lead a write or a
    outside/hard.txt       removal to; "hard", also named links/hard.dat
    client/link, client/old/link          -> outside
    links/folder                          -> outside
    links/file.dat                        -> outside/precious.txt
    links/hard.dat                        a hard link of outside/hard.txt
    links/tree/plain.txt, links/tree/sub/plain.txt
    links/tree/sub/link                   -> outside
    links/tree/file-link.txt              -> outside/precious.txt
    links/swap/link                       -> outside

ZAV_LINK_FIXTURE=TOP is passed to the command; TOP is removed afterwards
(links are not followed).
"""

import os
import shutil
import subprocess
import sys
import tempfile


def write(path, text):
    with open(path, "w") as out:
        out.write(text)


def main():
    if len(sys.argv) < 2:
        sys.stderr.write(__doc__)
        sys.exit(2)
    top = tempfile.mkdtemp(prefix="zav-links-")
    client = os.path.join(top, "client")
    outside = os.path.join(top, "outside")
    links = os.path.join(top, "links")
    os.makedirs(os.path.join(client, "old"))
    os.makedirs(outside)
    os.makedirs(os.path.join(links, "tree", "sub"))
    os.makedirs(os.path.join(links, "swap"))
    write(os.path.join(outside, "precious.txt"), "precious")
    write(os.path.join(outside, "hard.txt"), "hard")
    os.symlink(outside, os.path.join(client, "old", "link"))
    os.symlink(outside, os.path.join(client, "link"))
    os.symlink(outside, os.path.join(links, "folder"))
    os.symlink(os.path.join(outside, "precious.txt"), os.path.join(links, "file.dat"))
    os.link(os.path.join(outside, "hard.txt"), os.path.join(links, "hard.dat"))
    write(os.path.join(links, "tree", "plain.txt"), "plain")
    write(os.path.join(links, "tree", "sub", "plain.txt"), "plain")
    os.symlink(outside, os.path.join(links, "tree", "sub", "link"))
    os.symlink(os.path.join(outside, "precious.txt"), os.path.join(links, "tree", "file-link.txt"))
    os.symlink(outside, os.path.join(links, "swap", "link"))
    try:
        code = subprocess.call(sys.argv[1:], env=dict(os.environ, ZAV_LINK_FIXTURE=top))
    finally:
        shutil.rmtree(top, ignore_errors=True)
    sys.exit(code)


if __name__ == "__main__":
    main()
