#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# start: create the private Wine prefix if needed, configure it and keep its
# server running; configure: only the settings below (the benchmarks' prefix
# uses it too); stop: end the server. Needs WINEPREFIX and WINE in the environment.
set -euo pipefail
: "${WINEPREFIX:?}" "${WINE:=/usr/lib/wine/wine64}"
export WINEDEBUG=-all
server=$(dirname "$WINE")/wineserver
[ -x "$server" ] || server=wineserver

# The launcher's hidden window needs a graphics driver: the null driver serves
# without an X server. With a driver in place a crashing process would wait
# for ever in winedbg's (invisible) crash dialog, so that is switched off too.
# explorer.exe reads the driver only when it starts, hence the server restart.
# Done once: user.reg is what the server writes as it stops.
configure() {
    if ! grep -q '^"Graphics"="null"' "$WINEPREFIX/user.reg" ||
       ! grep -q '^"ShowCrashDialog"=dword:00000000' "$WINEPREFIX/user.reg"; then
        "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1
        "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        "$server" -k 2>/dev/null || true
        "$server" -w 2>/dev/null || true
    fi
}

case "${1:-}" in
start)
    # A first wineboot in a new prefix has been seen to fail once; a second
    # attempt on the half-made prefix completes it.
    for attempt in 1 2 3; do
        [ -f "$WINEPREFIX/system.reg" ] && break
        mkdir -p "$WINEPREFIX"
        "$WINE" wineboot -i >/dev/null 2>&1 || true
        "$server" -w 2>/dev/null || true
    done
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine_prefix: could not create $WINEPREFIX" >&2; exit 1; }
    configure
    "$server" -p 2>/dev/null || true  # fails harmlessly when a server is already up
    "$WINE" cmd /c exit 0 >/dev/null 2>&1 || true  # warm the server
    ;;
configure)
    configure
    ;;
stop)
    "$server" -k 2>/dev/null || true
    ;;
*)
    echo "usage: $0 start|configure|stop" >&2; exit 2 ;;
esac
