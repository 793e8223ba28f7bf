#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a program of the Windows build under Wine,
# headless and without Wine's debug output, in the Wine prefix PREFIX (made on first use).
#
# CTest starts every Windows test program through this script. The prefix's wineserver
# stays up for a minute after its last program, so a program start costs milliseconds
# rather than seconds.
set -euo pipefail
prefix=$1
shift
# Overrides the caller sets come after the prefix's own.
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
loader=/usr/lib/wine/wine64
[ -x "$loader" ] || loader=$(command -v wine64 || command -v wine)
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=$(command -v wineserver)

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      # services.exe inherits wineboot's standard handles: keep them off any pipe.
      "$loader" wineboot -i </dev/null >/dev/null 2>&1
      "$server" -w
    fi
  ) 9>"$prefix.lock"
fi
# A server started here has not run the prefix's own services yet; the first program starts
# them and they inherit its standard handles. Start them with a program of no consequence, so
# they never hold the caller's pipe (CTest waits for the pipe to close).
if "$server" -p60 </dev/null >/dev/null 2>&1; then
  "$loader" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
fi
exec "$loader" "$@"
