#!/usr/bin/env bash
# Fuzzes the package path (the package test, then the extraction into a fresh simulated device)
# with clang's libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer, in a build of its
# own (build-fuzz). Starts from seed packages made with 7zz, keeps what it learns in
# build-fuzz/fuzz/corpus, and fails on the first fault, leaving the input that shows it in
# build-fuzz/fuzz/artifacts (run the fuzzer on that file alone to see the fault again).
#
#   scripts/fuzz.sh [SECONDS]    default 60; the machine must have been set up (scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi

cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZELT_FUZZ=ON -DZELT_WERROR=ON > /dev/null
cmake --build build-fuzz -j"$(nproc)" --target zelt-package-fuzzer

work=build-fuzz/fuzz
bash tests/fuzz/make_seeds.sh "$work/seeds"
mkdir -p "$work/corpus" "$work/artifacts"
# Every input gets a fresh simulated device: in memory where there is a memory file system.
if [[ -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
# Standard output is closed: the extractor prints every item name. One process, one thread: the
# machine's cores are shared. A unit that takes over 10 s counts as a hang.
build-fuzz/tests/fuzz/zelt-package-fuzzer -max_total_time="$seconds" -close_fd_mask=1 \
  -timeout=10 -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "$work/seeds"
