#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# start: create the private Wine prefix if needed and keep its server running;
# stop: end the server. Needs WINEPREFIX and WINE in the environment.
set -euo pipefail
: "${WINEPREFIX:?}" "${WINE:=/usr/lib/wine/wine64}"
export WINEDEBUG=-all
server=$(dirname "$WINE")/wineserver
[ -x "$server" ] || server=wineserver
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
    "$server" -p 2>/dev/null || true  # fails harmlessly when a server is already up
    "$WINE" cmd /c exit 0 >/dev/null 2>&1 || true  # warm the server
    ;;
stop)
    "$server" -k 2>/dev/null || true
    ;;
*)
    echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
