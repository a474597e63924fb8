#!/usr/bin/env bash
# Extraction speed and memory: zelt-extract against single-threaded 7zz on the same packages.
#
#   bench/bench_extract.sh [--build DIR] [--dir DIR] [--runs N] [--scratch DIR]
#                          [--packages NAME,NAME,...] [--large] [--syscalls] [--instructions]
#
# For each package both sides unpack into an empty folder N times, in pairs whose order
# alternates (zelt first, then 7zz first, ...). Reported per package: the median over the pairs
# of the CPU-time ratio (user + system) and of the wall-time ratio, zelt / 7zz, with the least and
# greatest CPU ratio of the pairs to show the noise, and the median peak resident memory of each
# side. The two outputs are checked to be identical once per package. A side that fails is
# reported with its exit status and peak memory, and the benchmark goes on.
# Goals: CPU ratio <= 1.05; peak memory <= 1.1 x 7zz's, or 7zz's + 4 MB where 7zz's is under 40 MB.
#
#   --packages   the packages to measure, by name (default: those a default make_corpus.sh run
#                makes; with --large, the large ones too)
#   --syscalls   also count each side's system calls, in one more run outside the timing
#                (strace -f -c)
#   --instructions  also count each side's instructions, in one more run under callgrind (every
#                thread, the whole program): the same figures whatever else the machine does.
#                tiny-10k is the package for it (bench/README.md, "Small files, by instructions")
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

if [[ -n "$package_list" ]]; then
  IFS=, read -r -a packages <<<"$package_list"
else
  packages=(lzma2-solid lzma ppmd copy mx9 bcj2 tiny-files deep-tree)
  if ((large)); then packages+=(large-tree big-file zeros-1g-solid zeros-4g); fi
fi
for name in "${packages[@]}"; do
  if [[ ! -f "$bench_dir/packages/$name.7z" ]]; then
    echo "bench_extract.sh: no package $name.7z in $bench_dir/packages (large ones need --large)" >&2
    exit 2
  fi
done

# run SIDE NAME PACKAGE: one timed unpacking by zelt or 7zz into an empty folder; the exit status
# goes to figures/NAME.SIDE.status.
run() {
  local side="$1" name="$2" pkg="$3" status=0
  rm -rf "${out:?}/$side"
  settle
  if [[ "$side" == zelt ]]; then
    time_run "$name.zelt" "$zelt_extract" "$pkg" "$out/zelt" || status=$?
  else
    time_run "$name.7zz" 7zz x -mmt1 -y "-o$out/7zz" "$pkg" || status=$?
  fi
  echo "$status" >>"$bench_dir/figures/$name.$side.status"
}

# The first failing exit status of a side's runs, or nothing.
failure() { grep -v -x -m 1 0 "$bench_dir/figures/$1.status" || true; }

# syscalls NAME COMMAND...: the system calls of one run, all threads, into figures/NAME.calls.
syscalls() {
  local name="$1"; shift
  strace -f -c -o "$bench_dir/figures/$name.strace" "$@" >/dev/null 2>&1 || true
  awk '$NF == "total" { print $4 }' "$bench_dir/figures/$name.strace" >"$bench_dir/figures/$name.calls"
}

counted="$bench_dir/counted"

