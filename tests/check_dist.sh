#!/usr/bin/env bash
# Checks the release zip.
#   check_dist.sh contents ZIP SOURCE_DIR BUILD_DIR OBJDUMP
#       the files in their order, their checksums, the DLL as check_dll.sh wants it and within
#       150 KiB, and no path of the machine that built them inside any file
#   check_dist.sh reproducible ZIP SOURCE_DIR WORK_DIR
#       a copy of the sources built in WORK_DIR gives the same zip, byte for byte
set -uo pipefail
mode=$1
zip_file=$2
source_dir=$3
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -f "$zip_file" ] || { echo "FAIL: $zip_file not built"; exit 1; }

case "$mode" in
contents)
    build_dir=$4
    objdump=$5
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    expected="vxdmount.dll vxdmount.lib libvxdmount.dll.a vxdmount.def vxdmount.h vxdhost.exe README.txt SHA256SUMS"
    listed=$(unzip -Z1 "$zip_file" | tr '\n' ' ' | sed 's/ $//')
    [ "$listed" = "$expected" ] || fail "the zip holds '$listed', expected '$expected'"
    unzip -q "$zip_file" -d "$work" || fail "cannot unpack the zip"
    (cd "$work" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
    [ "$(wc -l <"$work/SHA256SUMS")" -eq 7 ] || fail "SHA256SUMS does not cover the seven files"
    bash "$here/check_dll.sh" "$work/vxdmount.dll" "$objdump" >/dev/null ||
        fail "vxdmount.dll: $(bash "$here/check_dll.sh" "$work/vxdmount.dll" "$objdump")"
    "$objdump" -h "$work/vxdmount.dll" | grep -q '\.debug' && fail "vxdmount.dll is not stripped"
    size=$(stat -c %s "$work/vxdmount.dll")
    [ "$size" -le 153600 ] || fail "vxdmount.dll is $size bytes, more than 150 KiB"
    "$objdump" -f "$work/vxdhost.exe" | grep -q "pei-i386" || fail "vxdhost.exe is not 32-bit"
    cmp -s "$work/vxdmount.h" "$source_dir/entry/vxdmount.h" || fail "vxdmount.h differs"
    grep -q $'\r$' "$work/README.txt" || fail "README.txt has no CRLF line ends"
    grep -q "@VERSION@" "$work/README.txt" && fail "README.txt names no version"
    for folder in "$source_dir" "$build_dir" "$HOME"; do
        grep -l -a -F "$folder" "$work"/* && fail "files above hold the path $folder"
    done
    ;;
reproducible)
    work_dir=$4
    rm -rf "$work_dir"
    mkdir -p "$work_dir/src"
    # The working tree's files, tracked or new, without what git ignores (the builds).
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 cp --parents -t "$work_dir/src") || fail "cannot copy the sources"
    export SOURCE_DATE_EPOCH
    SOURCE_DATE_EPOCH=$(bash "$source_dir/tools/dist/make_zip.sh" --epoch "$source_dir")
    (cd "$work_dir/src" && cmake --preset win32 >/dev/null &&
        cmake --build --preset win32 --target vxdmount_dist >"$work_dir/build.log" 2>&1) ||
        { tail -30 "$work_dir/build.log"; fail "the second build failed"; }
    second="$work_dir/src/build/win32/dist/$(basename "$zip_file")"
    if ! cmp "$zip_file" "$second"; then
        fail "the zip built in $work_dir/src differs from $zip_file"
        unzip -q -o "$zip_file" -d "$work_dir/first" && unzip -q -o "$second" -d "$work_dir/second"
        for file in "$work_dir"/first/*; do
            cmp -s "$file" "$work_dir/second/${file##*/}" || echo "differs: ${file##*/}"
        done
    else
        rm -rf "$work_dir"
    fi
    ;;
*)
    echo "usage: check_dist.sh contents|reproducible ZIP SOURCE_DIR ..." >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "ok: $(basename "$zip_file"): $mode"
