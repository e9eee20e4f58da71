# Sourced by the wine scripts: runs Wine on one prefix inside the build tree, quietly, and
# without touching the user's home or desktop.

# ctest's status for a case that could not run on this machine: reported, never passed.
readonly SKIPPED=77

find_wine_program() {
    local name=$1 package=$2
    if [ -x "/usr/lib/wine/$name" ]; then
        echo "/usr/lib/wine/$name"
    elif command -v "$name" >/dev/null; then
        command -v "$name"
    else
        echo "wine: $name not found (Debian: apt-get install $package; make deps does)" >&2
        return 1
    fi
}

# use_prefix LOADER PREFIX: every later wine command runs PREFIX's programs through LOADER,
# wine64 for the x86-64 build or wine for the 32-bit one. Exits with SKIPPED, saying why in one
# line, where the machine cannot run 32-bit code at all or cannot install the 32-bit loader.
use_prefix() {
    local loader=$1
    if [ "$loader" = wine ]; then
        local runs=0
        bash "$(dirname "${BASH_SOURCE[0]}")/runs_32bit_code.sh" || runs=$?
        case $runs in
        0) ;;
        1)
            echo "skipped: this machine does not run 32-bit x86 code, so the 32-bit DLL cannot run here"
            exit $SKIPPED
            ;;
        *) exit 1 ;;
        esac
        # make deps leaves this line where the archive could not serve the loader today.
        if [ -n "${VXD_WINE32_UNAVAILABLE:-}" ] && ! [ -x /usr/lib/wine/wine ]; then
            echo "$VXD_WINE32_UNAVAILABLE"
            exit $SKIPPED
        fi
        WINE=$(find_wine_program wine wine32:i386) || exit 1
    else
        WINE=$(find_wine_program wine64 wine64) || exit 1
    fi
    WINESERVER=$(find_wine_program wineserver wine64) || exit 1
    export WINEPREFIX=$2
    export WINEDEBUG=-all
    # No .NET or HTML engine to install, no menu entries on a desktop, and the discovery
    # library from the program's folder even where Wine has one of its own.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;iscsidsc=n"
    export HOME="$WINEPREFIX.home"
    mkdir -p "$HOME"
    unset DISPLAY WAYLAND_DISPLAY
}

stop_wine() {
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
}
