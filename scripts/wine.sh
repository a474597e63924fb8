#!/usr/bin/env bash
# Runs the Windows build's programs under Wine as the tests need them:
#   wine.sh start DIR...          makes the Wine user and prefix when missing, lets the user read
#                                 DIR... (the build and source trees), and starts one wineserver
#                                 that every program of the run shares (a warm start is ~0.3 s,
#                                 a cold one seconds)
#   wine.sh run PROGRAM [ARGS...] runs one program (CTest's emulator for the Windows build)
#   wine.sh drive LETTER DIR      makes DIR drive LETTER: of the prefix, writable by the Wine user
#   wine.sh stop                  stops that wineserver and whatever still runs under it
# Wine run as root ignores the read-only attribute when it creates a file, so as root the
# programs run as the unprivileged user zelt-wine, with a prefix of its own. The locale gives
# the ANSI and OEM code pages of a Chinese Windows, 936 (the device's), so that console bytes of
# Chinese names are checked as the device writes them.
set -euo pipefail

user=zelt-wine
if [ "$(id -u)" -eq 0 ]; then
  home=/var/lib/$user
  wine_user() { runuser -u "$user" -- "$@"; }
else
  home=$HOME
  wine_user() { "$@"; }
fi
# ZELT_WINE_PREFIX gives a run a prefix, and so a wineserver, of its own: runs from two checkouts
# at once then never stop each other's server.
prefix=${ZELT_WINE_PREFIX:-$home/.zelt-wine}
settings=(HOME="$home" WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
          LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8)
as_wine_user() { wine_user env "${settings[@]}" "$@"; }

# Lets the Wine user reach dir from "/" and read it, through access-control entries for that user
# alone, and only where the modes do not already allow it.
grant_read() {
  local dir path
  dir=$(realpath "$1")
  path=$dir
  while [ "$path" != / ]; do
    path=$(dirname "$path")
    as_wine_user test -x "$path" || setfacl -m "u:$user:x" "$path"
  done
  if as_wine_user find "$dir" ! -readable -print -quit 2> /dev/null | grep -q .; then
    setfacl -R -m "u:$user:rX" "$dir"
  fi
}

stop() {
  as_wine_user wineserver --kill > /dev/null 2>&1 || true
  as_wine_user wineserver --wait > /dev/null 2>&1 || true
}

start() {
  if [ "$(id -u)" -eq 0 ]; then
    id "$user" > /dev/null 2>&1 ||
      useradd --system --create-home --home-dir "$home" --shell /usr/sbin/nologin "$user"
    local dir
    for dir in "$@"; do grant_read "$dir"; done
  fi
  # A server left by an interrupted run would not be ours to configure: start afresh.
  stop
  # No Mono or Gecko: nothing here needs them, and their installers would ask.
  if [ ! -e "$prefix/system.reg" ]; then
    as_wine_user env WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init < /dev/null > /dev/null 2>&1
    stop
  fi
  as_wine_user wineserver --persistent < /dev/null > /dev/null 2>&1
  # Wine's own services start with the first program and outlive it, holding its standard
  # streams: start them here, on /dev/null, rather than in a test whose output CTest reads.
  as_wine_user wine cmd /c exit < /dev/null > /dev/null 2>&1
}

drive() {
  local dir
  dir=$(realpath "$2")
  if [ "$(id -u)" -eq 0 ]; then
    grant_read "$dir"
    chown -R "$user" "$dir"
  fi
  as_wine_user ln -sfn "$dir" "$prefix/dosdevices/${1,,}:"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  drive) shift; drive "$@" ;;
  run) shift; as_wine_user wine "$@" ;;
  stop) stop ;;
  *) echo "usage: wine.sh start DIR... | run PROGRAM [ARGS...] | drive LETTER DIR | stop" >&2; exit 2 ;;
esac
