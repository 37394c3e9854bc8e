#!/bin/sh
# Installs the test driver's boards into the build's Wine prefix, once: again only when the
# driver, its INF or the installing program changed since.
# Usage: install-board-driver.sh PREFIX TOOL INF COUNT FOLDER   (FOLDER as a Windows path)
set -eu
prefix=$1 tool=$2 inf=$3 count=$4 folder=$5
here=$(dirname "$0")
stamp=$prefix/.vesk-board-driver
sys=${inf%.inf}.sys
if [ -f "$stamp" ] && [ "$stamp" -nt "$sys" ] && [ "$stamp" -nt "$inf" ] && [ "$stamp" -nt "$tool" ] &&
   [ "$(cat "$stamp")" = "$count $folder" ]; then
  exit 0
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# The prefix first (run-wine.sh makes it), and the boards of an earlier install gone.
"$here/run-wine.sh" "$prefix" "$tool" uninstall
# The driver is installed in a session of its own: not in the one that made the prefix,
# nor in one whose driver host still runs the old driver.
WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
WINEPREFIX="$prefix" "$wineserver" -w
rm -f "$stamp"
"$here/run-wine.sh" "$prefix" "$tool" install "Z:$(echo "$inf" | tr / '\\')" "$count" "$folder"
printf "%s\n" "$count $folder" > "$stamp"
