#!/usr/bin/env bash
# Runs one Windows program under Wine the way the tests need it:
#
#   wine-run.sh [--prefix=DIR] [--wait] program.exe [args...]
#
# - a Wine prefix of its own (DIR, default ./wineprefix), created on first
#   use under a lock so that parallel tests do not race to create it;
# - WINEDEBUG=-all and no DISPLAY, so nothing is printed by Wine itself and a
#   message box returns at once instead of waiting for a click;
# - the program's exit status is passed on.
# With --wait (or QUORVANE_WINE_WAIT=1) it also waits for the wineserver to
# finish (wineserver -w); scripts/test-windows does that once after the run
# instead, since waiting after every test adds the server's linger time to each.
set -uo pipefail
prefix=$PWD/wineprefix
wait=${QUORVANE_WINE_WAIT:-0}
while (($#)); do
  case "$1" in
    --prefix=*) prefix=${1#--prefix=}; shift ;;
    --wait) wait=1; shift ;;
    *) break ;;
  esac
done
(($#)) || { echo "usage: wine-run.sh [--prefix=DIR] [--wait] program [args...]" >&2; exit 2; }

wine=$(command -v wine64 || true)
[[ -n "$wine" ]] || { [[ -x /usr/lib/wine/wine64 ]] && wine=/usr/lib/wine/wine64; }
[[ -n "$wine" ]] || wine=$(command -v wine || true)
[[ -n "$wine" ]] || { echo "wine-run.sh: wine is not installed" >&2; exit 127; }
server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
# Wine maps file names to the Linux side in the locale's character set: with
# none (plain C) it cannot name a file with a letter outside ASCII.  A caller
# that names no locale gets C.UTF-8, whose Windows code page is 1252.
# TMPDIR means nothing to a Windows program, which uses TMP and TEMP.
[[ -n "${LC_ALL:-}" ]] || export LC_ALL=C.UTF-8
unset TMPDIR

if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
      "$wine" wineboot --init >/dev/null 2>&1
      "$server" -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi

"$wine" "$@"
status=$?
((wait)) && "$server" -w
exit $status
