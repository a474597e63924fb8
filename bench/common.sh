# shellcheck shell=bash
# Shared by the benchmark scripts (sourced, not run): options, timing and figures.
#
# Options every benchmark takes:
#   --build DIR   zelt build folder (or ZELT_BUILD_DIR; default the repository's build/)
#   --dir DIR     corpus, packages and figures (or BENCH_DIR; default /tmp/zelt-bench)
#   --runs N      timed runs of each side (or BENCH_RUNS; default 5); the median is reported
#   --scratch DIR where the timed runs write (or BENCH_SCRATCH; default a folder in /dev/shm).
#                 Memory-backed by default: a disk file system that has just deleted thousands of
#                 files makes every new one slow to create, for both sides alike, and that cost
#                 would drown what the programs themselves do.
#   --large       also make (and, where the benchmark measures packages, measure) the large
#                 packages of make_corpus.sh: several minutes of packing, gigabytes of output

bench_root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build_dir="${ZELT_BUILD_DIR:-$bench_root/../build}"
bench_dir="${BENCH_DIR:-/tmp/zelt-bench}"
runs="${BENCH_RUNS:-5}"
scratch_dir="${BENCH_SCRATCH:-}"
large=0
package_list=""    # bench_extract.sh: --packages NAME,NAME,...
count_syscalls=0   # bench_extract.sh: --syscalls
count_instructions=0  # bench_extract.sh and bench_check.sh: --instructions

parse_bench_options() {
  while (($#)); do
    case "$1" in
      --build) build_dir="$2"; shift 2 ;;
      --dir) bench_dir="$2"; shift 2 ;;
      --runs) runs="$2"; shift 2 ;;
      --scratch) scratch_dir="$2"; shift 2 ;;
      --large) large=1; shift ;;
      --packages) package_list="$2"; shift 2 ;;
      --syscalls) count_syscalls=1; shift ;;
      --instructions) count_instructions=1; shift ;;
      -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d'; exit 0 ;;
      *) echo "$(basename "$0"): unknown option $1" >&2; exit 2 ;;
    esac
  done
  if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
    echo "$(basename "$0"): --runs needs a positive number" >&2
    exit 2
  fi
  build_dir="$(cd "$build_dir" && pwd)"
  if [[ ! -x /usr/bin/time ]] || { ((count_syscalls)) && ! command -v strace >/dev/null; }; then
    apt-get update -qq && apt-get install -y -qq time strace >/dev/null
  fi
  local corpus_options=(--dir "$bench_dir")
  if ((large)); then corpus_options+=(--large); fi
  bash "$bench_root/make_corpus.sh" "${corpus_options[@]}"
  bench_dir="$(cd "$bench_dir" && pwd -P)"
  if [[ -z "$scratch_dir" ]]; then
    scratch_dir="$bench_dir/scratch"
    if [[ -d /dev/shm && -w /dev/shm ]]; then scratch_dir=/dev/shm/zelt-bench-scratch; fi
  fi
  mkdir -p "$scratch_dir"
  scratch_dir="$(cd "$scratch_dir" && pwd -P)"
  echo "scratch: $scratch_dir ($(stat -f -c %T "$scratch_dir")); load average before: $(cut -d ' ' -f 1-3 /proc/loadavg)"
}

# time_run NAME COMMAND...: runs the command with its standard output discarded, appends
# "wall_s peak_kB user_s sys_s" to the file figures/NAME and returns the command's exit status
# (what it wrote to standard error is in figures/NAME.stderr).
time_run() {
  local name="$1"; shift
  local figures="$bench_dir/figures/$name"
  mkdir -p "$bench_dir/figures"
  local status=0
  /usr/bin/time -f '%e %M %U %S' -o "$figures.last" "$@" >/dev/null 2>"$figures.stderr" || status=$?
  tail -n 1 "$figures.last" >>"$figures"
  return "$status"
}

# measure NAME COMMAND...: time_run, and the benchmark stops when the command fails, showing what
# it wrote to standard error.
measure() {
  local name="$1" status=0
  time_run "$@" || status=$?
  if ((status != 0)); then
    shift
    echo "$(basename "$0"): '$*' failed with exit status $status" >&2
    tail -n 20 "$bench_dir/figures/$name.stderr" >&2
    exit 1
  fi
}

