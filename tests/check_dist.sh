#!/usr/bin/env bash
# Checks a release zip.
#   check_dist.sh contents ZIP SOURCE_DIR BUILD_DIR OBJDUMP ARCH
#       the install tree's files, their checksums, the DLL as check_dll.sh wants it and within
#       168 KiB, vxdhost's machine, the README's bitness, the bindings as the tests ran them and
#       with the DLL's version, and no path of the machine that built them inside any file
#       (ARCH: win32 or win64)
#   check_dist.sh reproducible ZIP SOURCE_DIR WORK_DIR PRESET VALIJSON_INCLUDE
#       a copy of the sources built in WORK_DIR with PRESET gives the same zip, byte for byte;
#       it takes valijson's headers from where the first build took them
set -uo pipefail
export LC_ALL=C
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
    arch=$6
    if [ "$arch" = win64 ]; then
        machine=x86-64 format=pei-x86-64 bits=64 other=${zip_file##*/}
        other=${other/-win64/-win32}
    else
        machine=i386 format=pei-i386 bits=32 other=${zip_file##*/}
        other=${other/-win32/-win64}
    fi
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    expected="README.txt SHA256SUMS bin/vxdhost.exe bin/vxdmount.dll"
    expected+=" bindings/csharp/Vxdmount.cs bindings/python/vxdmount.py include/vxdmount.h"
    expected+=" lib/cmake/vxdmount/vxdmountConfig.cmake"
    expected+=" lib/cmake/vxdmount/vxdmountConfigVersion.cmake"
    expected+=" lib/libvxdmount.dll.a lib/vxdmount.def lib/vxdmount.lib"
    expected+=" testkit/README.txt testkit/iscsidsc.dll testkit/scenario.schema.json"
    for example in "$source_dir"/scenarios/*.json; do
        [ "$example" = "$source_dir/scenarios/scenario.schema.json" ] ||
            expected+=" testkit/scenarios/${example##*/}"
    done
    listed=$(unzip -Z1 "$zip_file" | tr '\n' ' ' | sed 's/ $//')
    [ "$listed" = "$expected" ] || fail "the zip holds '$listed', expected '$expected'"
    unzip -q "$zip_file" -d "$work" || fail "cannot unpack the zip"
    (cd "$work" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
    files=$(($(wc -w <<<"$expected") - 1))
    [ "$(wc -l <"$work/SHA256SUMS")" -eq "$files" ] ||
        fail "SHA256SUMS does not cover the $files other files"
    dll="$work/bin/vxdmount.dll"
    bash "$here/check_dll.sh" "$dll" "$objdump" "$machine" >/dev/null ||
        fail "vxdmount.dll: $(bash "$here/check_dll.sh" "$dll" "$objdump" "$machine")"
    "$objdump" -h "$dll" | grep -q '\.debug' && fail "vxdmount.dll is not stripped"
    size=$(stat -c %s "$dll")
    [ "$size" -le 172032 ] || fail "vxdmount.dll is $size bytes, more than 168 KiB"
    "$objdump" -f "$work/bin/vxdhost.exe" | grep -q "$format" || fail "vxdhost.exe is not $format"
    cmp -s "$work/include/vxdmount.h" "$source_dir/entry/vxdmount.h" || fail "vxdmount.h differs"
    for binding in csharp/Vxdmount.cs python/vxdmount.py; do
        cmp -s "$work/bindings/$binding" "$source_dir/bindings/$binding" ||
            fail "bindings/$binding differs from the one the tests ran"
    done
    # The bindings carry the DLL's version.
    version=$(basename "$zip_file" | sed -n 's/^vxdmount-\(.*\)-win[0-9]*\.zip$/\1/p')
    grep -qx "__version__ = \"$version\"" "$work/bindings/python/vxdmount.py" ||
        fail "bindings/python/vxdmount.py does not say version $version"
    grep -qE "const string Version = \"$version\";" "$work/bindings/csharp/Vxdmount.cs" ||
        fail "bindings/csharp/Vxdmount.cs does not say version $version"
    for readme in "$work/README.txt" "$work/testkit/README.txt"; do
        grep -q $'\r$' "$readme" || fail "${readme#"$work"/} has no CRLF line ends"
        grep -q '@[A-Z_]*@' "$readme" && fail "${readme#"$work"/} has a placeholder left"
    done
    readme="$work/README.txt"
    grep -q "only a $bits-bit process can load" "$readme" || fail "README.txt does not say $bits-bit"
    grep -qF "$other" "$readme" || fail "README.txt does not point to $other"
    "$objdump" -f "$work/testkit/iscsidsc.dll" | grep -q "$format" ||
        fail "testkit/iscsidsc.dll is not $format"
    # The examples name their schema where the zip has it.
    grep -L '"\$schema": "\.\./scenario\.schema\.json"' "$work"/testkit/scenarios/*.json |
        grep . && fail "the examples above do not name ../scenario.schema.json"
    for folder in "$source_dir" "$build_dir" "$HOME"; do
        grep -rl -a -F "$folder" "$work" && fail "files above hold the path $folder"
    done
    ;;
reproducible)
    work_dir=$4
    preset=$5
    valijson=$6
    rm -rf "$work_dir"
    mkdir -p "$work_dir/src"
    # The working tree's files, tracked or new, without what git ignores (the builds).
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 cp --parents -t "$work_dir/src") || fail "cannot copy the sources"
    export SOURCE_DATE_EPOCH
    SOURCE_DATE_EPOCH=$(bash "$source_dir/tools/dist/make_zip.sh" --epoch "$source_dir")
    (cd "$work_dir/src" && cmake --preset "$preset" -DVXD_VALIJSON_INCLUDE="$valijson" >/dev/null &&
        cmake --build --preset "$preset" -j "$(nproc)" --target vxdmount_dist \
            >"$work_dir/build.log" 2>&1) ||
        { tail -30 "$work_dir/build.log"; fail "the second build failed"; }
    second="$work_dir/src/build/$preset/dist/$(basename "$zip_file")"
    if ! cmp "$zip_file" "$second"; then
        fail "the zip built in $work_dir/src differs from $zip_file"
        unzip -q -o "$zip_file" -d "$work_dir/first" && unzip -q -o "$second" -d "$work_dir/second"
        (cd "$work_dir/first" && find . -type f) | while read -r file; do
            cmp -s "$work_dir/first/$file" "$work_dir/second/$file" || echo "differs: $file"
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
