#!/usr/bin/env bash
# Sets the machine up, builds with warnings as errors, and runs every test twice: in a plain
# build and in an AddressSanitizer + UndefinedBehaviorSanitizer build. Then builds the device
# program for Windows on x86_64 and on i686 (32-bit, as the device is) as the device's compilers
# take it (C++03, -pedantic, warnings as errors), and checks that it calls only what the device's
# coredll has.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build -DZELT_WERROR=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZELT_SANITIZE=ON -DZELT_WERROR=ON
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")

for arch in x86_64 i686; do
  cmake -S . -B "build-win-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$arch.cmake" -DZELT_WERROR=ON \
    --no-warn-unused-cli
  cmake --build "build-win-$arch" -j"$jobs"
  (cd "build-win-$arch" && ctest --output-on-failure -j"$jobs")
done
