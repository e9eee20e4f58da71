#!/usr/bin/env bash
# Writes the release zip: the stripped DLL and vxdhost.exe, the import libraries, the .def and
# the header as they are, the Windows README and the SHA256SUMS of all of them. The same inputs
# give the same bytes: fixed order, fixed file times and modes, no extra attributes.
#   make_zip.sh ZIP STRIP VERSION SOURCE_DIR FILE...
#   make_zip.sh --epoch SOURCE_DIR     (the file time it would use, in seconds since 1970)
set -euo pipefail

# The file time: SOURCE_DATE_EPOCH, or the last commit's time, or the first day of 2026.
epoch() {
    if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
        echo "$SOURCE_DATE_EPOCH"
    else
        git -C "$1" log -1 --format=%ct 2>/dev/null || echo 1767225600
    fi
}

if [ "${1:-}" = --epoch ]; then
    epoch "${2:?usage: make_zip.sh --epoch SOURCE_DIR}"
    exit 0
fi

zip_file=$1
strip=$2
version=$3
source_dir=$4
shift 4

staging="$zip_file.staging"
rm -rf "$staging" "$zip_file"
mkdir -p "$staging"
names=()
for file in "$@"; do
    name=$(basename "$file")
    case "$name" in
    # strip writes the time into the image's header unless told one: the linker's none.
    *.dll | *.exe) SOURCE_DATE_EPOCH=0 "$strip" -o "$staging/$name" "$file" ;;
    *) cp "$file" "$staging/$name" ;;
    esac
    names+=("$name")
done
# Windows' own editors expect CRLF line ends.
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' "$source_dir/tools/dist/README.txt" \
    >"$staging/README.txt"
names+=(README.txt)
(cd "$staging" && sha256sum "${names[@]}") >"$staging/SHA256SUMS"
names+=(SHA256SUMS)

time=$(epoch "$source_dir")
for name in "${names[@]}"; do
    chmod 644 "$staging/$name"
    touch -d "@$time" "$staging/$name"
done
# Zip keeps local times: UTC makes them the same everywhere.
(cd "$staging" && TZ=UTC zip -q -X -D "$(realpath -m "$zip_file")" "${names[@]}")
rm -rf "$staging"
