#!/usr/bin/env bash
# Makes the package fuzzer's seed corpus with 7zz: small packages in every coder layout the
# extractor takes (Copy, LZMA, LZMA2 and PPMd, each alone, with BCJ and with ARM; BCJ2), with
# and without solid blocks and a packed header, holding empty files and folders and Chinese
# names; plus the hand-made fixture packages of tests/fixtures.
#
#   tests/fuzz/make_seeds.sh OUTDIR
set -euo pipefail
if (($# != 1)); then
  echo "usage: $0 OUTDIR" >&2
  exit 2
fi
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$1"
out="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Small, so that mutations stay cheap, but with work for every coder and both branch filters:
# x86 calls (E8) and ARM branch-with-link words (top byte EB) between text.
tree="$work/tree"
mkdir -p "$tree/bin" "$tree/empty" "$tree/帮助"
for i in 1 2 3 4 5 6; do printf 'MOV R0, #%d; BL 0x8000\n' "$i"; done > "$tree/readme.txt"
for i in 1 2 3 4 5 6 7 8; do
  low="$(printf '\\x%02x' "$((i * 16))")"
  printf "\x55\x8b\xec\xe8$low\x01\x00\x00\x5d\xc3" >> "$tree/bin/app.exe"
  printf "$low\x00\x00\xeb\x04\xe0\x2d\xe5" >> "$tree/bin/arm.dll"
done
: > "$tree/zero.dat"
printf '说明\n' > "$tree/帮助/说明.txt"
chmod a-w "$tree/readme.txt"

pack() {
  local name="$1"; shift
  rm -f "$out/$name.7z"
  (cd "$tree" && 7zz a -bd -bso0 -bsp0 "$@" "$out/$name.7z" . > /dev/null)
}

# PPMd's model memory is a declared size the decoder allocates: keep it small.
for coder in Copy LZMA LZMA2 PPMd; do
  args=("-m0=$coder")
  [[ $coder == PPMd ]] && args=("-m0=PPMd:mem=1m:o=4")
  pack "$coder" "${args[@]}"
  pack "$coder-bcj" "${args[@]}" -mf=BCJ
  pack "$coder-arm" "${args[@]}" -mf=ARM
done
pack LZMA-bcj2 -m0=LZMA -mf=BCJ2
pack LZMA2-bcj2 -m0=LZMA2 -mf=BCJ2
pack PPMd-bcj2 -m0=PPMd:mem=1m:o=4 -mf=BCJ2
pack LZMA-not-solid -m0=LZMA -ms=off
pack LZMA2-plain-header -m0=LZMA2 -mhc=off
pack Copy-plain-header -m0=Copy -mhc=off
(cd "$work" && rm -f "$out/empty.7z" && mkdir -p none && cd none &&
  7zz a -bd -bso0 -bsp0 "$out/empty.7z" . > /dev/null)
cp "$here/../fixtures/"*.7z "$out/"
echo "seed packages: $(find "$out" -name '*.7z' | wc -l) in $out"
