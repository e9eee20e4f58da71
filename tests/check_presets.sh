#!/usr/bin/env bash
# A preset configured alone, as an IDE that reads CMakePresets.json does it: a fresh copy of the
# tree with nothing unpacked, and an installed valijson package, if any, out of sight, so that
# the configure unpacks Debian's package itself (cmake/valijson.cmake).
#   check_presets.sh [PRESET]
set -uo pipefail
preset=${1:-host}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$source_dir" && git ls-files -z | xargs -0 cp --parents -t "$work") ||
    { echo "FAIL: cannot copy the sources"; exit 1; }
if ! (cd "$work" && cmake --preset "$preset" -DCMAKE_DISABLE_FIND_PACKAGE_valijson=ON \
    >"$work/configure.log" 2>&1); then
    cat "$work/configure.log"
    echo "FAIL: cmake --preset $preset does not configure alone"
    exit 1
fi
headers=$work/build/third_party/libvalijson-dev/usr/include
if [ ! -f "$headers/valijson/validator.hpp" ] || ! grep -qF "valijson: $headers" "$work/configure.log"; then
    cat "$work/configure.log"
    echo "FAIL: cmake --preset $preset did not take the valijson it unpacked"
    exit 1
fi
echo "ok: cmake --preset $preset configures alone: it unpacked valijson's headers itself"
