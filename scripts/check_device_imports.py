#!/usr/bin/env python3
"""Fails when the device program calls a system or C-runtime function that the device's coredll
does not have, or when the device's list names a function that nothing calls.

What counts is what our own and the decoder's objects leave undefined, less what they define for
each other: in a Windows build, the objects the link of zelt-update took (its link map names
them; the compiler's start-up code is not looked at); for a target with no C runtime to link
against, every object given; for a program linked for the device, its import table. The
allowed names are in platform/device_imports.txt, and each coredll name the build calls must be
an export of CE 6.0's coredll (platform/coredll_exports.txt).

usage: check_device_imports.py --nm NM --list device_imports.txt --target TARGET
                               (--map zelt-update.map --build-dir DIR | --objects FILE...
                                | --exe zelt-update.exe --objdump OBJDUMP)
                               [--exports coredll_exports.txt] [--leading-underscore]
"""
import argparse
import os
import re
import subprocess
import sys

SPELLINGS = "pc spellings"


class Entry:
    def __init__(self, section, name, stands_for, targets, where):
        self.section, self.name, self.stands_for = section, name, stands_for
        self.targets, self.where = targets, where


def read_list(path):
    """The entries of the list. A line is NAME, or in [pc spellings] NAME = COREDLL_NAME, and may
    end in (TARGET...) when only those targets call it."""
    entries = []
    section = None
    line_form = re.compile(r"^(\S+)(?:\s*=\s*(\S+))?(?:\s*\(([^()]*)\))?$")
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            text = line.split("#", 1)[0].strip()
            where = f"{path}:{number}"
            if not text:
                continue
            if text.startswith("[") and text.endswith("]"):
                section = text[1:-1].strip()
                continue
            match = line_form.match(text)
            if section is None or not match or (match.group(2) is None) != (section != SPELLINGS):
                sys.exit(f"{where}: not a line of its section: {text}")
            targets = set(match.group(3).split()) if match.group(3) else None
            entries.append(Entry(section, match.group(1), match.group(2), targets, where))
    coredll = {e.name for e in entries if e.section == "coredll"}
    for entry in entries:
        if entry.section == SPELLINGS and entry.stands_for not in coredll:
            sys.exit(f"{entry.where}: {entry.stands_for} is not a [coredll] name")
    return entries


def read_exports(path):
    """{section: names} of the export list."""
    sections = {}
    section = None
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            if text.startswith("[") and text.endswith("]"):
                section = sections.setdefault(text[1:-1].strip(), set())
            elif section is None or " " in text:
                sys.exit(f"{path}:{number}: not a name of a section: {text}")
            else:
                section.add(text)
    return sections


def imports(objdump, exe):
    """{dll: names} of a PE program's import table."""
    out = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    table = {}
    names = None
    for line in out.splitlines():
        dll = re.match(r"^\s*DLL Name: (\S+)", line)
        if dll:
            names = table.setdefault(dll.group(1), set())
            continue
        entry = re.match(r"^\s+[0-9a-fA-F]+\s+(?:<none>\s+)?[0-9a-fA-F]+\s+(\S+)$", line)
        if names is not None and entry:
            names.add(entry.group(1))
        elif not line.strip():
            names = None
    return table


def check_exe(args):
    """The program, start-up code included, imports from coredll alone; which names our own
    objects may call, the check of its link map says."""
    table = imports(args.objdump, args.exe)
    failures = [f"  {dll}  (imports from nothing but COREDLL.dll)"
                for dll in table if dll.upper() != "COREDLL.DLL"]
    used = set().union(*table.values()) if table else set()
    if not used:
        failures.append(f"  {args.exe} imports nothing: is it a linked program?")
    return used, failures


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
            # _deps holds what the build fetched or made from data, not our own objects.
            if archive.startswith(build_dir + os.sep) and \
                    not archive.startswith(os.path.join(build_dir, "_deps") + os.sep):
                members.add((archive, match.group(2)))
    return members


