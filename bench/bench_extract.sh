#!/usr/bin/env bash
# Extraction speed and memory: zelt-extract against single-threaded 7zz on the same packages.
#
#   bench/bench_extract.sh [--build DIR] [--dir DIR] [--runs N] [--scratch DIR]
#
# For each package of make_corpus.sh, both sides unpack into an empty folder, alternately, N
# times each; the medians of wall time and peak resident memory are compared as zelt / 7zz.
# The two outputs are checked to be identical once per package. Goal: wall ratio <= 1.10.
set -euo pipefail
export LC_ALL=C
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
parse_bench_options "$@"

zelt_extract="$build_dir/tools/zelt-extract"
require_built "$zelt_extract"
out="$scratch_dir/extract"
mkdir -p "$out"
reset_figures

run_zelt() {
  rm -rf "$out/zelt"
  settle
  measure "$1.zelt" "$zelt_extract" "$2" "$out/zelt"
}

run_7zz() {
  rm -rf "$out/7zz"
  settle
  measure "$1.7zz" 7zz x -mmt1 -y "-o$out/7zz" "$2"
}

packages=(lzma2-solid lzma ppmd copy)
for name in "${packages[@]}"; do
  pkg="$bench_dir/packages/$name.7z"
  echo "bench_extract: $name.7z, $runs runs each"
  for ((run = 1; run <= runs; run++)); do
    run_zelt "$name" "$pkg"
    run_7zz "$name" "$pkg"
    if ((run == 1)) && ! diff -r "$out/zelt" "$out/7zz" >"$bench_dir/figures/$name.diff"; then
      echo "bench_extract.sh: zelt-extract and 7zz disagree on $name.7z:" >&2
      head -n 20 "$bench_dir/figures/$name.diff" >&2
      exit 1
    fi
  done
done
rm -rf "$out"

echo
echo "Extraction into an empty folder, median of $runs alternating runs each; ratio = zelt / 7zz."
echo "Peer: 7zz x -mmt1 -y. Both outputs identical (diff -r)."
table_header package "size MB" 7zz
for name in "${packages[@]}"; do
  table_row "$name.7z" "$(bytes_to_mb "$(stat -c %s "$bench_dir/packages/$name.7z")")" "$name.zelt" "$name.7zz"
done
report_load
