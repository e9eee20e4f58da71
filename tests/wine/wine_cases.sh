#!/usr/bin/env bash
# One end-to-end case: vxdhost.exe calls the real vxdmount.dll under Wine, with the discovery
# double playing the iSCSI service, and the case checks the exit status, the trace that
# vxdhost printed and what the double saw.
#   wine_cases.sh LOADER PREFIX CASE   (LOADER: wine for the 32-bit build, wine64 for x86-64)
set -uo pipefail
source "$(dirname "$0")/wine_env.sh"

loader=${1:?usage: wine_cases.sh LOADER PREFIX CASE}
prefix=${2:?usage: wine_cases.sh LOADER PREFIX CASE}
case_name=${3:?usage: wine_cases.sh LOADER PREFIX CASE}
use_prefix "$loader" "$prefix"
install_dir="$prefix/drive_c/vxd"
results="$(dirname "$prefix")/results/$case_name"
rm -rf "$results"
mkdir -p "$results"
runs=0
failures=0

fail() {
    echo "FAIL: run $runs: $*"
    failures=$((failures + 1))
}

# fresh_machine clean|wine-drives: a restarted wine server, so that no drive letter that an
# earlier run defined survives, with C: alone or with the Z: that Wine gives every prefix.
fresh_machine() {
    stop_wine
    rm -f "$prefix/dosdevices/z:"
    if [ "$1" = wine-drives ]; then
        ln -s / "$prefix/dosdevices/z:"
    fi
}

# run PROGRAM ARGUMENT...: one run of C:\vxd\PROGRAM. The exit status lands in $status, the
# standard output (vxdhost's trace) in $out and standard error in $err; each run keeps its
# own pair in the results folder.
run() {
    local program=$1
    shift
    runs=$((runs + 1))
    out="$results/$runs.stdout"
    err="$results/$runs.stderr"
    echo "run $runs: ${VXD_ISCSI_SCENARIO:+VXD_ISCSI_SCENARIO=$VXD_ISCSI_SCENARIO }$program $*"
    (cd "$install_dir" && timeout -k 5 50 "$WINE" "C:\\vxd\\$program" "$@") \
        >"$out.raw" 2>"$err.raw"
    status=$?
    tr -d '\r' <"$out.raw" >"$out"
    tr -d '\r' <"$err.raw" >"$err"
    rm -f "$out.raw" "$err.raw"
    [ "$status" -ne 124 ] || fail "$program did not finish within 50 s"
}

# run_vxdhost SCENARIO ARGUMENT...: vxdhost.exe with the double playing SCENARIO.
run_vxdhost() {
    local scenario=$1
    shift
    VXD_ISCSI_SCENARIO=$scenario run vxdhost.exe "$@"
}

expect_exit() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

