#!/usr/bin/env bash
# Sets the machine up, builds with warnings as errors, and runs every test twice: in a plain
# build and in an AddressSanitizer + UndefinedBehaviorSanitizer build; then fuzzes the package
# path for a minute in a clang build of its own (scripts/fuzz.sh).
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

bash scripts/fuzz.sh 60