# median NAME COLUMN: the median of one column (1 wall, 2 peak kB, 3 user, 4 sys, 5 user + sys)
# of NAME's runs.
median() {
  awk -v c="$2" '{ $5 = $3 + $4; print $c }' "$bench_dir/figures/$1" | sort -g | awk '
    { v[NR] = $1 }
    END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

reset_figures() { rm -rf "$bench_dir/figures"; }

# require_built PROGRAM: stops with a clear word when the build lacks it.
require_built() {
  if [[ ! -x "$1" ]]; then
    echo "$(basename "$0"): no $1; build the project first" >&2
    exit 1
  fi
}

# paired_ratios ZELT PEER COLUMN: for each run, ZELT's figure over PEER's of the same round
# (column as for median), one per line.
paired_ratios() {
  paste -d ' ' "$bench_dir/figures/$1" "$bench_dir/figures/$2" | awk -v c="$3" '
    { z = (c == 5) ? $3 + $4 : $c; p = (c == 5) ? $7 + $8 : $(c + 4)
      if (p > 0) print z / p }'
}

# The median, least and greatest of numbers on standard input: "median min max".
spread() {
  sort -g | awk '{ v[NR] = $1 }
    END { if (NR == 0) { print "- - -"; exit }
          m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf "%.2f %.2f %.2f\n", m, v[1], v[NR] }'
}

# ratio A B: A / B to two decimals ("-" when B is 0).
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "-"; else printf "%.2f", a / b }'; }

kb_to_mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

bytes_to_mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1e6 }'; }

# Puts the file system in the same state for every timed run: nothing of the previous run left to
# write back while the next one is timed.
settle() { sync; }

goal_verdict() { awk -v r="$1" 'BEGIN { print (r <= 1.10) ? "ok" : "OVER" }'; }

# One row of a comparison table: label, size, then the zelt and peer figure files.
table_header() {
  printf '%-16s %8s | %7s %7s %6s | %7s %7s %6s | %7s %7s %6s | %s\n' "$1" "$2" \
    "zelt s" "$3 s" ratio "zelt" "$3" ratio "zelt MB" "$3 MB" ratio "wall goal <= 1.10"
  printf '%-16s %8s | %22s | %22s | %22s |\n' "" "" "wall time" "CPU s (user+sys)" "peak RSS"
}

table_row() {
  local label="$1" size="$2" zelt="$3" peer="$4"
  local zw pw zc pc zm pm wall_ratio
  zw="$(median "$zelt" 1)"; pw="$(median "$peer" 1)"
  zc="$(median "$zelt" 5)"; pc="$(median "$peer" 5)"
  zm="$(median "$zelt" 2)"; pm="$(median "$peer" 2)"
  wall_ratio="$(ratio "$zw" "$pw")"
  printf '%-16s %8s | %7.2f %7.2f %6s | %7.2f %7.2f %6s | %7s %7s %6s | %s\n' "$label" "$size" \
    "$zw" "$pw" "$wall_ratio" "$zc" "$pc" "$(ratio "$zc" "$pc")" \
    "$(kb_to_mb "$zm")" "$(kb_to_mb "$pm")" "$(ratio "$zm" "$pm")" "$(goal_verdict "$wall_ratio")"
}

report_load() { echo "load average after: $(cut -d ' ' -f 1-3 /proc/loadavg) (2 cores; other work on the machine skews wall times)"; }

# instructions NAME COMMAND...: the instructions of one run into figures/NAME.instructions, its
# profile into figures/NAME.callgrind; a command that writes is given $bench_dir/counted, emptied
# first. Not the scratch folder: zelt-extract reads every folder on its way to the output once, and
# /dev/shm holds every named semaphore of the machine, thousands where test runs left theirs, which
# would weigh on zelt's figure and on nothing else.
instructions() {
  local name="$1"; shift
  rm -rf "$bench_dir/counted"; mkdir -p "$bench_dir/counted"
  valgrind --tool=callgrind --callgrind-out-file="$bench_dir/figures/$name.callgrind" "$@" \
    >/dev/null 2>"$bench_dir/figures/$name.valgrind" || true
  awk '/Collected :/ { print $NF }' "$bench_dir/figures/$name.valgrind" \
    >"$bench_dir/figures/$name.instructions"
}
