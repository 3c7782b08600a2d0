#!/usr/bin/env bash
# Archives cross between the systems: one made by the Linux plugin unpacks
# under the Windows plugin byte for byte, and the other way round.  Since
# both pack the same file with the same bzip2, the two archives must also be
# identical, header and time stamp included.  Both run in a zone with summer
# time (Wine takes the zone from TZ): a summer and a winter time stamp are
# stored as their wall-clock time and come back as the same moment on either
# system, whatever the season the test runs in.
#
#   interop.sh <work-dir> <linux-host> <linux-plugin> <wine-run> <wine-prefix> <windows-host> <windows-plugin>
# Exit status 77 (skipped) when no Linux build was given.
set -euo pipefail
work=$1 linux_host=$2 linux_plugin=$3 wine_run=$4 prefix=$5 windows_host=$6 windows_plugin=$7
if [[ ! -x "$linux_host" || ! -f "$linux_plugin" ]]; then
  echo "no Linux build of the plugin and host given: skipped"
  exit 77
fi
windows() { "$wine_run" "--prefix=$prefix" "$windows_host" "$@"; }
export TZ=Europe/Berlin

rm -rf "$work"
mkdir -p "$work"
cd "$work"
fail() { echo "FAILED: $*" >&2; exit 1; }

# Several 64 KiB blocks of mixed data, an empty file, and a small one dated
# in summer.
{ head -c 150000 /dev/urandom; for i in $(seq 1 5000); do echo "line $i of the text part"; done; } > data.bin
: > empty.dat
echo "written in July" > summer.txt
declare -A stamp=([data.bin]='2022-01-15 10:20:30' [empty.dat]='2022-01-15 10:20:30' [summer.txt]='2023-07-15 12:00:00')
for f in "${!stamp[@]}"; do touch -d "${stamp[$f]}" "$f"; done

# The DOS date/time in an archive's header, as "YYYY-MM-DD hh:mm:ss".
stored_time() {
  local dos
  dos=$(od -An -tu4 -j16 -N4 "$1" | tr -d ' ')
  printf '%04d-%02d-%02d %02d:%02d:%02d' $(((dos >> 25) + 1980)) $(((dos >> 21) & 15)) $(((dos >> 16) & 31)) \
    $(((dos >> 11) & 31)) $(((dos >> 5) & 63)) $(((dos & 31) * 2))
}

for f in data.bin empty.dat summer.txt; do
  "$linux_host" pack "$linux_plugin" "$work/$f" "$work/$f.linux.qv" || fail "Linux packing of $f"
  windows pack "$windows_plugin" "$work/$f" "$work/$f.windows.qv" || fail "Windows packing of $f"

  mkdir -p on-windows on-linux
  windows extract "$windows_plugin" "$work/$f.linux.qv" "$work/on-windows/$f" || fail "Windows extracting the Linux archive of $f"
  "$linux_host" extract "$linux_plugin" "$work/$f.windows.qv" "$work/on-linux/$f" || fail "Linux extracting the Windows archive of $f"
  cmp "$f" "on-windows/$f" || fail "$f: the Linux archive unpacked differently on Windows"
  cmp "$f" "on-linux/$f" || fail "$f: the Windows archive unpacked differently on Linux"
  cmp "$f.linux.qv" "$f.windows.qv" || fail "$f: the two systems wrote different archives"
  [[ "$(stored_time "$f.windows.qv")" == "${stamp[$f]}" ]] || fail "$f: stored as $(stored_time "$f.windows.qv"), not ${stamp[$f]}"
  for side in on-windows on-linux; do
    [[ "$(stat -c %Y "$side/$f")" == "$(stat -c %Y "$f")" ]] || fail "$f: $side restored $(date -r "$side/$f"), not $(date -r "$f")"
  done
  bzip2 -dc < <(tail -c +$((28 + ${#f} + 1)) "$f.windows.qv") | cmp - "$f" || fail "$f: bzip2 -d does not restore the Windows archive's payload"
done
echo "archives cross between Linux and Windows byte for byte"
