#!/usr/bin/env bash
# The Windows machine of the end-to-end cases: a fresh Wine prefix in the build tree, with the
# release as users get it from the zip (vxdhost.exe, vxdmount.dll and the test kit's
# iscsidsc.dll in C:\vxd, its example scenarios in C:\vxd\scenarios), the test programs in
# C:\vxd and the test scenarios (FILEs ending in .json) in C:\vxd\test-scenarios. A case that
# runs beside the others gets a copy of its own, PREFIX.CASE.
#   wine_machine.sh create LOADER PREFIX ZIP "CASE..." FILE...
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
    [ $# -ge 5 ] || { echo "usage: wine_machine.sh create LOADER PREFIX ZIP \"CASE...\" FILE..." >&2; exit 2; }
    release=$4
    read -r -a copies <<<"$5"
    shift 5
    for file in "$release" "$@"; do
        [ -f "$file" ] || { echo "wine_machine.sh: $file is not built" >&2; exit 1; }
    done
    stop_wine
    rm -rf "$prefix"
    for copy in "${copies[@]}"; do
        rm -rf "$prefix.$copy"
    done
    started=$(date +%s%N)
    "$WINE" wineboot --init >/dev/null 2>&1 || true
    stop_wine
    if [ ! -e "$prefix/dosdevices/c:" ]; then
        echo "wine_machine.sh: wineboot did not create $prefix" >&2
        exit 1
    fi
    echo "prefix created in $(( ($(date +%s%N) - started) / 1000000 )) ms"
    install="$prefix/drive_c/vxd"
    mkdir -p "$install/scenarios" "$install/test-scenarios"
    unzip -q -j "$release" 'bin/*' testkit/iscsidsc.dll -d "$install"
    unzip -q -j "$release" 'testkit/scenarios/*' -d "$install/scenarios"
    for file in "$@"; do
        case "$file" in
        *.json) cp "$file" "$install/test-scenarios/" ;;
        *) cp "$file" "$install/" ;;
        esac
    done
    for copy in "${copies[@]}"; do
        cp -a "$prefix" "$prefix.$copy"
    done
    ls -R "$install"
    ;;
stop)
    stop_wine
    # The copies' servers too, should a case have left one running.
    for copy in "$prefix".*/dosdevices; do
        [ -d "$copy" ] || continue
        WINEPREFIX=${copy%/dosdevices} stop_wine
    done
    ;;
*)
    echo "usage: wine_machine.sh create|stop LOADER PREFIX ..." >&2
    exit 2
    ;;
esac
