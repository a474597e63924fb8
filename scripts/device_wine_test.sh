#!/usr/bin/env bash
# Runs the device configuration's updater (BUILD/update/zelt-update.exe, with the paths and event
# names that _WIN32_WCE selects) under Wine as the device runs it: drive D: of the Wine prefix is a
# simulated device folder, and the updater starts with D:\ as its current directory, so that
# "\Zeltrovan" and the relative "ZELTROVAN//Zeltrovan.7z" land where they do on the device. The
# waiting side is the same configuration's zelt-wait.exe, which knows only the two plain event
# names. A good package must end in success with the install tree equal to the package (and
# "EMMC_Check_File.txt" kept); a missing or a damaged one in failure with the old tree untouched.
# Needs a wineserver from "scripts/wine.sh start" that may read BUILD.
# usage: device_wine_test.sh BUILD
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath "$1")
work=$build/wine-device
rm -rf "$work"
mkdir -p "$work"
(cd demo/package && 7zz a -bd -bso0 -bsp0 "$work/good.7z" .)
# Item data no longer matching its checksum.
cp "$work/good.7z" "$work/damaged.7z"
printf 'damage' | dd of="$work/damaged.7z" bs=1 seek=64 conv=notrunc status=none

failed=0
# check CASE PACKAGE OUTCOME EXPECTED_TREE: PACKAGE is "" for none.
check() {
  local name=$1 package=$2 want=$3 tree=$4 device=$work/$1 got
  mkdir -p "$device/Zeltrovan" "$device/SDMMC"
  cp -R demo/installed/. "$device/Zeltrovan/"
  cp "$build/update/zelt-update.exe" "$device/SDMMC/"
  [ -z "$package" ] || cp "$package" "$device/SDMMC/Zeltrovan.7z"
  bash scripts/wine.sh drive d "$device"
  # Wine names the current directory by the drive whose root lies deepest above it: D:\.
  got=$(cd "$device" && bash "$root/scripts/wine.sh" run "$build/tools/zelt-wait.exe" --timeout 120 \
    'D:\SDMMC\zelt-update.exe' 2> "$work/$name.err" | tee "$work/$name.log" | tail -n 1 | tr -d "\r") || true
  local problems=()
  [ "$got" = "$want" ] || problems+=("outcome \"$got\", not \"$want\"")
  diff -r --exclude=EMMC_Check_File.txt "$tree" "$device/Zeltrovan" > "$work/$name.diff" ||
    problems+=("install tree differs from $tree (see $work/$name.diff)")
  cmp -s demo/installed/EMMC_Check_File.txt "$device/Zeltrovan/EMMC_Check_File.txt" ||
    problems+=("EMMC_Check_File.txt not kept")
  if [ ${#problems[@]} -eq 0 ]; then
    echo "device configuration under Wine, $name package: $want"
  else
    echo "device configuration under Wine, $name package: FAILED: ${problems[*]}"
    echo "  log: $work/$name.log, $work/$name.err"
    failed=1
  fi
}

check good "$work/good.7z" success demo/package
check missing "" failure demo/installed
check damaged "$work/damaged.7z" failure demo/installed
exit $failed
