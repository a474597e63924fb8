#!/usr/bin/env bash
# The package test on packages of many items: zelt-check (the updater's own package test, then
# its findings item by item) against 7zz's test of the same package, and with --instructions the
# share of the package test that the walk over the item tree takes.
#
#   bench/bench_check.sh [--build DIR] [--dir DIR] [--runs N] [--packages A,B] [--instructions]
#
# zelt-check runs with --ram 64, so that the corpus package's 32 MB dictionary passes too.
# Packages: items-10k and items-100k of make_corpus.sh (10,000 and 100,000 files of one line, 100
# to a folder), lzma2-solid for comparison. The peer: 7zz t -mmt1 PKG. Runs alternate, N of each;
# medians of wall time, CPU and peak resident memory are compared as zelt / 7zz. Goal: peak
# memory within 7zz's. --instructions runs zelt-check once more per package under callgrind and
# gives the instructions of its package test (TestOpenedPackage) and of the tree (PackageTreeAdd,
# PackageTreeClusters) in it.
set -euo pipefail
export LC_ALL=C
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
parse_bench_options "$@"

zelt_check="$build_dir/tools/zelt-check"
require_built "$zelt_check"
IFS=, read -r -a names <<<"${package_list:-items-10k,items-100k,lzma2-solid}"
reset_figures

echo "bench_check: ${names[*]}, $runs runs each"
for name in "${names[@]}"; do
  package="$bench_dir/packages/$name.7z"
  for ((run = 1; run <= runs; run++)); do
    if ((run % 2)); then
      measure "$name.zelt" "$zelt_check" --ram 64 "$package"
      measure "$name.peer" 7zz t -mmt1 "$package"
    else
      measure "$name.peer" 7zz t -mmt1 "$package"
      measure "$name.zelt" "$zelt_check" --ram 64 "$package"
    fi
  done
done

echo
echo "The package test, median of $runs alternating runs each; ratio = zelt-check / 7zz t -mmt1."
table_header package "pkg MB" 7zz
for name in "${names[@]}"; do
  table_row "$name" "$(bytes_to_mb "$(stat -c %s "$bench_dir/packages/$name.7z")")" "$name.zelt" "$name.peer"
done
report_load

if ((count_instructions)); then
  echo
  echo "Instructions (callgrind, inclusive) of one zelt-check run:"
  printf '%-16s %14s %14s %14s %7s\n' package "package test" "tree walk" "tree clusters" share
  for name in "${names[@]}"; do
    out="$bench_dir/figures/$name.callgrind"
    # Only what runs inside the package test counts: zelt-check's own findings walk the tree again.
    valgrind --tool=callgrind --toggle-collect='TestOpenedPackage*' --callgrind-out-file="$out" \
      "$zelt_check" --ram 64 "$bench_dir/packages/$name.7z" >/dev/null 2>&1
    callgrind_annotate --inclusive=yes "$out" 2>/dev/null | awk -v name="$name" '
      function count(text) { gsub(",", "", text); return text + 0 }
      /TestOpenedPackage\(/ && !test { test = count($1) }
      /PackageTreeAdd\(/ && !add { add = count($1) }
      /PackageTreeClusters\(/ && !clusters { clusters = count($1) }
      END { printf "%-16s %14.0f %14.0f %14.0f %6.1f%%\n", name, test, add, clusters,
                   test ? 100 * (add + clusters) / test : 0 }'
  done
fi
