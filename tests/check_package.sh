#!/usr/bin/env bash
# The release as a CMake package: a consumer project (tests/package) finds it in the unpacked
# zip and builds with the zip's own bitness, and a build of the other bitness is turned down
# with a message that names the other zip.
#   check_package.sh ZIP SOURCE_DIR WORK_DIR TOOLCHAIN OTHER_TOOLCHAIN
# Leaves the consumer's app.exe, with vxdmount.dll beside it, in WORK_DIR/app.
set -uo pipefail
zip_file=$1
source_dir=$2
work=$3
toolchain=$4
other_toolchain=$5
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
unzip -q "$zip_file" -d "$work/release" || { echo "FAIL: cannot unpack $zip_file"; exit 1; }
other=${zip_file##*/}
case "$other" in
*-win32.zip) other=${other/-win32/-win64} ;;
*) other=${other/-win64/-win32} ;;
esac

configure() { # configure BUILD_DIR TOOLCHAIN
    cmake -S "$source_dir/tests/package" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$2" \
        -DCMAKE_PREFIX_PATH="$work/release" -DCMAKE_BUILD_TYPE=Release
}
if configure "$work/app" "$toolchain" >"$work/app.log" 2>&1 &&
    cmake --build "$work/app" >>"$work/app.log" 2>&1; then
    [ -f "$work/app/app.exe" ] || fail "the consumer built no app.exe"
    cmp -s "$work/app/vxdmount.dll" "$work/release/bin/vxdmount.dll" ||
        fail "the release's vxdmount.dll is not next to app.exe"
else
    cat "$work/app.log"
    fail "the consumer does not build against $(basename "$zip_file")"
fi

if configure "$work/other" "$other_toolchain" >"$work/other.log" 2>&1; then
    fail "a consumer of the other bitness found the package"
elif ! grep -qF "$other" "$work/other.log"; then
    cat "$work/other.log"
    fail "the other bitness is turned down without naming $other"
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "ok: $(basename "$zip_file") as a CMake package; the other bitness is sent to $other"
