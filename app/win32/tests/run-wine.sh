#!/bin/sh
# Runs a Windows program under Wine in a prefix of the build's own, made on first use.
# Usage: run-wine.sh PREFIX PROGRAM [ARGUMENTS...]   (DISPLAY must name an X server)
set -eu
prefix=$1
shift

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko installers, no desktop menu entries, no sound devices to wait for.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winealsa.drv,winepulse.drv,wineoss.drv=d"

mkdir -p "$prefix"
(
  flock 9
  if [ ! -f "$prefix/.vesk-ready" ]; then
    "$wine" wineboot -i >/dev/null 2>&1
    # Without a window manager Wine waits two seconds for one at every window it hides
    # unless it manages and decorates its windows itself.
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d "" /f >/dev/null 2>&1
    touch "$prefix/.vesk-ready"
  fi
) 9>"$prefix.lock"

exec "$wine" "$@"
