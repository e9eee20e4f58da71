#!/usr/bin/env bash
# Writes the release zip of a Windows build: its install tree (`cmake --install`, which signs
# the programs when asked and writes SHA256SUMS last), zipped. The same inputs give the same
# bytes: files in a fixed order, fixed file times and modes, no extra attributes.
#   make_zip.sh ZIP BUILD_DIR SOURCE_DIR
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
build_dir=$2
source_dir=$3

staging="$zip_file.staging"
rm -rf "$staging" "$zip_file"
mkdir -p "$(dirname "$zip_file")"
log=$(cmake --install "$build_dir" --prefix "$staging" 2>&1) || { echo "$log"; exit 1; }
grep -F 'Signed: ' <<<"$log" || true

mapfile -t names < <(cd "$staging" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
time=$(epoch "$source_dir")
for name in "${names[@]}"; do
    chmod 644 "$staging/$name"
    touch -d "@$time" "$staging/$name"
done
# Zip keeps local times: UTC makes them the same everywhere.
(cd "$staging" && TZ=UTC zip -q -X -D "$(realpath -m "$zip_file")" "${names[@]}")
rm -rf "$staging"
