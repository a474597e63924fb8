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
# memory within 7zz's. --instructions runs each side once more per package under callgrind and
# gives their instructions (the same whatever the load), and the tree walk's share of zelt-check's.
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
  echo "Instructions (callgrind, the whole program) of one run of each; ratio = zelt-check / 7zz t -mmt1,"
  echo "and the share of zelt-check's that the tree walk takes (PackageTreeAdd, PackageTreeClusters)."
  printf '%-16s %14s %14s %7s %7s\n' package zelt-check "7zz t" ratio tree
  for name in "${names[@]}"; do
    package="$bench_dir/packages/$name.7z"
    instructions "$name.zelt" "$zelt_check" --ram 64 "$package"
    instructions "$name.peer" 7zz t -mmt1 "$package"
    callgrind_annotate --inclusive=yes "$bench_dir/figures/$name.zelt.callgrind" 2>/dev/null | awk \
      -v name="$name" -v zelt="$(cat "$bench_dir/figures/$name.zelt.instructions")" \
      -v peer="$(cat "$bench_dir/figures/$name.peer.instructions")" '
      function count(text) { gsub(",", "", text); return text + 0 }
      /PackageTreeAdd\(/ && !add { add = count($1) }
      /PackageTreeClusters\(/ && !clusters { clusters = count($1) }
      END { printf "%-16s %14.0f %14.0f %7.2f %6.1f%%\n", name, zelt, peer, zelt / peer,
                   100 * (add + clusters) / zelt }'
  done
fi
