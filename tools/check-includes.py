#!/usr/bin/python3
"""Fails when a product file includes a room above its own.

The rooms, low to high; a file may include its own room and any room below:
  core < uv2wm < service < netcfg < probe < tunnel < update < core/app < bridge < core/start
core/app and core/start are rooms of their own; the rest of core/ is core.
The updater links only system libraries: it may include updater/ and the
header-only files listed in UPDATER_MAY_INCLUDE, and no other room includes it.
"""
import os
import re
import sys

ORDER = ["core", "uv2wm", "service", "netcfg", "probe", "tunnel", "update", "core/app", "bridge", "core/start"]
ROOMS_CHECKED = ["core", "uv2wm", "service", "netcfg", "probe", "tunnel", "update", "bridge", "updater"]
UPDATER_MAY_INCLUDE = {"update/UpdateBlockFormat.h", "update/RelativePath.h", "core/win/WinHandle.h"}
SOURCE_ENDINGS = (".h", ".c", ".cpp", ".h.in")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def room_of(path):
    parts = path.split("/")
    if parts[0] == "core" and len(parts) > 2 and parts[1] in ("app", "start"):
        return "core/" + parts[1]
    return parts[0]


def generated_headers(top):
    # Headers made at configure time from core/*.h.in are included by bare name.
    return {name[:-3] for name in os.listdir(os.path.join(top, "core")) if name.endswith(".h.in")}


def check(top):
    generated = generated_headers(top)
    problems = []
    for room in ROOMS_CHECKED:
        for folder, _, names in os.walk(os.path.join(top, room)):
            for name in sorted(names):
                if not name.endswith(SOURCE_ENDINGS):
                    continue
                full = os.path.join(folder, name)
                path = os.path.relpath(full, top).replace(os.sep, "/")
                with open(full, encoding="utf-8") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if match:
                            problem = judge(top, path, match.group(1), generated)
                            if problem:
                                problems.append("%s:%d: includes %s: %s" % (path, number, match.group(1), problem))
    return problems


def judge(top, path, included, generated):
    source_room = room_of(path)
    if "/" not in included:
        if included in generated and source_room != "updater":
            return None
        return "name the room (\"room/File.h\")"
    if not os.path.isfile(os.path.join(top, included)):
        return "no such file"
    target_room = room_of(included)
    if source_room == "updater":
        if target_room == "updater" or included in UPDATER_MAY_INCLUDE:
            return None
        return "the updater may include only updater/ and " + ", ".join(sorted(UPDATER_MAY_INCLUDE))
    if target_room == "updater":
        return "only the updater includes updater/"
    if target_room not in ORDER:
        return "%s is not a room of the client" % target_room
    if ORDER.index(target_room) > ORDER.index(source_room):
        return "%s is above %s" % (target_room, source_room)
    return None


def main():
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    problems = check(top)
    for name in sorted(UPDATER_MAY_INCLUDE):
        stem = os.path.join(top, name[:-2])
        if os.path.exists(stem + ".cpp") or os.path.exists(stem + ".c"):
            problems.append("%s: the updater includes it, so it must stay header-only" % name)
    if problems:
        print("check-includes: includes against the rooms' order (%s):" % " < ".join(ORDER))
        for problem in problems:
            print("  " + problem)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
