#!/usr/bin/env python3
"""Checks that zelt-check --json prints one JSON document in UTF-8, whatever the console's code
page, on every exit: for a package the device takes, one it refuses (a damaged item with a Chinese
name: its code and item), one it cannot read, and all three in one call.

Usage: check_json.py PACKAGES_DIR SCRATCH HOST_ROOT ZELT_CHECK [RUNNER...]
(RUNNER is the command that runs a Windows build's program on this host, HOST_ROOT the drive it
shows the host's "/" as.)"""
import json
import os
import shutil
import subprocess
import sys


def main():
    packages, scratch, host_root, check, runner = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
    os.makedirs(scratch, exist_ok=True)
    damaged = os.path.join(scratch, "damaged.7z")
    shutil.copyfile(os.path.join(packages, "chinese.7z"), damaged)
    with open(damaged, "r+b") as package:
        package.seek(34)
        byte = package.read(1)
        package.seek(34)
        package.write(bytes([byte[0] ^ 0xFF]))
    rows = [  # package, exit, verdict, (code, item) of a finding it must have
        (os.path.join(packages, "one-file.7z"), 0, "take", None),
        (damaged, 1, "refuse", ("data-error", "说明.txt")),
        (os.path.join(packages, "volumes-001.7z"), 2, "unreadable", ("truncated", None)),
    ]
    failures = []
    paths = [host_root + row[0] for row in rows]
    for row, path in zip(rows, paths):
        failures += check_run(runner + [check, "--json", path], row[1], [row])
    failures += check_run(runner + [check, "--json"] + paths, 2, rows)
    for failure in failures:
        print(failure)
    sys.exit(1 if failures else 0)


def check_run(command, status, rows):
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    where = " ".join(command[-len(rows):])
    try:
        document = json.loads(run.stdout.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        return ["%s: not UTF-8 JSON (%s): %r" % (where, error, run.stdout)]
    failures = [] if run.returncode == status else ["%s: exit %d, not %d" % (where, run.returncode, status)]
    results = document if len(rows) > 1 else [document]
    for (package, exit_code, verdict, finding), result in zip(rows, results):
        if (result["exit"], result["verdict"]) != (exit_code, verdict):
            failures.append("%s: %s" % (package, result))
        found = [(f["code"], f["item"]) for f in result["findings"]]
        if finding is not None and finding not in found:
            failures.append("%s: no finding %s among %s" % (package, finding, found))
    return failures


if __name__ == "__main__":
    main()
