#!/usr/bin/env bash
# The Windows machine of the end-to-end cases: a fresh Wine prefix in the build tree, with
# the release's programs (vxdhost.exe and vxdmount.dll, from the zip as users get them), the
# discovery double and the test programs installed in C:\vxd.
#   wine_machine.sh create LOADER PREFIX ZIP FILE...   (the release, then the test programs)
#   wine_machine.sh stop LOADER PREFIX
# LOADER is wine64 for the x86-64 build, wine for the 32-bit one.
set -euo pipefail
source "$(dirname "$0")/wine_env.sh"

command=${1:-}
loader=${2:-}
prefix=${3:-}
case "$prefix" in
*/wine/prefix) ;;
*) echo "wine_machine.sh: refusing to work on '$prefix' (expected .../wine/prefix)" >&2; exit 2 ;;
esac
use_prefix "$loader" "$prefix"

case "$command" in
create)
    [ $# -ge 4 ] || { echo "usage: wine_machine.sh create LOADER PREFIX ZIP FILE..." >&2; exit 2; }
    release=$4
    shift 4
    for file in "$release" "$@"; do
        [ -f "$file" ] || { echo "wine_machine.sh: $file is not built" >&2; exit 1; }
    done
    stop_wine
    rm -rf "$prefix"
    started=$(date +%s%N)
    "$WINE" wineboot --init >/dev/null 2>&1 || true
    stop_wine
    if [ ! -e "$prefix/dosdevices/c:" ]; then
        echo "wine_machine.sh: wineboot did not create $prefix" >&2
        exit 1
    fi
    echo "prefix created in $(( ($(date +%s%N) - started) / 1000000 )) ms"
    mkdir -p "$prefix/drive_c/vxd"
    unzip -q -j "$release" 'bin/*' -d "$prefix/drive_c/vxd"
    cp "$@" "$prefix/drive_c/vxd/"
    ls "$prefix/drive_c/vxd"
    ;;
stop)
    stop_wine
    ;;
*)
    echo "usage: wine_machine.sh create|stop LOADER PREFIX ..." >&2
    exit 2
    ;;
esac
