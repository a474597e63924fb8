#!/usr/bin/env bash
# Sets the machine up, builds, and runs a whole update of a demo device: build/demo-device is
# the device's root, with an older install in \Zeltrovan and a storage card holding the updater
# and a package made from demo/package. Running it again starts from the same state.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build > /dev/null
cmake --build build -j"$(nproc)" > /dev/null

device=$PWD/build/demo-device
if [ -e "$device" ]; then chmod -R u+w "$device"; rm -rf "$device"; fi
mkdir -p "$device/Zeltrovan" "$device/Storage Card"
cp -R demo/installed/. "$device/Zeltrovan/"
(cd demo/package && 7zz a -bd -bso0 -bsp0 "$device/Storage Card/Zeltrovan.7z" .)
cp build/update/zelt-update "$device/Storage Card/"

echo "== Device before the update ($device)"
(cd "$device" && find . -mindepth 1 | sort)
echo
echo "== Update log (zelt-wait runs \\Storage Card\\zelt-update and waits for its event)"
status=0
ZELT_DEVICE_ROOT=$device build/tools/zelt-wait --timeout 120 "$device/Storage Card/zelt-update" || status=$?
echo
echo "== Device after the update"
(cd "$device" && find . -mindepth 1 | sort)
echo "\Zeltrovan\Zeltrovan.exe now reads: $(cat "$device/Zeltrovan/Zeltrovan.exe")"
exit "$status"
