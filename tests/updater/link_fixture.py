#!/usr/bin/python3
"""Runs a test command with a client folder that holds symbolic links.

    link_fixture.py COMMAND [ARGS...]

Wine cannot make links itself but shows a Unix symbolic link as a reparse
point, so the links are made here: TOP/client/link and TOP/client/old/link
point at TOP/outside, which holds precious.txt. ZAV_LINK_FIXTURE=TOP is passed
to the command; TOP is removed afterwards (links are not followed).
"""

import os
import shutil
import subprocess
import sys
import tempfile


def main():
    if len(sys.argv) < 2:
        sys.stderr.write(__doc__)
        sys.exit(2)
    top = tempfile.mkdtemp(prefix="zav-links-")
    client = os.path.join(top, "client")
    outside = os.path.join(top, "outside")
    os.makedirs(os.path.join(client, "old"))
    os.makedirs(outside)
    with open(os.path.join(outside, "precious.txt"), "w") as out:
        out.write("precious")
    os.symlink(outside, os.path.join(client, "old", "link"))
    os.symlink(outside, os.path.join(client, "link"))
    try:
        code = subprocess.call(sys.argv[1:], env=dict(os.environ, ZAV_LINK_FIXTURE=top))
    finally:
        shutil.rmtree(top, ignore_errors=True)
    sys.exit(code)


if __name__ == "__main__":
    main()
