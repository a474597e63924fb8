#!/usr/bin/env bash
# Sets the machine up, builds with warnings as errors, and runs every test: in a plain build and in
# an AddressSanitizer + UndefinedBehaviorSanitizer build on this host, in a build for 32-bit ARM
# Linux under qemu-user, then in the Windows build for x86_64 under Wine (scripts/wine.sh), against
# the Win32 backend. The builds are the presets of CMakePresets.json. The Windows builds for x86_64
# and i686 (32-bit, as the device is) also compile the device program as the device's compilers take
# it (C++03, -pedantic, warnings as errors) and check that it calls only what the device's coredll
# has, as do clang's objects of it for 32-bit ARM Windows, and that its deepest call chain fits the
# device's stack. Where ../shared holds the CE cross compiler, the device program is built with it
# too, into an ARM zelt-update.exe. The device's configuration (_WIN32_WCE's paths and event names,
# none of the PC's files) is built for x86_64 too and runs whole updates under Wine from a drive
# whose root is a device folder (a CTest of that build). Then it fuzzes the package path for a
# minute in a clang build of its own (scripts/fuzz.sh). Ends with the count of tests run and skipped
# per build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

summary=()
# run_tests DIR LABEL: every test of the build in DIR, then a line for the summary.
run_tests() {
  local log=$1/Testing/test-run.log total skipped
  mkdir -p "$1/Testing"
  (cd "$1" && ctest --output-on-failure -j"$jobs") | tee "$log"
  total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log")
  skipped=$(grep -c '(Skipped)$' "$log" || true)
  summary+=("$(printf '%-40s %4d run, %d skipped' "$2:" "$((total - skipped))" "$skipped")")
}

cmake --preset host
cmake --build build -j"$jobs"
run_tests build "POSIX host"

cmake --preset asan
cmake --build build-asan -j"$jobs"
run_tests build-asan "POSIX host, sanitizers"

# The i686 build is the device's configuration, with CE's macros: its import and stack checks
# read the device program as the device has it.
for arch in x86_64 i686; do
  cmake --preset "win-$arch"
  cmake --build "build-win-$arch" -j"$jobs"
done
# The host configuration for 32-bit ARM (the device's CPU: 32-bit size_t and pointers, unsigned
# char, division through helpers), its whole suite under qemu-user; the tests start the build's
# programs through it too (ZELT_CHILD_RUNNER), as the emulator does not follow a child's exec.
cmake --preset armel
cmake --build build-armel -j"$jobs"
ZELT_CHILD_RUNNER=qemu-arm run_tests build-armel "Linux armel (32-bit ARM, under qemu-user)"

cmake --preset win-device
cmake --build build-win-device -j"$jobs"
cmake --preset device-arm
cmake --build build-device-arm -j"$jobs"
run_tests build-device-arm "ARM objects (device program checks)"

# The device program as a CE compiler builds it, where ../shared has that compiler: zelt-update.exe
# for ARM, whose import table names coredll's CE 6.0 exports alone.
cegcc=../shared/ce/cegcc/arm-mingw32ce-toolchain.tar.xz
if [ -f "$cegcc" ]; then
  mkdir -p build-device-cegcc/_deps/cegcc
  [ -x build-device-cegcc/_deps/cegcc/bin/arm-mingw32ce-gcc ] || tar -xf "$cegcc" -C build-device-cegcc/_deps/cegcc
  cmake --preset device-cegcc
  cmake --build build-device-cegcc -j"$jobs"
  run_tests build-device-cegcc "CE ARM zelt-update.exe (cegcc)"
else
  echo "Skipped: the CE compiler's build of zelt-update.exe ($cegcc is not there)"
  summary+=("$(printf '%-40s %4d run, %d skipped' "CE ARM zelt-update.exe (cegcc):" 0 1)")
fi

bash scripts/wine.sh start build-win-x86_64 build-win-device tests/fixtures
trap 'bash scripts/wine.sh stop > /dev/null 2>&1 || true' EXIT
run_tests build-win-x86_64 "Windows x86_64 (Win32, under Wine)"
run_tests build-win-i686 "Windows i686 (device program checks)"
run_tests build-win-device "Windows x86_64, device configuration"

bash scripts/fuzz.sh 60

echo
echo "== Tests per build"
printf '%s\n' "${summary[@]}"
