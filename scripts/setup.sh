#!/usr/bin/env bash
# Prepares a Debian 12 machine for building and testing: the compiler, CMake, GoogleTest, the
# 7zz archiver the tests make packages with, bsdtar for packages 7zz refuses to make, py7zr with
# its PPMd module for packages of another writer, the mingw-w64 cross compilers and Wine for the
# Windows build (with the Chinese locale and the ACL tools its test run uses), clang for the
# fuzzer and the device program's ARM objects (with llvm's nm and ar), the armel cross compiler
# and qemu-user for the 32-bit ARM build's suite, time, strace and valgrind for the benchmarks
# (strace also for the test that watches the updater flush its install), iconv (libc-bin) for the
# demo's code-page 936 console, and apt source entries so that the build can fetch the archive
# library's source package. Safe to run again.
set -euo pipefail

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

has_source_entries() {
  grep -rqsE '^[[:space:]]*(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/
}

# Source entries are derived from the machine's own Debian entries, so they name the same
# archive (or mirror) that its binary packages come from.
enable_source_entries() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -e "$file" ] || continue
    grep -q 'debian-archive-keyring' "$file" || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$file" |
      as_root tee "/etc/apt/sources.list.d/zelt-src-$(basename "$file")" > /dev/null
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list | grep -i debian |
      sed -E 's/^[[:space:]]*deb[[:space:]]/deb-src /' |
      as_root tee /etc/apt/sources.list.d/zelt-src.list > /dev/null || true
  fi
}

has_source_entries || enable_source_entries
as_root apt-get update -qq
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  build-essential cmake libgtest-dev googletest 7zip libarchive-tools python3 python3-py7zr python3-ppmd xz-utils util-linux time strace \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 clang clang-14 libclang-rt-14-dev llvm \
  g++-arm-linux-gnueabi g++-12-arm-linux-gnueabi gcc-12-arm-linux-gnueabi qemu-user valgrind \
  locales acl libc-bin > /dev/null

# Wine takes its code pages from the locale and needs the locale itself to convert file names:
# the Windows tests run in zh_CN.UTF-8, whose ANSI and OEM code pages are the device's 936.
locale -a | grep -qix 'zh_CN.utf8' || as_root localedef -i zh_CN -c -f UTF-8 zh_CN.UTF-8
