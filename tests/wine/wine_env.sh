# Sourced by the wine scripts: runs wine64 on one prefix inside the build tree, quietly, and
# without touching the user's home or desktop.

find_wine_program() {
    local name=$1
    if [ -x "/usr/lib/wine/$name" ]; then
        echo "/usr/lib/wine/$name"
    elif command -v "$name" >/dev/null; then
        command -v "$name"
    else
        echo "wine: $name not found (Debian: apt-get install wine64; make deps does)" >&2
        return 1
    fi
}

# use_prefix PREFIX: every later wine command works on PREFIX.
use_prefix() {
    WINE64=$(find_wine_program wine64) || exit 1
    WINESERVER=$(find_wine_program wineserver) || exit 1
    export WINEPREFIX=$1
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
