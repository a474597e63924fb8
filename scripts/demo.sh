#!/usr/bin/env bash
# Sets the machine up, builds, and runs a whole update of a demo device: build/demo-device is
# the device's root, with an older install in \Zeltrovan and a storage card holding the updater
# and a package made from demo/package. Then the same update once more by the Windows programs
# (zelt-update.exe, zelt-wait.exe) under Wine, on build/demo-device-win. Running it again starts
# from the same state.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build > /dev/null
cmake --build build -j"$(nproc)" > /dev/null

# make_device DIR UPDATER: a device with the older install and a storage card holding UPDATER
# and the package.
make_device() {
  local device=$1
  if [ -e "$device" ]; then chmod -R u+w "$device"; rm -rf "$device"; fi
  mkdir -p "$device/Zeltrovan" "$device/Storage Card"
  cp -R demo/installed/. "$device/Zeltrovan/"
  (cd demo/package && 7zz a -bd -bso0 -bsp0 "$device/Storage Card/Zeltrovan.7z" .)
  cp "$2" "$device/Storage Card/"
}

device=$PWD/build/demo-device
make_device "$device" build/update/zelt-update

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

echo
echo "== The same update by the Windows programs, under Wine"
cmake -S . -B build-win-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake --no-warn-unused-cli > /dev/null
cmake --build build-win-x86_64 -j"$(nproc)" > /dev/null
# Code page 936 for the console, as on the device: Wine takes it from the locale.
export WINEPREFIX=$PWD/build-win-x86_64/wine-prefix WINEDEBUG=-all LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
[ -d "$WINEPREFIX" ] || wineboot --init > /dev/null 2>&1
windevice=$PWD/build/demo-device-win
make_device "$windevice" build-win-x86_64/update/zelt-update.exe
root=$(winepath -w "$windevice")
echo "(ZELT_DEVICE_ROOT=$root)"
winstatus=0
# The log holds the device's console bytes (code page 936); shown here in the terminal's UTF-8.
ZELT_DEVICE_ROOT=$root wine build-win-x86_64/tools/zelt-wait.exe --timeout 120 \
  "$root\\Storage Card\\zelt-update.exe" > "$windevice.log" || winstatus=$?
iconv -f GBK -t UTF-8 "$windevice.log"
echo "\Zeltrovan\Zeltrovan.exe now reads: $(cat "$windevice/Zeltrovan/Zeltrovan.exe")"
[ "$status" -ne 0 ] && exit "$status"
exit "$winstatus"