def symbols(nm, path):
    """{member: (defined names, undefined names)} of an archive, or of an object as its own
    only member."""
    out = subprocess.run([nm, "-P", "-A", path], check=True, capture_output=True, text=True).stdout
    table = {}
    entry = re.compile(r"^(?:.*\[([^\]]+)\]|[^:]+): (\S+) (\w)")
    for line in out.splitlines():
        match = entry.match(line)
        if not match:
            continue
        member, name, kind = match.groups()
        defined, undefined = table.setdefault(member or os.path.basename(path), (set(), set()))
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
    parser.add_argument("--list", required=True)
    parser.add_argument("--target", required=True, nargs="+",
                        help="x86_64, i686 or arm, and the compiler's own name where it calls more")
    parser.add_argument("--map")
    parser.add_argument("--build-dir")
    parser.add_argument("--objects", nargs="+")
    parser.add_argument("--exe")
    parser.add_argument("--objdump")
    parser.add_argument("--exports")
    parser.add_argument("--leading-underscore", action="store_true")
    args = parser.parse_args()

    if args.exe:
        used, failures = check_exe(args)
        return report(args, used, used, failures, [],
                      f"{os.path.basename(args.exe)} imports", "all from COREDLL.dll")
    if args.objects:
        members = {(path, member) for path in args.objects for member in symbols(args.nm, path)}
    else:
        members = linked_members(args.map, args.build_dir)
        if not members:
            sys.exit(f"{args.map}: names none of our objects; is it the link map of zelt-update?")
    tables = {path: symbols(args.nm, path) for path in {p for p, _ in members}}
    defined = set()
    for path, member in members:
        defined |= tables[path].get(member, (set(), set()))[0]

    sources = {member[: -len(".obj")] if member.endswith(".obj") else member for _, member in members}
    # What this object set may call: names for every target or for this one, and a PC file's
    # names only when that file is in the set.
    entries = [e for e in read_list(args.list)
               if (e.targets is None or e.targets & set(args.target))
               and (not e.section.startswith("pc ") or e.section == SPELLINGS
                    or e.section[len("pc "):] in sources)]
    everywhere = {e.name for e in entries if not e.section.startswith("pc ") or e.section == SPELLINGS}

    used = set()
    violations = []
    for path, member in sorted(members):
        source = member[: -len(".obj")] if member.endswith(".obj") else member
        allowed = everywhere | {e.name for e in entries if e.section == f"pc {source}"}
        for symbol in sorted(tables[path].get(member, (set(), set()))[1] - defined):
            name = plain_name(symbol, args.leading_underscore)
            used.add(name)
            if name not in allowed:
                violations.append(f"  {name}  (called from {source})")
    used |= {e.stands_for for e in entries if e.section == SPELLINGS and e.name in used}
    unused = [f"  {e.name}  ({e.where})" for e in entries if e.name not in used]

    coredll = {e.name for e in entries if e.section == "coredll"}
    return report(args, used, used & coredll, violations, unused, f"{len(members)} objects call",
                  "each on the device's list, and the list names nothing else")


def report(args, used, coredll, violations, unused, what, found):
    """Prints the findings, the coredll names among them checked against CE 6.0's exports."""
    if args.exports:
        exports = read_exports(args.exports)
        known = set().union(*exports.values())
        violations = violations + [f"  {name}  (no export of CE 6.0's coredll, {args.exports})"
                                   for name in sorted(coredll) if name not in known]
    failed = False
    if violations:
        print("The device program calls what the device's coredll does not have:")
        print("\n".join(violations))
        print(f"The device program may call only what {args.list} lists.")
        failed = True
    if unused:
        print(f"{args.list} allows what nothing in this {' '.join(args.target)} build calls:")
        print("\n".join(unused))
        print("Remove it, or name the targets that call it, e.g. (arm).")
        failed = True
    if failed:
        return 1
    exported = ", the coredll ones CE 6.0 exports" if args.exports else ""
    print(f"device program ({' '.join(args.target)}): {what} {len(used)} system, C-runtime and "
          f"compiler functions, {found}{exported}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
