#!/usr/bin/env bash
# A whole update: zelt-update on a simulated device against the shell pipeline that does the same
# work safely.
#
#   bench/bench_update.sh [--build DIR] [--dir DIR] [--runs N] [--scratch DIR]
#
# The device (ZELT_DEVICE_ROOT) holds SDMMC/zelt-update with the LZMA2 solid package beside it as
# Zeltrovan.7z, and Zeltrovan/ filled with an older install (a copy of the corpus). Before every
# run, outside the timing, that older install is put back. The peer, run from the device folder:
#   7zz t -mmt1 PKG && rm -rf Zeltrovan/* && cp PKG Zeltrovan/ &&
#   7zz x -mmt1 -y -oZeltrovan Zeltrovan/Zeltrovan.7z && rm Zeltrovan/Zeltrovan.7z
# Runs alternate, N of each; medians of wall time and peak resident memory (the largest single
# process of the pipeline) are compared as zelt / pipeline. Goal: wall ratio <= 1.10.
set -euo pipefail
export LC_ALL=C
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
parse_bench_options "$@"

zelt_update="$build_dir/update/zelt-update"
require_built "$zelt_update"
# BENCH_PACKAGE picks another of the corpus packages (e.g. copy.7z, 108 MB, to weigh the copy).
package_name=${BENCH_PACKAGE:-lzma2-solid.7z}
package="$bench_dir/packages/$package_name"
device="$scratch_dir/device"
reset_figures
rm -rf "$device" "$scratch_dir/update-result"
mkdir -p "$device/SDMMC"
cp "$zelt_update" "$device/SDMMC/zelt-update"
cp "$package" "$device/SDMMC/Zeltrovan.7z"

restore_old_install() {
  rm -rf "$device/Zeltrovan"
  cp -r "$bench_dir/corpus" "$device/Zeltrovan"
  settle
}

# The pipeline checks the package before it deletes anything, as the updater does, and both
# decode with one thread.
peer_update='7zz t -mmt1 SDMMC/Zeltrovan.7z &&
  rm -rf Zeltrovan/* &&
  cp SDMMC/Zeltrovan.7z Zeltrovan/ &&
  7zz x -mmt1 -y -oZeltrovan Zeltrovan/Zeltrovan.7z &&
  rm Zeltrovan/Zeltrovan.7z'

run_zelt() {
  restore_old_install
  measure update.zelt env ZELT_DEVICE_ROOT="$device" "$device/SDMMC/zelt-update"
}

run_peer() {
  restore_old_install
  measure update.peer bash -c "cd '$device' && $peer_update"
}

echo "bench_update: $(basename "$package") as Zeltrovan.7z, $runs runs each"
for ((run = 1; run <= runs; run++)); do
  run_zelt
  if ((run == 1)); then
    if [[ -e "$device/Zeltrovan/Zeltrovan.7z" ]]; then
      echo "bench_update.sh: zelt-update left the package copy behind" >&2
      exit 1
    fi
    mv "$device/Zeltrovan" "$scratch_dir/update-result"
  fi
  run_peer
  if ((run == 1)) && ! diff -r "$scratch_dir/update-result" "$device/Zeltrovan" \
      >"$bench_dir/figures/update.diff"; then
    echo "bench_update.sh: zelt-update and the pipeline left different installs:" >&2
    head -n 20 "$bench_dir/figures/update.diff" >&2
    exit 1
  fi
done
rm -rf "$device" "$scratch_dir/update-result"

# The updater's named events and its run-lock file outlive it on a host; the ones of this simulated
# device go with it. Their names carry an FNV-1a hash of the device root's host path.
hash=-3750763034362895579  # 14695981039346656037 as a signed 64-bit number
for byte in $(printf '%s' "$device" | od -An -tu1 -v); do
  hash=$(((hash ^ byte) * 1099511628211))
done
rm -f /dev/shm/sem.zelt-"$(printf '%016x' "$hash")"-Zeltrovan_Update_* \
  /dev/shm/zelt-"$(printf '%016x' "$hash")"-Zeltrovan_Update_Lock.lock

echo
echo "Whole update, median of $runs alternating runs each; ratio = zelt / pipeline."
echo "zelt-update run directly (exit status 0 checked); both leave identical installs (diff -r)."
table_header update "pkg MB" pipe
table_row "$package_name" "$(bytes_to_mb "$(stat -c %s "$package")")" update.zelt update.peer
report_load
