#!/usr/bin/python3
"""The shipped programs carry no debug information; each names its debug file
beside it through a debug link whose checksum matches, as a debugger needs.
  shipped_programs_test.py OBJDUMP DIST_FOLDER PROGRAM..."""
import os
import subprocess
import sys
import zlib


def sections(objdump, path):
    out = subprocess.run([objdump, "-h", path], check=True, capture_output=True, text=True).stdout
    names = []
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[0].isdigit():
            names.append(fields[1])
    return names


def section_bytes(objdump, path, name):
    out = subprocess.run([objdump, "-s", "-j", name, path], check=True, capture_output=True, text=True).stdout
    data = b""
    for line in out.splitlines():
        fields = line.split()
        # " ADDRESS WORD WORD WORD WORD  TEXT": up to four groups of hex digits after the address
        if len(fields) < 2 or not line.startswith(" "):
            continue
        for word in fields[1:5]:
            if len(word) % 2 or any(c not in "0123456789abcdef" for c in word):
                break
            data += bytes.fromhex(word)
    return data


def check(objdump, folder, program):
    path = os.path.join(folder, program)
    faults = []
    names = sections(objdump, path)
    carried = [n for n in names if n.startswith(".debug_")]
    if carried:
        faults.append(f"{program} carries debug sections {carried}")
    if ".gnu_debuglink" not in names:
        return faults + [f"{program} has no debug link"]
    link = section_bytes(objdump, path, ".gnu_debuglink")
    end = link.find(b"\0")
    linked = link[:end].decode()
    if linked != program + ".debug":
        faults.append(f"{program} links to {linked!r}")
    debug_path = os.path.join(folder, linked)
    if not os.path.isfile(debug_path):
        return faults + [f"{linked} is not beside {program}"]
    crc_at = (end + 4) & ~3
    want = int.from_bytes(link[crc_at:crc_at + 4], "little")
    with open(debug_path, "rb") as f:
        have = zlib.crc32(f.read())
    if have != want:
        faults.append(f"{linked} does not match the link's checksum")
    if ".debug_info" not in sections(objdump, debug_path):
        faults.append(f"{linked} holds no debug information")
    return faults


def main():
    objdump, folder, programs = sys.argv[1], sys.argv[2], sys.argv[3:]
    faults = [fault for program in programs for fault in check(objdump, folder, program)]
    for fault in faults:
        print(fault)
    print(f"{len(programs) - len({f.split()[0] for f in faults})} passed, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
