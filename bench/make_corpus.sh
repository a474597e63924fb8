#!/usr/bin/env bash
# Builds the benchmark corpus from real files of this machine and the packages made from it with
# 7zz, plus generated packages of many small files and of large or hostile sizes.
#
#   bench/make_corpus.sh [--dir DIR] [--large]   (or BENCH_DIR=DIR; default /tmp/zelt-bench)
#
# Leaves DIR/corpus (about 110 MB, a few thousand files, one folder with thousands of files) and
# DIR/packages/NAME.7z for every name of default_packages below; --large adds large_packages
# (a 200 MB tree, a 500 MB file, 4 GiB and 1 GiB of zeros; several minutes of packing and about
# 1 GB of disk). Everything is cached: a finished corpus or package is never made again; delete
# it to have it remade.
set -euo pipefail
export LC_ALL=C

bench_dir="${BENCH_DIR:-/tmp/zelt-bench}"
large=0
while (($#)); do
  case "$1" in
    --dir) bench_dir="$2"; shift 2 ;;
    --large) large=1; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
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

# make_tree DEST SCALE: real files of this machine, SCALE times the base budgets (about 110 MB at
# 1, 200 MB at 2: the message catalogues run out first).
make_tree() {
  local dest="$1" scale="$2"
  local staging="$dest.partial" mb=$((1000000 * scale))
  rm -rf "$staging"
  mkdir -p "$staging"
  echo "make_corpus: collecting files into $dest"
  list_files /usr/lib/x86_64-linux-gnu -name '*.so*' | take_budget 4000000 $((36 * mb)) \
    | copy_tree /usr/lib/x86_64-linux-gnu "$staging/lib"
  list_files /usr/bin | take_budget 4000000 $((15 * mb)) | copy_tree /usr/bin "$staging/bin"
  list_files /usr/include | take_budget 1000000 $((20 * mb)) | copy_tree /usr/include "$staging/include"
  list_files /usr/share/doc | take_budget 1000000 $((12 * mb)) | copy_tree /usr/share/doc "$staging/doc"
  # The message catalogues go into one flat folder, named language_domain.mo, so that the
  # extractors meet a folder with thousands of entries.
  mkdir -p "$staging/messages"
  local rel flat
  list_files /usr/share/locale -name '*.mo' | take_budget 40000 $((28 * mb)) | while IFS= read -r rel; do
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
  mv "$staging" "$dest"
}

# Many tiny files, where the cost per file outweighs decoding: 5 folders of COUNT files of 10 to
# 100 bytes each.
make_tiny() {
  awk -v dir="$1" -v count="$2" 'BEGIN {
    for (d = 0; d < 5; d++) {
      system("mkdir -p " dir "/folder" d)
      for (i = 0; i < count; i++) {
        f = sprintf("%s/folder%d/item%05d.txt", dir, d, i)
        line = sprintf("folder %d item %d value %d\n", d, i, (i * 7919 + d * 104729) % 1000003)
        for (k = 0; k <= (i % 3); k++) printf "%s", line > f
        close(f)
      }
    }
  }'
}
make_tiny_files() { make_tiny "$1" 10000; }
make_tiny_10k() { make_tiny "$1" 2000; }

# A chain of 50 nested folders with 20 small files in each: 1,000 files, each at a new depth
# every 20 files. Folder names are short so that the deepest path still fits the device's 260
# units below any benchmark output folder.
make_deep_tree() {
  awk -v dir="$1" 'BEGIN {
    path = dir
    for (level = 1; level <= 50; level++) {
      path = path sprintf("/%02d", level)
      system("mkdir -p " path)
      for (i = 0; i < 20; i++) {
        f = sprintf("%s/f%02d.txt", path, i)
        for (k = 0; k < 10 + (level * i) % 40; k++) printf "level %d file %d line %d\n", level, i, k > f
        close(f)
      }
    }
  }'
}

# Item lists of COUNT files of a line each, 100 to a folder, in folders of two levels
# (group000/module0000/resource00.dat): packages whose test is mostly the walk over their names.
make_items() {
  awk -v dir="$1" -v count="$2" 'BEGIN {
    for (i = 0; i < count; i++) {
      if (i % 100 == 0) {
        folder = sprintf("%s/group%03d/module%04d", dir, i / 10000, i / 100)
        system("mkdir -p " folder)
      }
      f = sprintf("%s/resource%02d.dat", folder, i % 100)
      printf "item %d\n", i > f
      close(f)
    }
  }'
}
make_items_10k() { make_items "$1" 10000; }
make_items_100k() { make_items "$1" 100000; }