# expect_trace LINE...: the trace is exactly these lines, in this order. "1+ TEXT" stands for
# TEXT once or more in a row (the polls run on real seconds); TEXT may hold several lines.
expect_trace() {
    local -a actual group
    mapfile -t actual <"$out"
    local at=0 expected repeat count i matched
    for expected in "$@"; do
        repeat=no
        if [[ $expected == "1+ "* ]]; then
            repeat=yes
            expected=${expected#1+ }
        fi
        mapfile -t group <<<"$expected"
        count=0
        while :; do
            matched=yes
            for i in "${!group[@]}"; do
                if [ $((at + i)) -ge ${#actual[@]} ] || [ "${actual[at + i]}" != "${group[i]}" ]; then
                    matched=no
                    break
                fi
            done
            [ $matched = yes ] || break
            count=$((count + 1))
            at=$((at + ${#group[@]}))
            [ $repeat = yes ] || break
        done
        if [ $count -eq 0 ]; then
            fail "trace line $((at + 1)) is '${actual[at]-<end of trace>}', expected '${group[0]}'"
            return
        fi
    done
    [ $at -eq ${#actual[@]} ] || fail "trace line $((at + 1)) is '${actual[at]}', expected the end"
}

# expect_lines REGEX COUNT: the trace holds COUNT lines that match REGEX.
expect_lines() {
    local found
    found=$(grep -Ec -- "$1" "$out")
    [ "$found" -eq "$2" ] || fail "$found trace lines match '$1', expected $2"
}

# expect_log REGEX / expect_no_log REGEX: standard error, where the double logs every call.
expect_log() {
    grep -Eq -- "$1" "$err" || fail "standard error has no line matching '$1'"
}
expect_no_log() {
    ! grep -Eq -- "$1" "$err" || fail "standard error has a line matching '$1'"
}

readonly target=iqn.2026-01.test.vxd:disk1
readonly waiting=$'old str:C\nnew str:C\n________________Waitting Mounted______________'

case "$case_name" in
fresh_login)
    # The volume gets F: three seconds after the login; F: aliases C:, so it lies on the disk
    # that the double reports for the session.
    fresh_machine clean
    run_vxdhost fresh-login 10.0.0.5 3260 "$target" operator "watching live"
    expect_exit 0
    expect_trace "493,10.0.0.5,3260,operator,watching live,0" "Disk NO:1" \
        "after Connection 32" "GetSession Error1" "GetSession Error2" "uRet: 20" \
        "1+ $waiting" 'Task Disk F:\'
    expect_log "^iscsidsc: drives C at the start$"
    expect_log "SetIScsiIKEInfoA\(method 1, id 10\.0\.0\.5, key 0 bytes, persist 1\) -> 0$"
    expect_log "AddIScsiSendTargetPortalA\(10\.0\.0\.5 port 3260\) -> 0$"
    expect_log "LoginIScsiTargetA\($target, persistent 0\) -> 0$"
    expect_log "^vxdhost: CreateVXD returned 1 "
    ;;
slow_service)
    # The security record is refused, the first login fails, the disk shows two seconds after
    # the persistent login and the letter two seconds after that.
    fresh_machine clean
    run_vxdhost slow-service 10.0.0.5 " 3260 (iSCSI)" "$target"
    expect_exit 0
    expect_trace "493,10.0.0.5,3260,,,0" "SetPsKey ERROR CODE:efff0003" "Disk NO:1" \
        "after Connection 32" "1+ Error code:0" "GetSession Error1" "GetSession Error2" \
        "uRet: 20" "1+ $waiting" 'Task Disk F:\'
    expect_log "LoginIScsiTargetA\($target, persistent 0\) -> efff0003$"
    expect_log "LoginIScsiTargetA\($target, persistent 1\) -> 0$"
    ;;
portal_refused)
    fresh_machine clean
    run_vxdhost portal-refused 10.0.0.5 3260 "$target" a b
    expect_exit 1
    expect_trace "493,10.0.0.5,3260,a,b,0"
    expect_log "AddIScsiSendTargetPortalA\(10\.0\.0\.5 port 3260\) -> efff0003$"
    expect_no_log "LoginIScsiTargetA"
    expect_log "^vxdhost: CreateVXD returned 0 "
    ;;
login_fails)
    fresh_machine clean
    run_vxdhost login-fails 10.0.0.5 3260 "$target"
    expect_exit 1
    expect_trace "493,10.0.0.5,3260,,,0" "Disk NO:1" "after Connection 0"
    expect_log "LoginIScsiTargetA\($target, persistent 0\) -> efff0003$"
    expect_log "LoginIScsiTargetA\($target, persistent 1\) -> efff0003$"
    expect_no_log "GetIScsiSessionListA|GetDevicesForIScsiSessionA"
    ;;
already_logged_in)
    # The session's disk is the one under C:, which has its letter before the request starts.
    fresh_machine clean
    run_vxdhost already-logged-in 10.0.0.5 3260 "$target"
    expect_exit 0
    expect_trace "493,10.0.0.5,3260,,,0" "Disk NO:1" "after Connection 16" \
        "GetSession Error1" "GetSession Error2" "uRet: 10" 'Task Disk C:\'
    expect_log "^iscsidsc: drives C at the start$"
    ;;
already_logged_in_unopenable)
    # B: points at no device and Wine's Z: refuses to open as a volume; both are passed over.
    fresh_machine wine-drives
    run_vxdhost already-logged-in-unopenable 10.0.0.5 3260 "$target"
    expect_exit 0
    expect_trace "493,10.0.0.5,3260,,,0" "Disk NO:1" "after Connection 16" \
        "GetSession Error1" "GetSession Error2" "uRet: 10" 'Task Disk C:\'
    expect_log "^iscsidsc: drives BCZ at the start$"
    ;;
host_cannot_call)
    # vxdhost itself: a missing library, a library without the export, and no arguments.
    fresh_machine clean
    run_vxdhost fresh-login --dll 'C:\vxd\absent.dll' 10.0.0.5 3260 "$target"
    expect_exit 2
    expect_trace
    expect_log '^vxdhost: cannot load C:\\vxd\\absent\.dll: error 126'
    run_vxdhost fresh-login --dll iscsidsc.dll 10.0.0.5 3260 "$target"
    expect_exit 2
    expect_log "^vxdhost: iscsidsc\.dll has no export named CreateVXD$"
    run_vxdhost fresh-login 10.0.0.5 3260
    expect_exit 2
    expect_log "^usage: vxdhost "
    ;;
listener_burst)
    # vxdhost's listener alone: lines written back to back, then an immediate stop.
    run listener_burst.exe 500
    expect_exit 0
    mapfile -t burst < <(seq -f "line %g" 0 499)
    expect_trace "${burst[@]}"
    ;;
