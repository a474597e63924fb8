#!/usr/bin/env bash
# Builds the benchmark corpus from real files of this machine and packs it four ways with 7zz.
#
#   bench/make_corpus.sh [--dir DIR]        (or BENCH_DIR=DIR; default /tmp/zelt-bench)
#
# Leaves DIR/corpus (about 110 MB, a few thousand files, one folder with thousands of files) and
# DIR/packages/{lzma2-solid,lzma,ppmd,copy}.7z. Both are cached: a finished corpus or package is
# never made again; delete it to have it remade.
set -euo pipefail
export LC_ALL=C

bench_dir="${BENCH_DIR:-/tmp/zelt-bench}"
while (($#)); do
  case "$1" in
    --dir) bench_dir="$2"; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "make_corpus.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

repo="$(cd "$(dirname "$0")/.." && pwd -P)"
bench_dir="$(realpath -m "$bench_dir")"
case "$bench_dir/" in
  "$repo"/*) if [[ "$bench_dir/" != "$repo"/build*/* ]]; then
               echo "make_corpus.sh: $bench_dir is inside the repository; use /tmp or a build folder" >&2
               exit 2
             fi ;;
esac
mkdir -p "$bench_dir"

if ! command -v 7zz >/dev/null; then
  apt-get update -qq && apt-get install -y -qq 7zip >/dev/null
fi

corpus="$bench_dir/corpus"
packages="$bench_dir/packages"

# Prints "size<TAB>relative path" of the regular files under root that find's tests select, in
# byte order of the path.
list_files() {
  local root="$1"; shift
  (cd "$root" && find . -type f "$@" -printf '%s\t%P\n') | sort -t $'\t' -k2
}

# Reads "size<TAB>path" lines and keeps, in order, files no larger than max_file bytes until
# budget bytes are taken; it reads to the end so that the producer never meets a closed pipe. Names are kept to characters every file system here takes, and short
# enough that any output folder of the benchmarks still fits the device's 260-unit paths.
take_budget() {
  local max_file="$1" budget="$2"
  awk -F '\t' -v max="$max_file" -v budget="$budget" '
    $1 > max || $1 == 0 || length($2) > 120 || $2 !~ /^[A-Za-z0-9._+@=,\/-]+$/ { next }
    full { next }
    { if (taken + $1 > budget) { full = 1; next }; taken += $1; print $2 }'
}

# copy_tree SRC DEST: copies the listed relative paths (stdin) from SRC into DEST, keeping folders.
copy_tree() {
  local src="$1" dest="$2" rel
  while IFS= read -r rel; do
    mkdir -p "$dest/$(dirname "$rel")"
    cp "$src/$rel" "$dest/$rel"
  done
}

make_corpus() {
  local staging="$corpus.partial"
  rm -rf "$staging"
  mkdir -p "$staging"
  echo "make_corpus: collecting files into $corpus"
  list_files /usr/lib/x86_64-linux-gnu -name '*.so*' | take_budget 4000000 36000000 \
    | copy_tree /usr/lib/x86_64-linux-gnu "$staging/lib"
  list_files /usr/bin | take_budget 4000000 15000000 | copy_tree /usr/bin "$staging/bin"
  list_files /usr/include | take_budget 1000000 20000000 | copy_tree /usr/include "$staging/include"
  list_files /usr/share/doc | take_budget 1000000 12000000 | copy_tree /usr/share/doc "$staging/doc"
  # The message catalogues go into one flat folder, named language_domain.mo, so that the
  # extractors meet a folder with thousands of entries.
  mkdir -p "$staging/messages"
  local rel flat
  list_files /usr/share/locale -name '*.mo' | take_budget 40000 28000000 | while IFS= read -r rel; do
    flat="${rel%%/*}_${rel##*/}"
    cp "/usr/share/locale/$rel" "$staging/messages/$flat"
  done
  # The device's names ignore case: a file or folder whose path differs from an earlier one only
  # in case would land on that one. Such files go.
  (cd "$staging" && find . -type f -printf '%P\n') | sort | awk -F / '
    { prefix = ""; clash = 0
      for (i = 1; i <= NF; i++) {
        prefix = prefix (i > 1 ? "/" : "") $i; key = tolower(prefix)
        if (key in seen && seen[key] != prefix) clash = 1
      }
      if (clash) { print; next }
      prefix = ""
      for (i = 1; i <= NF; i++) { prefix = prefix (i > 1 ? "/" : "") $i; seen[tolower(prefix)] = prefix }
    }' | while IFS= read -r rel; do
    rm -f "$staging/$rel"
  done
  mv "$staging" "$corpus"
}

if [[ ! -d "$corpus" ]]; then make_corpus; fi
read -r corpus_files < <(find "$corpus" -type f | wc -l)
read -r corpus_bytes _ < <(du -sb "$corpus")
read -r flat_files < <(find "$corpus/messages" -type f | wc -l)
printf 'corpus: %s  %d files, %.1f MB (%d in messages/)\n' "$corpus" "$corpus_files" \
  "$(awk -v b="$corpus_bytes" 'BEGIN { print b / 1e6 }')" "$flat_files"

# name: 7zz method switches
mkdir -p "$packages"
pack() {
  local name="$1"; shift
  local pkg="$packages/$name.7z"
  if [[ -f "$pkg" ]]; then return 0; fi
  echo "make_corpus: packing $name.7z ($*)"
  rm -f "$pkg.partial"
  (cd "$corpus" && 7zz a -t7z -bd -mmt=2 "$@" "$pkg.partial" -- * >/dev/null)
  mv "$pkg.partial" "$pkg"
}
pack lzma2-solid -m0=LZMA2 -ms=on
pack lzma -m0=LZMA
pack ppmd -m0=PPMd
pack copy -m0=Copy
for pkg in "$packages"/*.7z; do
  printf '  %-16s %8.1f MB\n' "$(basename "$pkg")" "$(awk -v b="$(stat -c %s "$pkg")" 'BEGIN { print b / 1e6 }')"
done
