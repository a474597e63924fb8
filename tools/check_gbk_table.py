#!/usr/bin/python3
"""Checks a generated code-page 936 table against the host's iconv and Python's cp936 codec.

Usage: check_gbk_table.py <path to gbk_table.cpp>

Passes (exit 0) when the table is strictly ascending by code, every entry maps as both
references map it, and every two-byte code either reference maps is in the table. Codes that a
reference cannot convert, or converts to anything but one non-private-use BMP unit, count as
unmapped.
"""

import ctypes
import ctypes.util
import re
import sys

FIRST_CODE = 0x8140
LAST_CODE = 0xFE4F
PRIVATE_USE = range(0xE000, 0xF900)
ENTRY = re.compile(r"\{\s*0x([0-9A-Fa-f]{1,4})\s*,\s*0x([0-9A-Fa-f]{1,4})\s*\}")
MAX_REPORTED = 20


class HostIconv:
    """glibc iconv from CP936 to UTF-16LE, one two-byte code at a time."""

    def __init__(self):
        self.libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        self.libc.iconv_open.restype = ctypes.c_void_p
        self.libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        pointer = ctypes.POINTER(ctypes.c_void_p)
        size = ctypes.POINTER(ctypes.c_size_t)
        self.libc.iconv.restype = ctypes.c_size_t
        self.libc.iconv.argtypes = [ctypes.c_void_p, pointer, size, pointer, size]
        self.libc.iconv_close.argtypes = [ctypes.c_void_p]
        self.handle = self.libc.iconv_open(b"UTF-16LE", b"CP936")
        if self.handle is None or self.handle == ctypes.c_void_p(-1).value:
            raise OSError(ctypes.get_errno(), "iconv_open(UTF-16LE, CP936) failed")

    def close(self):
        self.libc.iconv_close(self.handle)

    def decode(self, code):
        source = ctypes.create_string_buffer(bytes((code >> 8, code & 0xFF)), 2)
        target = ctypes.create_string_buffer(8)
        in_ptr = ctypes.c_void_p(ctypes.addressof(source))
        in_left = ctypes.c_size_t(2)
        out_ptr = ctypes.c_void_p(ctypes.addressof(target))
        out_left = ctypes.c_size_t(len(target))
        self.libc.iconv(self.handle, None, None, None, None)  # fresh shift state per code
        result = self.libc.iconv(self.handle, ctypes.byref(in_ptr), ctypes.byref(in_left),
                                 ctypes.byref(out_ptr), ctypes.byref(out_left))
        if result == ctypes.c_size_t(-1).value or in_left.value != 0:
            return None
        produced = target.raw[:len(target) - out_left.value]
        if len(produced) != 2:
            return None
        return single_bmp_unit(int.from_bytes(produced, "little"))


def single_bmp_unit(unit):
    if 0xD800 <= unit <= 0xDFFF or unit in PRIVATE_USE:
        return None
    return unit


def python_decode(code):
    try:
        text = bytes((code >> 8, code & 0xFF)).decode("cp936")
    except UnicodeDecodeError:
        return None
    if len(text) != 1 or ord(text) > 0xFFFF:
        return None
    return single_bmp_unit(ord(text))


def read_table(path):
    with open(path, encoding="ascii") as source:
        return [(int(code, 16), int(unit, 16)) for code, unit in ENTRY.findall(source.read())]


def find_faults(table, references):
    faults = []
    for (previous, _), (code, _) in zip(table, table[1:]):
        if code <= previous:
            faults.append(f"order: 0x{code:04X} follows 0x{previous:04X}")
    in_table = dict(table)
    for code in range(FIRST_CODE, LAST_CODE + 1):
        for name, decode in references:
            expected = decode(code)
            actual = in_table.get(code)
            if expected != actual:
                faults.append(f"0x{code:04X}: table {describe(actual)}, {name} {describe(expected)}")
    faults.extend(f"0x{code:04X}: outside 0x{FIRST_CODE:04X}..0x{LAST_CODE:04X}"
                  for code, _ in table if not FIRST_CODE <= code <= LAST_CODE)
    return faults


def describe(unit):
    return "unmapped" if unit is None else f"U+{unit:04X}"


def main():
    if len(sys.argv) != 2:
        print("usage: check_gbk_table.py <gbk_table.cpp>")
        return 1
    table = read_table(sys.argv[1])
    if not table:
        print(f"FAIL: no entries found in {sys.argv[1]}")
        return 1
    try:
        host = HostIconv()
    except OSError as error:
        print(f"FAIL: host iconv has no CP936 conversion: {error}")
        return 1
    try:
        faults = find_faults(table, [("host iconv", host.decode), ("python cp936", python_decode)])
    finally:
        host.close()
    if faults:
        for fault in faults[:MAX_REPORTED]:
            print(f"FAIL: {fault}")
        print(f"FAIL: {len(faults)} faults in {len(table)} entries of {sys.argv[1]}")
        return 1
    print(f"OK: {len(table)} entries checked against host iconv and python cp936")
    return 0


if __name__ == "__main__":
    sys.exit(main())