load_call_unload)
    # A host that loads the DLL for each request; the discovery library stays loaded.
    fresh_machine clean
    VXD_ISCSI_SCENARIO=already-logged-in run host_lifecycle.exe load-call-unload 500 1 \
        10.0.0.5 3260 "$target"
    expect_exit 0
    expect_log "^host_lifecycle: 500 cycles; "
    ;;
load_unload)
    fresh_machine clean
    VXD_ISCSI_SCENARIO=fresh-login run host_lifecycle.exe load-unload 500
    expect_exit 0
    expect_log "^host_lifecycle: 500 cycles; "
    ;;
threads_at_once)
    # 24 requests at once on one loaded DLL: thread 0 logs in afresh and waits for F:, the
    # others find an existing login (1), have their login refused (0) or their portal (0).
    fresh_machine clean
    VXD_ISCSI_SCENARIO=fresh-login run host_lifecycle.exe threads 24
    expect_exit 0
    expect_log "^host_lifecycle: 24 threads, 9 mounted, 0 wrong results$"
    # Each request's opening line arrives once and whole, and each mount ends in its line.
    for thread in $(seq 0 23); do
        portal=10.0.0.5
        [ $((thread % 3)) -ne 0 ] || [ "$thread" -eq 0 ] || portal=192.0.2.1
        lines=$(grep -cx "493,$portal,3260,thread $thread,,0" "$out")
        [ "$lines" -eq 1 ] || fail "thread $thread's opening line came $lines times"
    done
    expect_lines '^Task Disk F:\\$' 1
    expect_lines '^Task Disk C:\\$' 8
    expect_lines "^after Connection 0$" 8
    ;;
stack_guard)
    # The stack guard of a program linked as the shipped images are, and of the DLL: random
    # once loaded, and an overrun ends the process with the status that says so.
    run host_lifecycle.exe stack-guard
    expect_exit 0
    expect_log "^host_lifecycle: stack guard: random cookies in this program and in vxdmount\.dll before its code ran; an overrun ended its process with 0xc0000409$"
    ;;
versions)
    # Both programs' version resources, read back by vxdhost.
    run vxdhost.exe --version
    expect_exit 0
    expect_trace "vxdhost $VXD_VERSION (Calls CreateVXD in vxdmount.dll and shows its trace)" \
        "vxdmount.dll $VXD_VERSION (Attaches an iSCSI disk and waits for its drive letter)"
    ;;
import_library_mingw | import_library_msvc)
    # The host binds CreateVXD at load through its toolchain's import library.
    fresh_machine clean
    VXD_ISCSI_SCENARIO=fresh-login run "import_host_${case_name#import_library_}.exe"
    expect_exit 0
    expect_trace "CreateVXD returned 1"
    expect_log "LoginIScsiTargetA\(iqn\.2026-01\.test\.vxd:import:existing, persistent 0\) -> efff003f$"
    ;;
*)
    echo "wine_cases.sh: no case named '$case_name'" >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    for n in $(seq "$runs"); do
        echo "--- run $n: standard output ---"
        cat "$results/$n.stdout"
        echo "--- run $n: standard error ---"
        cat "$results/$n.stderr"
    done
    exit 1
fi
echo "ok: $case_name"
