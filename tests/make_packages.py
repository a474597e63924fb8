#!/usr/bin/env python3
"""Makes the packages that the extractor and update tests unpack, before any test runs, so that no
test needs a shell or a packer (the Windows build runs the same tests where neither exists).

Usage: make_packages.py OUTDIR

For every package NAME it writes OUTDIR/NAME.7z and OUTDIR/NAME.slt, the technical listing that
7zz gives of it (the tests read the coders of the last folder from there). The folder a package
was packed from is OUTDIR/trees/TREE: what unpacking must give back. File contents are fixed bytes,
and modes and times are set, so every run makes the same packages.
"""
import os
import shutil
import subprocess
import sys

FILE_TIME = 1262304000  # 2010-01-01, for every file and folder packed


def noise(size, seed):
    """Deterministic bytes that do not compress (xorshift32)."""
    state = (seed * 2654435761 + 0x9E3779B9) & 0xFFFFFFFF or 1
    out = bytearray(size)
    for i in range(size):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out[i] = state & 0xFF
    return out


def sample(size, seed):
    """Bytes that compress poorly and well in turns of 4096, so that every coder has work."""
    text = b"MOV R0, #1; BL 0x8000\n"
    out = noise(size, seed)
    for i in range(size):
        if (i // 4096) % 2 == 1:
            out[i] = text[i % len(text)]
    return bytes(out)


def x86_like(size, seed):
    """x86 calls and jumps (E8, E9, 0F 8x) with near targets: work for BCJ and all BCJ2 streams."""
    out = bytearray(sample(size, seed))
    for i in range(0, size - 5, 16):
        at = i
        kind = (i // 16) % 3
        if kind == 2:
            out[at] = 0x0F
            at += 1
        out[at] = (0xE8, 0xE9, 0x85)[kind]
        out[at + 1:at + 5] = (i * 31 % 0x10000).to_bytes(4, "little")
    return bytes(out)


def arm_like(size, seed):
    """ARM BL instructions (condition "always", top byte EB) between other words."""
    out = bytearray(sample(size, seed))
    for i in range(0, size - 3, 8):
        out[i:i + 4] = (0xEB000000 | (i * 13 % 0x10000)).to_bytes(4, "little")
    return bytes(out)


READ_ONLY = "read-only"

# Trees: relative path -> bytes, None for an empty folder, or (bytes, READ_ONLY).
TREES = {
    "empty": {},
    "app-in-bin": {"bin/app.exe": b"app"},
    "named-items": {"a/b/c.txt": b"c", "d/e": None},
    "chinese": {"说明.txt": b"text"},
    "long-names": {"x" * 54 + ".txt": b"fits", "y" * 55 + ".txt": b"too long"},
    "three-files": {"a.bin": sample(100000, 1), "b.txt": b"bee\n", "sub/x.txt": b"x\n"},
    "empty-folder": {"logs": None, "app.exe": b"app"},
    "three-blocks": {"f%d.bin" % i: sample(30000, i) for i in range(1, 4)},
    "six-blocks": {"f%d.bin" % i: sample(30000, i) for i in range(1, 7)},
    "one-file": {"a.txt": sample(5000, 3)},
    "forty-small": {"many/f%d.txt" % i: sample(300, i) for i in range(40)},
    "two-files": {"a.txt": sample(40000, 5), "b.txt": b"b"},
    # Code for both branch filters, a read-only file, a read-only empty file, nested and empty
    # folders, and many small files to share a solid block.
    "layouts": dict(
        {
            "bin/app.exe": x86_like(150000, 1),
            "bin/arm.dll": arm_like(80000, 2),
            "data/mixed.bin": sample(70000, 3),
            "a/b/c/deep.txt": b"deep\n",
            "readonly.txt": (sample(5000, 4), READ_ONLY),
            "zero.dat": (b"", READ_ONLY),
            "empty": None,
        },
        **{"many/f%d.txt" % i: sample(200, i) for i in range(30)}),
    "update": {
        "bin/app.exe": sample(6000, 1),
        "bin/lang/zh.txt": "语言\n".encode(),
        "ceusbkwrapperdrv.dll": b"new driver",
        "readme.txt": b"Zeltrovan 2.0\n",
    },
    "escaping": {"readme.txt": b"fine", "escape.txt": b"outside"},
    "firmware": {"firmware.bin": sample(5000, 7)},
    "blocked-item": {"EMMC_Check_File.txt/notes.txt": b"notes", "readme.txt": b"readme"},
    # An item that would land on the package copy the update unpacks.
    "self-named": {"ZELTROVAN.7Z": b"an item, not the package", "readme.txt": b"readme"},
    # An install and its next version, for a differential package between them.
    "anti-older": {"keep.txt": b"old", "sub/gone.txt": b"gone", "dir/x.txt": b"x"},
    "anti-newer": {"keep.txt": b"new", "sub": None},
    # 300 KB of bytes in 3,000 files: 12 MB of 4 KiB clusters.
    "small-files": {"d%02d/f%04d.txt" % (i // 100, i): noise(100, i) for i in range(3000)},
    # Incompressible, so that the package copy takes as much room as the file it brings.
    "incompressible": {"firmware.bin": noise(400000, 9)},
}

# Differential package name -> 7zz header switch: what changed from anti-older to anti-newer, with
# anti-items for what is gone.
DIFFERENTIAL = {"anti-items": "", "anti-items-plain-header": "-mhc=off"}

LAYOUTS = {
    "copy": "-m0=Copy",
    "lzma": "-m0=LZMA",
    "lzma2": "-m0=LZMA2",
    "ppmd": "-m0=PPMd",
    "lzma-not-solid": "-m0=LZMA -ms=off",
    "copy-bcj": "-m0=Copy -mf=BCJ",
    "lzma-bcj": "-m0=LZMA -mf=BCJ",
    "lzma2-bcj": "-m0=LZMA2 -mf=BCJ",
    "ppmd-bcj": "-m0=PPMd -mf=BCJ",
    "copy-arm": "-m0=Copy -mf=ARM",
    "lzma-arm": "-m0=LZMA -mf=ARM",
    "lzma2-arm": "-m0=LZMA2 -mf=ARM",
    "ppmd-arm": "-m0=PPMd -mf=ARM",
    "lzma-bcj2": "-m0=LZMA -mf=BCJ2",
    "lzma2-bcj2": "-m0=LZMA2 -mf=BCJ2",
    "ppmd-bcj2": "-m0=PPMd -mf=BCJ2",
}

# Package name -> (tree, 7zz switches, the items to name; None packs the whole tree).
PACKAGES = {
    "empty": ("empty", "", None),
    "app-in-bin": ("app-in-bin", "-m0=LZMA", None),
    # Named one by one, 7zz stores no items for the folders on the way.
    "named-items": ("named-items", "", ["a/b/c.txt", "d/e"]),
    "chinese": ("chinese", "-m0=LZMA2", None),
    "long-names": ("long-names", "-m0=LZMA", None),
    "three-files": ("three-files", "-m0=LZMA", None),
    "empty-folder": ("empty-folder", "-m0=LZMA", None),
    "lzma-per-item": ("three-blocks", "-m0=LZMA -ms=off", None),
    "lzma2-three-blocks": ("six-blocks", "-m0=LZMA2 -ms=2f", None),
    "ppmd-one-block": ("three-blocks", "-m0=PPMd -mf=BCJ", None),
    "bzip2": ("three-blocks", "-m0=BZip2", None),
    "one-file": ("one-file", "-m0=LZMA", None),
    "forty-small-solid": ("forty-small", "-m0=LZMA -ms=on", None),
    "two-files-not-solid": ("two-files", "-m0=LZMA -ms=off", None),
    "update": ("update", "", None),
    "update-stored": ("update", "-m0=Copy", None),
    # Stored and with a plain header, the package has the same size in every run.
    "firmware": ("firmware", "-m0=Copy -mhc=off", None),
    "blocked-item": ("blocked-item", "", None),
    "self-named": ("self-named", "", None),
    "small-files": ("small-files", "-m0=LZMA2", None),
    "incompressible": ("incompressible", "-m0=Copy", None),
}
PACKAGES.update({"layout-" + name: ("layouts", switches, None)
                 for name, switches in LAYOUTS.items()})


def write_tree(folder, files):
    os.makedirs(folder)
    for name, contents in files.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if contents is None:
            os.makedirs(path, exist_ok=True)
            continue
        mode = 0o644
        if isinstance(contents, tuple):
            contents, mode = contents[0], 0o444
        with open(path, "wb") as out:
            out.write(contents)
        os.chmod(path, mode)
    for parent, dirs, names in os.walk(folder):
        for name in dirs + names:
            os.utime(os.path.join(parent, name), (FILE_TIME, FILE_TIME), follow_symlinks=False)


def run(command, cwd):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def make_package(outdir, name, tree, switches, items):
    archive = os.path.join(outdir, name + ".7z")
    run(["7zz", "a", "-bd", "-bso0", "-bsp0"] + switches.split() + [archive] + (items or ["."]),
        os.path.join(outdir, "trees", tree))
    with open(os.path.join(outdir, name + ".slt"), "wb") as listing:
        subprocess.run(["7zz", "l", "-slt", archive], check=True, stdout=listing)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    outdir = os.path.abspath(sys.argv[1])
    if os.path.exists(outdir):
        shutil.rmtree(outdir)
    for tree, files in TREES.items():
        write_tree(os.path.join(outdir, "trees", tree), files)
    for name, (tree, switches, items) in PACKAGES.items():
        make_package(outdir, name, tree, switches, items)
    # Newer than the base, so that the changed file goes in the differential package.
    newer = os.path.join(outdir, "trees", "anti-newer")
    for parent, dirs, names in os.walk(newer):
        for name in dirs + names:
            os.utime(os.path.join(parent, name), (FILE_TIME + 3600, FILE_TIME + 3600))
    for name, switch in DIFFERENTIAL.items():
        base = os.path.join(outdir, name + "-base.7z")
        run(["7zz", "a", "-bd", "-bso0", "-bsp0", base, "."], os.path.join(outdir, "trees", "anti-older"))
        run(["7zz", "u", "-bd", "-bso0", "-bsp0"] + switch.split() +
            [base, "-u-", "-up0q3r2x2y2z0w2!" + os.path.join(outdir, name + ".7z"), "."], newer)
        os.remove(base)
    # An item that would land beside the install directory; 7zz refuses to store such a name.
    run(["bsdtar", "--format", "7zip", "-s", ",^escape,../zelt-escaped,", "-cf",
         os.path.join(outdir, "escaping.7z"), "readme.txt", "escape.txt"],
        os.path.join(outdir, "trees", "escaping"))


if __name__ == "__main__":
    main()
