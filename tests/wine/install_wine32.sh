#!/usr/bin/env bash
# Installs Wine's 32-bit loader, which runs the win32 preset's Wine cases.
#   install_wine32.sh NOTE_FILE
# Exit status 0 when the loader is installed, or when the cases cannot run here: a kernel
# without 32-bit code, or an archive that fails to serve its i386 index today (a mirror in the
# middle of a sync). In the last case NOTE_FILE holds the one line that the skipped cases
# print; a later install that succeeds removes it. Any other failure fails.
set -u
note=$1
sudo=$([ "$(id -u)" = 0 ] || echo sudo)
rm -f "$note"

runs=0
bash "$(dirname "$0")/runs_32bit_code.sh" || runs=$?
case $runs in
0) ;;
1)
    echo "this machine does not run 32-bit x86 code: the win32 preset's Wine cases will be skipped"
    exit 0
    ;;
*) exit 1 ;;
esac
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    exit 0
fi

echo "installing: wine32:i386"
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 || exit 1
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq 2>"$update_log"
cat "$update_log" >&2
if $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    wine32:i386; then
    exit 0
fi
status=$?
# Only an index the archive failed to serve excuses the failure: the i386 libraries must match
# the installed amd64 ones, and without that index apt finds no matching set.
failed_index=$(sed -n 's|^E: Failed to fetch \([^ ]*binary-i386[^ ]*\) .*|\1|p' "$update_log" | head -n 1)
if [ -z "$failed_index" ]; then
    exit $status
fi
echo "skipped: the archive could not provide wine32:i386 today ($failed_index failed to" \
     "download), so the 32-bit DLL cannot run here" >"$note"
echo "wine32:i386 could not be installed: the win32 preset's Wine cases will be skipped" \
     "($failed_index failed to download)"