for name in "${packages[@]}"; do
  pkg="$bench_dir/packages/$name.7z"
  echo "bench_extract: $name.7z, $runs runs each"
  for ((round = 1; round <= runs; round++)); do
    if ((round % 2)); then run zelt "$name" "$pkg"; run 7zz "$name" "$pkg"
    else run 7zz "$name" "$pkg"; run zelt "$name" "$pkg"; fi
    if ((round == 1)) && [[ -z "$(failure "$name.zelt")$(failure "$name.7zz")" ]] &&
        ! diff -r "$out/zelt" "$out/7zz" >"$bench_dir/figures/$name.diff"; then
      echo "bench_extract.sh: zelt-extract and 7zz disagree on $name.7z:" >&2
      head -n 20 "$bench_dir/figures/$name.diff" >&2
      exit 1
    fi
    rm -rf "${out:?}"/*  # the large packages unpack to gigabytes
  done
  if ((count_instructions)); then
    instructions "$name.zelt" "$zelt_extract" "$pkg" "$counted/zelt"
    instructions "$name.7zz" 7zz x -mmt1 -y "-o$counted/7zz" "$pkg"
    rm -rf "$counted"
  fi
  if ((count_syscalls)); then
    rm -rf "${out:?}"/*; syscalls "$name.zelt" "$zelt_extract" "$pkg" "$out/zelt"
    rm -rf "${out:?}"/*; syscalls "$name.7zz" 7zz x -mmt1 -y "-o$out/7zz" "$pkg"
  fi
  rm -rf "${out:?}"/*
done
rm -rf "$out"

# Peak memory within the goal: 1.1 x the peer's, or the peer's + 4 MB under 40 MB.
memory_verdict() {
  awk -v z="$1" -v p="$2" 'BEGIN { limit = (p < 40 * 1024) ? p + 4 * 1024 : p * 1.1
                                   if (1.1 * p > limit) limit = 1.1 * p
                                   print (z <= limit) ? "ok" : "OVER" }'
}

echo
echo "Extraction into an empty folder, $runs runs of each side in alternating pairs; ratio = zelt / 7zz"
echo "(median over the pairs; CPU range = least and greatest pair). Peer: 7zz x -mmt1 -y."
echo "Both outputs identical (diff -r) wherever both succeeded."
printf '%-15s %8s | %6s %6s %5s %11s | %6s %6s %5s | %7s %7s | %s\n' package "size MB" \
  "zelt" "7zz" ratio "CPU range" "zelt" "7zz" ratio "zelt MB" "7zz MB" "CPU <= 1.05, RSS"
printf '%-15s %8s | %31s | %19s | %15s |\n' "" "" "CPU s (user+sys)" "wall s" "peak RSS"
for name in "${packages[@]}"; do
  size="$(bytes_to_mb "$(stat -c %s "$bench_dir/packages/$name.7z")")"
  zm="$(median "$name.zelt" 2)"; pm="$(median "$name.7zz" 2)"
  read -r cpu_ratio cpu_low cpu_high < <(paired_ratios "$name.zelt" "$name.7zz" 5 | spread)
  read -r wall_ratio _ _ < <(paired_ratios "$name.zelt" "$name.7zz" 1 | spread)
  zfail="$(failure "$name.zelt")"; pfail="$(failure "$name.7zz")"
  if [[ -n "$zfail$pfail" ]]; then
    verdict="${zfail:+zelt failed (exit $zfail) }${pfail:+7zz failed (exit $pfail)}"
    cpu_ratio="-"; wall_ratio="-"; cpu_low="-"; cpu_high="-"
  else
    verdict="$(awk -v r="$cpu_ratio" 'BEGIN { print (r <= 1.05) ? "ok" : "OVER" }'), $(memory_verdict "$zm" "$pm")"
  fi
  printf '%-15s %8s | %6.2f %6.2f %5s %11s | %6.2f %6.2f %5s | %7s %7s | %s\n' "$name" "$size" \
    "$(median "$name.zelt" 5)" "$(median "$name.7zz" 5)" "$cpu_ratio" "$cpu_low-$cpu_high" \
    "$(median "$name.zelt" 1)" "$(median "$name.7zz" 1)" "$wall_ratio" \
    "$(kb_to_mb "$zm")" "$(kb_to_mb "$pm")" "$verdict"
done
if ((count_syscalls)); then
  echo
  echo "System calls of one run (strace -f -c, all threads):"
  for name in "${packages[@]}"; do
    printf '%-15s zelt %9s   7zz %9s\n' "$name" "$(cat "$bench_dir/figures/$name.zelt.calls")" \
      "$(cat "$bench_dir/figures/$name.7zz.calls")"
  done
fi
if ((count_instructions)); then
  echo
  echo "Instructions of one run (callgrind, every thread, the whole program); ratio = zelt / 7zz:"
  for name in "${packages[@]}"; do
    zi="$(cat "$bench_dir/figures/$name.zelt.instructions")"
    pi="$(cat "$bench_dir/figures/$name.7zz.instructions")"
    printf '%-15s zelt %14s   7zz %14s   %s\n' "$name" "$zi" "$pi" "$(ratio "$zi" "$pi")"
  done
fi
report_load
