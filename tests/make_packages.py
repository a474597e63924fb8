#!/usr/bin/env python3
"""Makes the packages that the extractor and update tests unpack, before any test runs, so that no
test needs a shell or a packer (the Windows build runs the same tests where neither exists).

Usage: make_packages.py OUTDIR

For every package NAME it writes OUTDIR/NAME.7z and OUTDIR/NAME.slt, the technical listing that
7zz gives of it (the tests read the coders of the last folder from there). The folder a package
was packed from is OUTDIR/trees/TREE: what unpacking must give back. Packages of other writers
(bsdtar, py7zr) are also unpacked with 7zz into OUTDIR/unpacked/NAME, what the extractor must give
back from them. File contents are fixed bytes, and modes and times are set, so every run makes the
same packages.
"""
import os
import random
import shutil
import struct
import subprocess
import sys
import zlib

import py7zr

FILE_TIME = 1262304000  # 2010-01-01, for every file and folder packed


def noise(size, seed):
    """Deterministic bytes that do not compress."""
    return bytearray(random.Random(seed).randbytes(size))


def sample(size, seed):
    """Bytes that compress poorly and well in turns of 4096, so that every coder has work."""
    text = b"MOV R0, #1; BL 0x8000\n" * (size // 22 + 1)
    out = noise(size, seed)
    for start in range(4096, size, 8192):
        out[start:start + 4096] = text[start:min(start + 4096, size)]
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


# A call or jump of each instruction set, from a random word r, for the branch converters.
BRANCHES = {
    "BCJ": lambda r: b"\xE8" + (r & 0xFFFF).to_bytes(4, "little"),  # near call
    "ARM": lambda r: (0xEB000000 | (r & 0xFFFFFF)).to_bytes(4, "little"),  # BL
    "ARMT": lambda r: ((0xF000 | (r & 0x7FF)).to_bytes(2, "little") +
                       (0xF800 | (r >> 11 & 0x7FF)).to_bytes(2, "little")),
    "ARM64": lambda r: ((0x94000000 if r & 1 else 0x90000000) | (r >> 1 & 0x3FFFFFF)).to_bytes(4, "little"),
    "PPC": lambda r: (0x48000001 | (r & 0x03FFFFFC)).to_bytes(4, "big"),  # bl
    "SPARC": lambda r: (0x40000000 | (r & 0x3FFFFF)).to_bytes(4, "big"),  # call
    "RISCV": lambda r: ((0x6F if r & 1 else 0x17) | (r & 0xFFFFF000) | (r >> 1 & 0xF80)).to_bytes(4,
                                                                                             "little"),
    "IA64": lambda r: r.to_bytes(4, "little"),  # bundles take any bytes
    "Delta": lambda r: r.to_bytes(4, "little"),
}


def instructions(kind, size, seed):
    """Bytes dense with one instruction set's calls and jumps, with random targets, so that some
    instruction lies across any boundary a decoder cuts the stream at."""
    rand = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        r = rand.getrandbits(32)
        out += BRANCHES[kind](r)
        if r % 7 == 0:
            out += rand.getrandbits(32).to_bytes(4, "little")  # something else now and then
    return bytes(out[:size])


def table_text(size):
    """Text that packs to a few KiB."""
    text = ""
    while len(text) < size:
        text += "Zeltrovan firmware table row %d\n" % len(text)
    return text.encode()


READ_ONLY = "read-only"
LONG = "a" * 120  # a folder name of packages at the device's path limit

# Levels of one-letter folders below the install directory while the deepest one's listing
# "\Zeltrovan\d\...\d\*.*" still fits the device's 259 units.
DEEPEST = (259 - len("\\Zeltrovan") - len("\\*.*")) // 2

# Trees: relative path -> bytes, None for a folder, or (either, READ_ONLY).
TREES = {
    "empty": {},
    "app-in-bin": {"bin/app.exe": b"app"},
    "named-items": {"a/a.txt": b"a", "a/b/c.txt": b"c", "d/e": None},
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
    # A file item named as the marker file the clean keeps, which replaces it.
    "marker-file": {"EMMC_Check_File.txt": b"new marker", "readme.txt": b"readme"},
    # An item that would land on the package copy the update unpacks.
    "self-named": {"ZELTROVAN.7Z": b"an item, not the package", "readme.txt": b"readme"},
    # A folder there of that name, which the copy stands in the way of.
    "self-named-folder": {"readme.txt": b"readme", "Zeltrovan.7z/notes.txt": b"notes"},
    # Paths at the device's limit and one unit over it, unpacked under "ZELTROVAN", which the
    # device counts as "\ZELTROVAN\" (11 units): a file it can create takes at most 248 units of
    # name, a folder it can list again ("\*.*" behind it) at most 244.
    "path-at-limit": {LONG + "/" + "b" * 123 + "/x": b"x", LONG + "/" + "c" * 127: b"c"},
    "path-over-folder": {LONG + "/" + "b" * 124: None},
    "path-over-file": {LONG + "/" + "c" * 128: b"c"},
    "path-over-file-folder": {LONG + "/" + "b" * 124 + "/x": b"x"},
    # An install and its next version, for a differential package between them.
    "anti-older": {"keep.txt": b"old", "sub/gone.txt": b"gone", "dir/x.txt": b"x"},
    # More items with data than without, so that a vector of either count has its own size.
    "anti-newer": dict({"keep.txt": b"new", "sub": None}, **{"new%d.txt" % i: b"n" for i in range(5)}),
    # Before, across and after the boundaries of a 64 KiB dictionary and of the decoder's output
    # buffers, an empty file among them.
    "window": {"a.bin": sample(10000, 1), "b.bin": sample(300000, 2), "c.bin": sample(65536, 3),
               "d.bin": sample(1, 4), "e.bin": b"", "f.bin": sample(250001, 5)},
    # Code that ends in a converted call, one file per folder.
    "calls-at-the-end": {"f%d.exe" % i: instructions("BCJ", 3000 + 1000 * i, i) + b"\xE8\x00\xF0\xFF\xFF"
                         for i in range(1, 7)},
    "four-large": {"f%d.bin" % i: sample(150000, i) for i in range(1, 5)},
    # An item named like the package, before a large one, so the package is read after the clash.
    "package-name-first": {"Zeltrovan.7z": b"an item, not the package", "later.bin": sample(600000, 11)},
    "read-only": {"bin/app.exe": (b"app", READ_ONLY), "bin/fonts/font.ttf": (b"font", READ_ONLY),
                  "bin/fonts": (None, READ_ONLY), "readme.txt": (b"1", READ_ONLY)},
    "table": {"table.txt": table_text(300 * 1024)},
    "three-tables": {name: table_text(300 * 1024) for name in ("table.txt", "copy1.txt", "copy2.txt")},
    # Over a thousand small files in 40 folders, a program of 8 MB, an empty folder, a Chinese name.
    "large": dict({"mod%d/f%d.dat" % (i // 26, i % 26): sample(100 + i * 37 % 3000, i)
                   for i in range(1040)},
                  **{"bin/app.exe": sample(8 << 20, 7), "帮助/说明.txt": "说明\n".encode(),
                     "empty": None}),
    # The same shape at a tenth of the files and a quarter of the program: enough for power cuts
    # in every phase, each of which runs two updates.
    "cuts": dict({"mod%d/f%d.dat" % (i // 26, i % 26): sample(100 + i * 37 % 3000, i)
                  for i in range(104)},
                 **{"bin/app.exe": sample(2 << 20, 7), "帮助/说明.txt": "说明\n".encode(),
                    "empty": None}),
    "empty-folder-only": {"logs": None, "readme.txt": b""},
    # As deep as the device allows: a folder at the deepest level, a file as deep as its name
    # lets it be ("ZELTROVAN\d\...\deep.txt" in 259 units).
    "deep": {"/".join(["d"] * DEEPEST): None,
             "/".join(["d"] * ((259 - len("ZELTROVAN") - len("\\deep.txt")) // 2) + ["deep.txt"]): b"deep\n"},
    # 300 KB of bytes in 3,000 files: 12 MB of 4 KiB clusters.
    "small-files": {"d%02d/f%04d.txt" % (i // 100, i): noise(100, i) for i in range(3000)},
    # Incompressible, so that the package copy takes as much room as the file it brings.
    "incompressible": {"firmware.bin": noise(400000, 9)},
}
# Names a Linux tree holds and the device's FAT volume does not, one to a package beside a name it
# does: a "\\" that 7zz stores as part of the name, a character FAT refuses (in a file's name and
# in a folder's), a control character, and the dot at the end that Windows drops.
ODD_NAMES = {"backslash": "a\\b.txt", "question": "what?.txt", "tab": "a\tb.txt", "trailing-dot": "notes.",
             "in-folder": "bin?/app.exe"}
TREES.update({"name-" + kind: {name: b"odd", "readme.txt": b"readme"} for kind, name in ODD_NAMES.items()})
# One folder of 5,000 files whose 160-unit names take 14 entries each: 70,000, more than FAT's
# 65,536 for a folder.
TREES["full-folder"] = {"f/%04d%s" % (i, "x" * 156): b"" for i in range(5000)}
# A package that holds an item of its own file name, which is not the name the device gives it.
TREES["release"] = {"release.7z": b"an item named like its package", "readme.txt": b"readme"}

# One file several times a branch converter's buffer, starting two bytes in so that two-byte
# instructions also lie across its boundaries, and ending in a part instruction.
TREES.update({"code-" + kind: {"code.bin": b"\x01\x02" + instructions(kind, 700001, 9)} for kind in BRANCHES})
TREES["code-BCJ-wide"] = {"code.bin": b"\x01\x02\x03" + instructions("BCJ", 700001, 9)}

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
    "copy-armt": "-m0=Copy -mf=ARMT",
    # BCJ2 with its call and jump streams stored.
    "bcj2-copy": "-m0=BCJ2 -m1=LZMA:d=64k -m2=Copy -m3=Copy -mb0s0:1 -mb0s1:2 -mb0s2:3",
}

# Package name -> (tree, 7zz switches, the items to name; None packs the whole tree).
PACKAGES = {
    "empty": ("empty", "", None),
    "app-in-bin": ("app-in-bin", "-m0=LZMA", None),
    # Named one by one, 7zz stores no items for the folders on the way; a/b is made after a.
    "named-items": ("named-items", "", ["a/a.txt", "a/b/c.txt", "d/e"]),
    "chinese": ("chinese", "-m0=LZMA2", None),
    "long-names": ("long-names", "-m0=LZMA", None),
    "three-files": ("three-files", "-m0=LZMA", None),
    "empty-folder": ("empty-folder", "-m0=LZMA", None),
    "lzma-per-item": ("three-blocks", "-m0=LZMA -ms=off", None),
    "lzma2-three-blocks": ("six-blocks", "-m0=LZMA2 -ms=2f", None),
    "ppmd-one-block": ("three-blocks", "-m0=PPMd -mf=BCJ", None),
    "bzip2": ("three-blocks", "-m0=BZip2", None),
    "deflate": ("one-file", "-m0=Deflate", None),
    "encrypted": ("one-file", "-m0=LZMA -pzelt", None),
    "encrypted-header": ("one-file", "-m0=LZMA -pzelt -mhe=on", None),
    "ppmd-plain-header": ("one-file", "-m0=PPMd -mhc=off", None),
    "one-file": ("one-file", "-m0=LZMA", None),
    "forty-small-solid": ("forty-small", "-m0=LZMA -ms=on", None),
    "two-files-not-solid": ("two-files", "-m0=LZMA -ms=off", None),
    "update": ("update", "", None),
    "update-stored": ("update", "-m0=Copy", None),
    # Stored and with a plain header, the package has the same size in every run.
    "firmware": ("firmware", "-m0=Copy -mhc=off", None),
    "blocked-item": ("blocked-item", "", None),
    # Named one by one: no item for the folder EMMC_Check_File.txt, only the file that needs it.
    "blocked-item-alone": ("blocked-item", "", ["readme.txt", "EMMC_Check_File.txt/notes.txt"]),
    "marker-file": ("marker-file", "", None),
    "self-named": ("self-named", "", None),
    # Named one by one: no item for the folder itself.
    "self-named-folder": ("self-named-folder", "", ["readme.txt", "Zeltrovan.7z/notes.txt"]),
    "one-file-lzma2": ("one-file", "-m0=LZMA2", None),
    "one-file-plain-header": ("one-file", "-m0=LZMA -md=64k -mhc=off", None),
    "window-lzma": ("window", "-ms=on -m0=LZMA -md=64k", None),
    "window-lzma2": ("window", "-ms=on -m0=LZMA2 -md=64k", None),
    "window-ppmd": ("window", "-ms=on -m0=PPMd", None),
    "window-bcj": ("window", "-ms=on -m0=LZMA2 -md=64k -mf=BCJ", None),
    "window-bcj2": ("window", "-ms=on -m0=LZMA2 -md=64k -mf=BCJ2", None),
    "calls-at-the-end": ("calls-at-the-end", "-m0=LZMA -mf=BCJ2 -ms=off", None),
    "four-large": ("four-large", "-m0=LZMA2 -md=64k -ms=on", None),
    "package-name-first": ("package-name-first", "-m0=Copy", None),
    "read-only": ("read-only", "", None),
    "table": ("table", "", None),
    "three-tables": ("three-tables", "", None),
    "large": ("large", "-m0=LZMA2 -mx=1", None),
    "cuts": ("cuts", "-m0=LZMA2 -mx=1", None),
    "deep": ("deep", "-m0=LZMA", None),
    "path-at-limit": ("path-at-limit", "", None),
    "path-over-folder": ("path-over-folder", "", None),
    "path-over-file": ("path-over-file", "", None),
    # Named alone, the file comes without the folder items on its way: only the folder that holds
    # it is too long.
    "path-over-file-folder": ("path-over-file-folder", "", [LONG + "/" + "b" * 124 + "/x"]),
    "small-files": ("small-files", "-m0=LZMA2", None),
    "incompressible": ("incompressible", "-m0=Copy", None),
}
PACKAGES.update({"name-" + kind: ("name-" + kind, "", None) for kind in ODD_NAMES})
PACKAGES.update({"full-folder": ("full-folder", "", None), "release": ("release", "", None)})
PACKAGES.update({"filter-" + kind: ("code-" + kind, "-m0=LZMA2 -md=64k -mf=" + kind +
                                    (":4" if kind == "Delta" else ""), None)
                 for kind in BRANCHES})
# With the dictionary 7zz picks, cut to the block, the decoder hands the filter more than it
# holds; a call lies across each of the filter's 256 KiB boundaries.
PACKAGES["filter-BCJ-wide"] = ("code-BCJ-wide", "-m0=LZMA2 -mf=BCJ", None)
PACKAGES.update({"layout-" + name: ("layouts", switches, None)
                 for name, switches in LAYOUTS.items()})

def py7zr_filter(method):
    """A py7zr filter: an id, or an id with its settings."""
    return {"id": method[0], **method[1]} if isinstance(method, tuple) else {"id": method}


# Packages made by other writers, at each of their coder settings, as their users make them:
# bsdtar from the folder ("." and "./" names, times and modes as stored by it), py7zr item by
# item. Name -> (writer, bsdtar compression or py7zr filters, tree). bsdtar's deflate and bzip2
# and py7zr's bzip2 and deflate are coders the device does not have.
WRITER_PACKAGES = dict(
    {"bsdtar-" + compression: ("bsdtar", compression, "layouts")
     for compression in ("store", "lzma1", "lzma2", "ppmd", "deflate", "bzip2")},
    **{"py7zr-" + name: ("py7zr", [py7zr_filter(method) for method in methods], "layouts") for name, methods in {
        "copy": [py7zr.FILTER_COPY],
        "lzma": [py7zr.FILTER_LZMA],
        "lzma2": [py7zr.FILTER_LZMA2],
        "bcj-lzma": [py7zr.FILTER_X86, py7zr.FILTER_LZMA],
        "bcj-lzma2": [py7zr.FILTER_X86, py7zr.FILTER_LZMA2],  # its default
        "arm-lzma": [py7zr.FILTER_ARM, py7zr.FILTER_LZMA],
        "arm-lzma2": [py7zr.FILTER_ARM, py7zr.FILTER_LZMA2],
        # PPMd with py7zr's 7 bytes of properties, at its default, a level and model of its own,
        # and after BCJ.
        "ppmd": [py7zr.FILTER_PPMD],
        "ppmd-level": [(py7zr.FILTER_PPMD, {"level": 4, "mem": 20})],
        "bcj-ppmd": [py7zr.FILTER_X86, py7zr.FILTER_PPMD],
        "bzip2": [py7zr.FILTER_BZIP2],
        "deflate": [py7zr.FILTER_DEFLATE],
    }.items()},
    # Paths at the device's limit, which the "./" in front of each name must not push over it,
    # and an item named like the package, which it must not hide.
    **{"bsdtar-path-at-limit": ("bsdtar", "lzma2", "path-at-limit"),
       "bsdtar-self-named": ("bsdtar", "store", "self-named")})


def write_tree(folder, files):
    os.makedirs(folder)
    read_only = []
    for name, contents in files.items():
        path = os.path.join(folder, name)
        if isinstance(contents, tuple):
            contents = contents[0]
            read_only.append(path)
        if contents is None:
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(contents)
        os.chmod(path, 0o644)
    for path in read_only:
        os.chmod(path, 0o555 if os.path.isdir(path) else 0o444)
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
        password = [switch for switch in switches.split() if switch.startswith("-p")]
        subprocess.run(["7zz", "l", "-slt"] + password + [archive], check=True, stdout=listing)


def bsdtar_package(archive, folder, compression):
    """bsdtar packs what "bsdtar -cf ARCHIVE ." in folder packs, but from a listing of the folder
    that gives each entry only its type, mode and time: taken from the disk, the times of access
    and change that bsdtar stores would differ from run to run."""
    lines = ["#mtree", ". type=dir mode=755 time=%d" % FILE_TIME]
    for parent, dirs, names in os.walk(folder):
        dirs.sort()
        for name in sorted(dirs + names):
            path = os.path.join(parent, name)
            kind = "dir" if os.path.isdir(path) else "file"
            mode = os.stat(path).st_mode & 0o777
            name = os.path.relpath(path, folder)
            lines.append("./%s type=%s mode=%o time=%d" % (name, kind, mode, FILE_TIME))
    manifest = archive + ".mtree"
    with open(manifest, "w") as out:
        out.write("\n".join(lines) + "\n")
    run(["bsdtar", "--format", "7zip", "--options", "7zip:compression=" + compression, "-cf", archive,
         "@" + manifest], folder)
    os.remove(manifest)


def py7zr_package(archive, folder, filters):
    """py7zr packs the folder's entries in a fixed order, as its writeall does in the folder's."""
    with py7zr.SevenZipFile(archive, "w", filters=filters) as package:
        for parent, dirs, names in os.walk(folder):
            dirs.sort()
            for name in sorted(dirs + names):
                path = os.path.join(parent, name)
                package.write(path, os.path.relpath(path, folder))


# Items in a chosen order under chosen names, which no folder on disk holds together (a file "data"
# and a folder "DATA"), as py7zr writes them: name -> [(stored name, bytes, or None for a folder)].
NAMED_PACKAGES = {
    "clash-file-then-folder": [("data", b"a file"), ("DATA/x.txt", b"x")],
    "clash-file-then-same-folder": [("data", b"a file"), ("data/x.txt", b"x")],
    "clash-folder-over-file": [("logs", b"a file"), ("LOGS", None)],
    "clash-file-over-folder": [("bin", None), ("bin/app.exe", b"app"), ("BIN", b"a file")],
    "case-twins": [("foo.txt", b"first"), ("readme.txt", b"readme"), ("FOO.TXT", b"second")],
    "dot-dot-last": [("readme.txt", b"readme"), ("a/..", b"the folder that holds a")],
}


def named_package(archive, items):
    """py7zr normalises names through pathlib, so each stored name is put back into its item record
    before the header is written."""
    work = archive + ".work"
    os.makedirs(work)
    with py7zr.SevenZipFile(archive, "w", filters=[{"id": py7zr.FILTER_LZMA2}]) as package:
        for i, (name, contents) in enumerate(items):
            source = os.path.join(work, str(i))
            if contents is None:
                os.makedirs(source)
            else:
                with open(source, "wb") as out:
                    out.write(contents)
            package.write(source, "placeholder")
            package.header.files_info.files[-1]["filename"] = name
    shutil.rmtree(work)


def make_writer_package(outdir, name, writer, setting, tree):
    archive = os.path.join(outdir, name + ".7z")
    folder = os.path.join(outdir, "trees", tree)
    if writer == "bsdtar":
        bsdtar_package(archive, folder, setting)
    else:
        py7zr_package(archive, folder, setting)
    with open(os.path.join(outdir, name + ".slt"), "wb") as listing:
        subprocess.run(["7zz", "l", "-slt", archive], check=True, stdout=listing)
    run(["7zz", "x", "-bd", "-bso0", "-bsp0", "-o" + os.path.join(outdir, "unpacked", name), archive], outdir)


def number(value):
    """A number as 7z headers write it: a first byte whose high bits count the bytes after it."""
    for extra in range(8):
        if value < 1 << (7 * (extra + 1)):
            first = (0xFF << (8 - extra)) & 0xFF | value >> (8 * extra)
            return bytes([first]) + (value & ((1 << (8 * extra)) - 1)).to_bytes(extra, "little")
    return b"\xff" + value.to_bytes(8, "little")


def ppmd_header_package(outdir, name, tree):
    """A package of empty items whose header is coded with PPMd, which 7zz never writes (it codes
    headers with LZMA): the plain header of a 7zz package of tree, packed with PPMd by 7zz, and
    described by an encoded header of our own."""
    work = os.path.join(outdir, name + ".work")
    os.makedirs(work)
    plain = os.path.join(work, "plain.7z")
    run(["7zz", "a", "-bd", "-bso0", "-bsp0", "-mhc=off", plain, "."], os.path.join(outdir, "trees", tree))
    with open(plain, "rb") as package:
        data = package.read()
    offset, size, _ = struct.unpack("<QQI", data[12:32])
    header = data[32 + offset:32 + offset + size]
    if header[0] != 0x01 or offset != 0:
        sys.exit(f"{plain}: expected a plain header and no packed streams")
    with open(os.path.join(work, "header"), "wb") as out:
        out.write(header)
    packed = os.path.join(work, "packed.7z")
    run(["7zz", "a", "-bd", "-bso0", "-bsp0", "-m0=PPMd", "-mhc=off", packed, "header"], work)
    with open(packed, "rb") as package:
        data = package.read()
    offset = struct.unpack("<Q", data[12:20])[0]
    stream = data[32:32 + offset]  # the only packed stream, right before the plain header
    coder = b"\x23\x03\x04\x01\x05"  # PPMd, with 5 bytes of properties
    at = data.index(coder, 32 + offset) + len(coder)
    properties = data[at:at + 5]
    encoded = (b"\x17" + b"\x06" + number(0) + number(1) + b"\x09" + number(len(stream)) + b"\x00" +
               b"\x07\x0b" + number(1) + b"\x00" + number(1) + coder + properties +
               b"\x0c" + number(len(header)) + b"\x0a\x01" + struct.pack("<I", zlib.crc32(header)) +
               b"\x00\x00")
    start = struct.pack("<QQI", len(stream), len(encoded), zlib.crc32(encoded))
    with open(os.path.join(outdir, name + ".7z"), "wb") as out:
        out.write(b"7z\xbc\xaf\x27\x1c\x00\x04" + struct.pack("<I", zlib.crc32(start)) + start + stream +
                  encoded)
    shutil.rmtree(work)


def anti_between_package(outdir, name):
    """A stored file a.txt, then an anti-item gone.txt, then an empty folder dir, in a plain header
    of our own: 7zz lists the items without data first, so that an anti-item's place among them
    and its item number are the same in its packages."""
    names = b"".join(text.encode("utf-16-le") + b"\0\0" for text in ("a.txt", "gone.txt", "dir"))
    header = (b"\x01\x04" + b"\x06" + number(0) + number(1) + b"\x09" + number(1) + b"\x00" +
              b"\x07\x0b" + number(1) + b"\x00" + number(1) + b"\x01\x00" + b"\x0c" + number(1) + b"\x00" +
              b"\x00" +
              b"\x05" + number(3) +
              b"\x0e" + number(1) + bytes([0b01100000]) +  # gone.txt and dir have no data
              b"\x0f" + number(1) + bytes([0b10000000]) +  # of those, gone.txt is a file
              b"\x10" + number(1) + bytes([0b10000000]) +  # and an anti-item
              b"\x11" + number(len(names) + 1) + b"\x00" + names +
              b"\x00\x00")
    start = struct.pack("<QQI", 1, len(header), zlib.crc32(header))
    with open(os.path.join(outdir, name + ".7z"), "wb") as out:
        out.write(b"7z\xbc\xaf\x27\x1c\x00\x04" + struct.pack("<I", zlib.crc32(start)) + start + b"a" + header)


def large_model_package(outdir, name, source):
    """A PPMd package that asks for a model of 300 MB, more than any device has: 7zz fits the model
    to the data, so the size is set in the plain header of a small package, whose checksums are
    made again."""
    with open(os.path.join(outdir, source + ".7z"), "rb") as package:
        data = bytearray(package.read())
    next_offset, next_size = struct.unpack_from("<QQ", data, 12)
    header = 32 + next_offset
    # The coder: flags 0x23 (a 3-byte id with properties), PPMd's id, 5 bytes of properties.
    at = data.index(b"\x23\x03\x04\x01\x05", header)
    struct.pack_into("<I", data, at + 6, 300 << 20)
    struct.pack_into("<I", data, 28, zlib.crc32(data[header:header + next_size]))
    struct.pack_into("<I", data, 8, zlib.crc32(data[12:32]))
    with open(os.path.join(outdir, name + ".7z"), "wb") as package:
        package.write(data)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    outdir = os.path.abspath(sys.argv[1])
    if os.path.exists(outdir):
        for parent, _, _ in os.walk(outdir):
            os.chmod(parent, 0o755)  # read-only folders of a tree
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
    for name, (writer, setting, tree) in WRITER_PACKAGES.items():
        make_writer_package(outdir, name, writer, setting, tree)
    for name, items in NAMED_PACKAGES.items():
        named_package(os.path.join(outdir, name + ".7z"), items)
    anti_between_package(outdir, "anti-between")
    ppmd_header_package(outdir, "ppmd-header", "empty-folder-only")
    large_model_package(outdir, "ppmd-300m", "ppmd-plain-header")
    # The first of the volumes of a package split for a small medium.
    run(["7zz", "a", "-bd", "-bso0", "-bsp0", "-m0=Copy", "-v4k", os.path.join(outdir, "volumes.7z"), "."],
        os.path.join(outdir, "trees", "firmware"))
    for volume in os.listdir(outdir):
        if volume.startswith("volumes.7z."):
            os.rename(os.path.join(outdir, volume), os.path.join(outdir, volume.replace(".7z.", "-") + ".7z"))
    # An item that would land beside the install directory; 7zz refuses to store such a name.
    run(["bsdtar", "--format", "7zip", "-s", ",^escape,../zelt-escaped,", "-cf",
         os.path.join(outdir, "escaping.7z"), "readme.txt", "escape.txt"],
        os.path.join(outdir, "trees", "escaping"))


if __name__ == "__main__":
    main()
