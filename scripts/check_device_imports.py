#!/usr/bin/env python3
"""Fails when the Windows build of zelt-update calls a system or C-runtime function that the
device's coredll does not have.

What counts is what our own and the decoder's objects linked into zelt-update leave undefined
(the link map names those objects), less what they define for each other; the compiler's start-up
code is not looked at. The allowed names are in platform/device_imports.txt.

usage: check_device_imports.py --nm NM --map zelt-update.map --list device_imports.txt
                               --build-dir DIR [--leading-underscore]
"""
import argparse
import os
import re
import subprocess
import sys


def read_list(path):
    """Returns {section: set of names}; a section "pc FILE" allows its names in FILE's object only."""
    sections = {}
    current = None
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            if text.startswith("[") and text.endswith("]"):
                current = text[1:-1].strip()
                sections.setdefault(current, set())
            elif current is None:
                sys.exit(f"{path}:{number}: a name before the first [section]")
            else:
                sections[current].add(text.split()[0])
    return sections


def linked_members(map_path, build_dir):
    """(archive, member) pairs of our own build that the link took, from the GNU ld link map."""
    link_dir = os.path.dirname(os.path.abspath(map_path))
    build_dir = os.path.abspath(build_dir)
    members = set()
    member_line = re.compile(r"^(\S+\.a)\(([^()]+)\)$")
    with open(map_path, encoding="utf-8", errors="replace") as link_map:
        for line in link_map:
            match = member_line.match(line.rstrip("\n"))
            if not match:
                continue
            archive = os.path.normpath(os.path.join(link_dir, match.group(1)))
            if archive.startswith(build_dir + os.sep):
                members.add((archive, match.group(2)))
    return members


def symbols(nm, archive):
    """{member: (defined names, undefined names)} of every member of archive."""
    out = subprocess.run([nm, "-P", "-A", archive], check=True, capture_output=True, text=True).stdout
    table = {}
    entry = re.compile(r"^.*\[([^\]]+)\]: (\S+) (\w)")
    for line in out.splitlines():
        match = entry.match(line)
        if not match:
            continue
        member, name, kind = match.groups()
        defined, undefined = table.setdefault(member, (set(), set()))
        (undefined if kind == "U" else defined).add(name)
    return table


def plain_name(symbol, leading_underscore):
    """The function's own name: no import-table prefix, and on 32-bit x86 no decoration."""
    name = symbol[len("__imp_"):] if symbol.startswith("__imp_") else symbol
    if leading_underscore:
        name = re.sub(r"@\d+$", "", name)
        if name.startswith("_"):
            name = name[1:]
    return name


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nm", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("--list", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--leading-underscore", action="store_true")
    args = parser.parse_args()

    sections = read_list(args.list)
    everywhere = sections.get("coredll", set()) | sections.get("compiler", set())
    members = linked_members(args.map, args.build_dir)
    if not members:
        sys.exit(f"{args.map}: names none of our objects; is it the link map of zelt-update?")

    tables = {archive: symbols(args.nm, archive) for archive in {a for a, _ in members}}
    defined = set()
    for archive, member in members:
        defined |= tables[archive].get(member, (set(), set()))[0]

    used = set()
    violations = []
    for archive, member in sorted(members):
        source = member[: -len(".obj")] if member.endswith(".obj") else member
        allowed = everywhere | sections.get(f"pc {source}", set())
        for symbol in sorted(tables[archive].get(member, (set(), set()))[1] - defined):
            name = plain_name(symbol, args.leading_underscore)
            used.add(name)
            if name not in allowed:
                violations.append(f"  {name}  (called from {source})")

    if violations:
        print("zelt-update calls what the device's coredll does not have:")
        print("\n".join(violations))
        print(f"The device program may call only what {args.list} lists.")
        return 1
    print(f"zelt-update: {len(members)} objects call {len(used)} system and C-runtime functions, "
          f"all of them on the device's list")
    return 0


if __name__ == "__main__":
    sys.exit(main())