# One 500 MB file of real bytes: the corpus's files concatenated, over and over.
make_big_file() {
  local file="$1"
  # Each round stops when head has taken enough and the pipe closes.
  (cd "$corpus" && while :; do find . -type f -print0 | sort -z | xargs -0 cat || exit 0; done) \
    2>/dev/null | head -c 500000000 >"$file"
}

# 1 GiB of zeros in 1024 files of 1 MiB, sparse on disk, packed as one solid block.
make_zero_files() {
  mkdir -p "$1"
  local i
  for ((i = 0; i < 1024; i++)); do truncate -s 1M "$(printf '%s/zero%04d.bin' "$1" "$i")"; done
}

# made DIR MAKER: DIR made once by MAKER DIR, through a partial folder so that an interrupted run
# leaves nothing that looks finished.
made() {
  local dir="$1" maker="$2"
  if [[ -d "$dir" ]]; then return 0; fi
  echo "make_corpus: making $dir"
  rm -rf "$dir.partial"
  mkdir -p "$dir.partial"
  "$maker" "$dir.partial"
  mv "$dir.partial" "$dir"
}

if [[ ! -d "$corpus" ]]; then make_tree "$corpus" 1; fi
read -r corpus_files < <(find "$corpus" -type f | wc -l)
read -r corpus_bytes _ < <(du -sb "$corpus")
read -r flat_files < <(find "$corpus/messages" -type f | wc -l)
printf 'corpus: %s  %d files, %.1f MB (%d in messages/)\n' "$corpus" "$corpus_files" \
  "$(awk -v b="$corpus_bytes" 'BEGIN { print b / 1e6 }')" "$flat_files"

mkdir -p "$packages"
# pack NAME SOURCE 7ZZ-SWITCHES...: packs every entry of the folder SOURCE as NAME.7z.
pack() {
  local name="$1" source="$2"; shift 2
  local pkg="$packages/$name.7z"
  if [[ -f "$pkg" ]]; then return 0; fi
  echo "make_corpus: packing $name.7z ($*)"
  rm -f "$pkg.partial"
  (cd "$source" && 7zz a -t7z -bd -mmt=2 "$@" "$pkg.partial" -- * >/dev/null)
  mv "$pkg.partial" "$pkg"
}

# The packer's defaults are LZMA2 at -mx5 in solid blocks, which is what lzma2-solid spells out.
pack lzma2-solid "$corpus" -m0=LZMA2 -ms=on
pack lzma "$corpus" -m0=LZMA
pack ppmd "$corpus" -m0=PPMd
pack copy "$corpus" -m0=Copy
pack mx9 "$corpus" -mx9
# BCJ2 splits the executables into four streams; the other files stay plain LZMA2.
pack bcj2 "$corpus" -mf=BCJ2
made "$bench_dir/tiny-files" make_tiny_files
pack tiny-files "$bench_dir/tiny-files"
made "$bench_dir/tiny-10k" make_tiny_10k
pack tiny-10k "$bench_dir/tiny-10k"
made "$bench_dir/deep-tree" make_deep_tree
pack deep-tree "$bench_dir/deep-tree"
made "$bench_dir/items-10k" make_items_10k
pack items-10k "$bench_dir/items-10k"
made "$bench_dir/items-100k" make_items_100k
pack items-100k "$bench_dir/items-100k"

if ((large)); then
  if [[ ! -d "$bench_dir/large-tree" ]]; then make_tree "$bench_dir/large-tree" 2; fi
  pack large-tree "$bench_dir/large-tree"
  if [[ ! -f "$packages/big-file.7z" ]]; then
    mkdir -p "$bench_dir/big-file"
    make_big_file "$bench_dir/big-file/big.bin"
    pack big-file "$bench_dir/big-file" -mx1
    rm -rf "$bench_dir/big-file"
  fi
  made "$bench_dir/zero-files" make_zero_files
  pack zeros-1g-solid "$bench_dir/zero-files"
  # 4 GiB of zeros as one file, streamed into the packer rather than kept on disk.
  if [[ ! -f "$packages/zeros-4g.7z" ]]; then
    echo "make_corpus: packing zeros-4g.7z"
    rm -f "$packages/zeros-4g.7z.partial"
    head -c 4G /dev/zero | 7zz a -t7z -bd -mmt=2 -sizeros.bin "$packages/zeros-4g.7z.partial" >/dev/null
    mv "$packages/zeros-4g.7z.partial" "$packages/zeros-4g.7z"
  fi
fi
for pkg in "$packages"/*.7z; do
  printf '  %-18s %10.3f MB\n' "$(basename "$pkg")" "$(awk -v b="$(stat -c %s "$pkg")" 'BEGIN { print b / 1e6 }')"
done
