#!/usr/bin/env bash
# One end-to-end case: a host (vxdhost.exe mostly) calls the release's vxdmount.dll under Wine,
# with the release's test kit playing the iSCSI service as a scenario file says, and the case
# checks the exit status, the trace that the host printed and the kit's call log.
#   wine_cases.sh LOADER PREFIX CASE   (LOADER: wine for the 32-bit build, wine64 for x86-64)
# A case that takes minutes has a prefix of its own (PREFIX.CASE, made with the machine), so
# that it can run beside the others.
set -uo pipefail
source "$(dirname "$0")/wine_env.sh"

loader=${1:?usage: wine_cases.sh LOADER PREFIX CASE}
prefix=${2:?usage: wine_cases.sh LOADER PREFIX CASE}
case_name=${3:?usage: wine_cases.sh LOADER PREFIX CASE}
results="$(dirname "$prefix")/results/$case_name"
if [ -d "$prefix.$case_name" ]; then
    prefix="$prefix.$case_name"
fi
use_prefix "$loader" "$prefix"
rm -rf "$results"
mkdir -p "$results"
runs=0
failures=0
# The folder of C: where run() finds its programs; a case may point it elsewhere.
program_dir=vxd
# How long one run may take (the longest example polls for two minutes), and how it is ended.
run_limit=50
run_signal=TERM

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

# place_programs FOLDER FILE...: C:\FOLDER holds the files and the test kit, and run() takes
# its programs from there.
place_programs() {
    local folder=$1
    shift
    rm -rf "${prefix:?}/drive_c/$folder"
    mkdir -p "$prefix/drive_c/$folder"
    cp "$@" "$prefix/drive_c/vxd/iscsidsc.dll" "$prefix/drive_c/$folder/"
    program_dir=$folder
}

# run PROGRAM ARGUMENT...: one run of C:\vxd\PROGRAM (or of the one in C:\$program_dir), with
# the kit playing $scenario (a file in C:\vxd\scenarios or C:\vxd\test-scenarios; none when
# empty) and, when $input names a file, that file as standard input. The exit status lands in
# $status, the standard output (the trace) in $out, standard error and the kit's call log in
# $err; each run keeps its files in the results folder.
scenario=
input=
calls="$prefix/drive_c/vxd/calls.log"
launch() {
    local program=$1
    shift
    (cd "$prefix/drive_c/$program_dir" &&
        env "${kit[@]}" VXDMOUNT_TESTKIT_LOG='C:\vxd\calls.log' \
            timeout -s "$run_signal" -k 5 "$run_limit" "$WINE" "C:\\$program_dir\\$program" "$@") \
        >"$out.raw" 2>"$err.raw"
}
run() {
    begin_run "$@"
    if [ -n "$input" ]; then
        launch "$@" <"$input"
    else
        launch "$@"
    fi
    status=$?
    local program=$1
    end_run
    [ "$status" -ne 124 ] || fail "$program did not finish within $run_limit s"
}

# begin_run PROGRAM ARGUMENT... and end_run: what every run does before and after the program.
begin_run() {
    runs=$((runs + 1))
    out="$results/$runs.stdout"
    err="$results/$runs.stderr"
    rm -f "$calls"
    kit=()
    if [ -n "$scenario" ]; then
        kit=("VXDMOUNT_TESTKIT_SCENARIO=C:\\vxd\\${scenario//\//\\}")
    fi
    echo "run $runs: ${scenario:+$scenario: }$*"
}
end_run() {
    tr -d '\r' <"$out.raw" >"$out"
    tr -d '\r' <"$err.raw" >"$err"
    [ ! -f "$calls" ] || tr -d '\r' <"$calls" >>"$err"
    rm -f "$out.raw" "$err.raw"
}

# run_interrupted REGEX PROGRAM ARGUMENT...: as run, but once the program's standard output has
# a line that matches REGEX the program gets SIGINT, which Wine hands to its console control
# handlers as Ctrl+C. The wine process is the program's: Wine runs it in the process it starts.
run_interrupted() {
    local pattern=$1 program=$2
    shift 2
    begin_run "$program" "$@"
    (cd "$prefix/drive_c/$program_dir" &&
        exec env "${kit[@]}" VXDMOUNT_TESTKIT_LOG='C:\vxd\calls.log' \
            "$WINE" "C:\\$program_dir\\$program" "$@") >"$out.raw" 2>"$err.raw" &
    local pid=$! tenths=0
    interrupted=no
    while [ $tenths -lt $((run_limit * 10)) ] && kill -0 "$pid" 2>/dev/null; do
        if [ $interrupted = no ] && grep -Eq -- "$pattern" "$out.raw"; then
            kill -INT "$pid"
            interrupted=yes
        fi
        sleep 0.1
        tenths=$((tenths + 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid"
        fail "$program did not finish within $run_limit s"
    fi
    wait "$pid"
    status=$?
    end_run
    [ $interrupted = yes ] || fail "$program ended before its output matched '$pattern'"
}

# kit_notes: the kit's own lines leave the trace for $notes, so that the rest can be checked.
kit_notes() {
    notes="$out.kit"
    grep '^vxdmount test kit: ' "$out" >"$notes"
    grep -v '^vxdmount test kit: ' "$out" >"$out.request"
    out="$out.request"
}

# expect_kit_note REGEX: the kit's only line on the debug-output channel matches REGEX.
expect_kit_note() {
    [ "$(wc -l <"$notes")" -eq 1 ] && grep -Eq -- "$1" "$notes" ||
        fail "the kit's lines are '$(cat "$notes")', expected one that matches '$1'"
}

# The kit's notes of letters, in the user's temporary folder.
ledgers() {
    find "$prefix/drive_c/users" -name 'vxdmount-testkit-*.letters' 2>/dev/null
}

# run_vxdhost SCENARIO ARGUMENT...: vxdhost.exe with the kit playing SCENARIO.
run_vxdhost() {
    scenario=$1
    shift
    run vxdhost.exe "$@"
}

expect_exit() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

# expect_trace LINE...: the trace is exactly these lines, in this order. "1+ TEXT" stands for
# TEXT once or more in a row (the polls run on real seconds), "N* TEXT" for TEXT exactly N
# times; TEXT may hold several lines.
expect_trace() {
    local -a actual group
    mapfile -t actual <"$out"
    local at=0 expected least most count i matched
    for expected in "$@"; do
        least=1 most=1
        if [[ $expected == "1+ "* ]]; then
            most=1000000
            expected=${expected#1+ }
        elif [[ $expected =~ ^([0-9]+)\*\ (.*)$ ]]; then
            least=${BASH_REMATCH[1]} most=${BASH_REMATCH[1]}
            expected=${BASH_REMATCH[2]}
        fi
        mapfile -t group <<<"$expected"
        count=0
        while [ $count -lt $most ]; do
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
        done
        if [ $count -lt $least ]; then
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

# expect_last_line TEXT: the last line of standard output is TEXT.
expect_last_line() {
    local last
    last=$(tail -n 1 "$out")
    [ "$last" = "$1" ] || fail "the last line of standard output is '$last', expected '$1'"
}

# expect_status NAME CODE TEXT: vxdhost named the call's status, with the library's text.
expect_status() {
    expect_log "^vxdhost: $1 returned $2: $3\$"
}

# expect_log REGEX / expect_no_log REGEX: standard error, where the hosts write their own lines,
# and the kit's call log.
expect_log() {
    grep -Eq -- "$1" "$err" || fail "standard error and the call log have no line matching '$1'"
}
expect_no_log() {
    ! grep -Eq -- "$1" "$err" || fail "standard error or the call log has a line matching '$1'"
}

# expect_finding REGEX: vxdhost --check wrote "vxdhost: check: " and a text that matches REGEX;
# expect_verdict REGEX: its last line, the verdict, matches REGEX.
expect_finding() {
    expect_log "^vxdhost: check: $1"
}
expect_verdict() {
    local verdict
    verdict=$(grep '^vxdhost: ' "$err" | tail -n 1)
    [[ $verdict =~ ^vxdhost:\ check:\ verdict:\ $1 ]] ||
        fail "the last line of vxdhost is '$verdict', expected the verdict '$1'"
}

# open_ports: $listening is a port of the loopback address where a socket of this case
# listens, $closed one that a socket of this case holds without listening, so that nothing
# answers there. Both close when the case ends.
open_ports() {
    coproc PORTS { /usr/bin/python3 -c '
import socket, sys
listening = socket.socket()
listening.bind(("127.0.0.1", 0))
listening.listen(8)
closed = socket.socket()
closed.bind(("127.0.0.1", 0))
print(listening.getsockname()[1], closed.getsockname()[1], flush=True)
sys.stdin.read()'; }
    read -r listening closed <&"${PORTS[0]}" || fail "no ports"
}

# What --check finds before every request on this machine: Wine has no MSiSCSI service to ask.
expect_preflight() {
    expect_finding 'the process is elevated$'
    expect_finding 'could not tell whether the MSiSCSI service runs \(asking the service control manager for it: error 1060'
    expect_finding 'iscsidsc\.dll loads: C:\\vxd\\iscsidsc\.dll$'
    expect_finding 'iscsidsc\.dll is the vxdmount test kit, which plays the initiator as a scenario file says: never deploy it$'
}

readonly target=iqn.2026-01.test.vxd:disk1
readonly example_target=iqn.2026-12.com.example:disk1
readonly portal=127.0.0.1
readonly opening="493,$portal,3260,,,0"
readonly waiting=$'old str:C\nnew str:C\n________________Waitting Mounted______________'
readonly waiting_two=$'old str:C\nnew str:CFG\n________________Waitting Mounted______________'
readonly fresh=$'Disk NO:1\nafter Connection 32\nGetSession Error1\nGetSession Error2\nuRet: 20'
readonly existing=$'Disk NO:1\nafter Connection 16\nGetSession Error1\nGetSession Error2\nuRet: 10'

completed=no
case "$case_name" in
# The runner's examples, as the kit plays them; each ends as it does in the runner, with the
# same trace but where the kit maps the scenario's letters onto the test volume (C:).
example_fresh_login)
    fresh_machine clean
    run_vxdhost scenarios/fresh_login.json $portal 3260 "$example_target" operator "watching live"
    expect_exit 0
    expect_trace "493,$portal,3260,operator,watching live,0" "$fresh" "1+ $waiting" 'Task Disk F:\'
    expect_log "SetIScsiIKEInfoA\(method 1, id 127\.0\.0\.1, key 0 bytes, persist 1\) -> 0$"
    expect_log "AddIScsiSendTargetPortalA\(127\.0\.0\.1 port 3260\) -> 0$"
    expect_log "LoginIScsiTargetA\($example_target, persistent 0\) -> 0$"
    expect_log "drive F: now points at "
    expect_log "^vxdhost: CreateVXD returned 1 "
    ;;
example_persistent_retry)
    fresh_machine clean
    run_vxdhost scenarios/persistent_retry.json $portal 3260 "$example_target"
    expect_exit 0
    expect_trace "$opening" "$fresh" "1+ $waiting" 'Task Disk F:\'
    expect_log "LoginIScsiTargetA\($example_target, persistent 0\) -> efff0012$"
    expect_log "LoginIScsiTargetA\($example_target, persistent 1\) -> 0$"
    ;;
example_portal_refused)
    fresh_machine clean
    run_vxdhost scenarios/portal_refused.json $portal 3260 "$example_target" a b
    expect_exit 1
    expect_trace "493,$portal,3260,a,b,0"
    expect_log "AddIScsiSendTargetPortalA\(127\.0\.0\.1 port 3260\) -> efff0003$"
    expect_no_log "LoginIScsiTargetA"
    expect_log "^vxdhost: CreateVXD returned 0 "
    ;;
example_already_logged_in)
    # The session's disk is the test volume's, which has its letter C: before the request.
    fresh_machine clean
    run_vxdhost scenarios/already_logged_in.json $portal 3260 "$example_target"
    expect_exit 0
    expect_trace "$opening" "$existing" 'Task Disk C:\'
    ;;
# The examples that take minutes run with --check, which changes nothing of the trace, and the
# verdict names what stopped the request. The kit's devices lie on the test volume's disk (the
# disk of C:), whose attributes and layout Wine does not tell.
example_disk_never_shows)
    fresh_machine clean
    run_limit=150
    open_ports
    run_vxdhost scenarios/disk_never_shows.json --check $portal "$listening" "$example_target"
    expect_exit 1
    expect_trace "493,$portal,$listening,,,0" "Disk NO:1" "after Connection 32" "61* Error code:0"
    expect_preflight
    expect_finding "the portal $portal:$listening answers on TCP \\(connected"
    expect_finding "the request's device lookups were answered with status 0 and no devices$"
    expect_finding "the session [0-9a-f]+-[0-9a-f]{16} to $example_target has no devices$"
    expect_verdict "The session to $example_target brings no disk: the target grants this initiator no LUN; map a LUN to this initiator on the target"
    ;;
example_volume_never_arrives)
    fresh_machine clean
    run_limit=150
    run_vxdhost scenarios/volume_never_arrives.json --check $portal 3260 "$example_target"
    expect_exit 1
    expect_trace "$opening" "$fresh" "120* $waiting"
    expect_finding "no new drive letter arrived since the request began$"
    expect_finding "the session [0-9a-f-]+ to $example_target has 1 device, on disk 0$"
    expect_finding "could not tell whether disk 0 is online \\(IOCTL_DISK_GET_DISK_ATTRIBUTES: error 50"
    expect_finding "could not tell whether disk 0 is initialized \\(IOCTL_DISK_GET_DRIVE_LAYOUT_EX: error 50"
    expect_finding 'disk 0 carries the volume \\\\\?\\Volume\{[0-9a-f-]+\}\\ at C:$'
    expect_verdict "$example_target's disk carries only volumes whose letters were there before the request \\(C:\\), so no new letter could come"
    ;;
example_two_volumes_at_once)
    # G lies on no disk of the session: the kit points it at no device.
    fresh_machine clean
    run_limit=150
    run_vxdhost scenarios/two_volumes_at_once.json --check $portal 3260 "$example_target"
    expect_exit 1
    expect_trace "$opening" "$fresh" "1+ $waiting" "1+ $waiting_two"
    expect_lines '^________________Waitting Mounted______________$' 120
    expect_finding "new drive letters since the request began: F: G:$"
    expect_finding "F: lies on disk 0, one of $example_target's$"
    expect_finding "could not tell which disk G: lies on \\(opening "
    expect_verdict "Several new drive letters arrived during the wait \\(F: G:\\) and the request takes only a single one: G: is not shown to lie on $example_target's disks; remove its letter \\(mountvol G: /D\\)"
    ;;
check_portal_refused)
    # Nothing answers on the portal's port, and the kit refuses the portal; --timestamps puts
    # the seconds since the call before each trace line.
    fresh_machine clean
    open_ports
    run_vxdhost scenarios/portal_refused.json --check --timestamps $portal "$closed" "$example_target"
    expect_exit 1
    grep -Evq '^\[ *[0-9]+\.[0-9]{3}\] ' "$out" && fail "a trace line has no timestamp"
    sed -E 's/^\[ *[0-9]+\.[0-9]{3}\] //' "$out" >"$out.bare"
    out="$out.bare"
    expect_trace "493,$portal,$closed,,,0"
    expect_preflight
    expect_finding "nothing answers on $portal:$closed \\(connection refused\\)"
    expect_finding "registering the portal $portal:$closed again \\(a repeat of the request's\\): ISDSC_CONNECTION_FAILED \\(0xEFFF0003\\): "
    expect_verdict "The portal $portal:$closed could not be registered because nothing answers there \\(connection refused\\)"
    ;;
check_login_fails)
    # The target is not among those the kit reports; an informational login tells the status,
    # and no third real login is made. Then a request that succeeds needs no post-mortem.
    fresh_machine clean
    open_ports
    run_vxdhost test-scenarios/login_fails.json --check $portal "$listening" "$target"
    expect_exit 1
    expect_trace "493,$portal,$listening,,,0" "Disk NO:1" "after Connection 0"
    expect_finding "the portal $portal:$listening answers on TCP \\(connected"
    expect_finding "the initiator knows 0 targets; $target is not among them$"
    expect_finding "an informational login to $target \\(it brings no disk\\): ISDSC_TARGET_NOT_FOUND \\(0xEFFF0029\\): "
    expect_verdict "The target $target is not among the targets that the initiator found behind its portals"
    expect_log "LoginIScsiTargetA\\($target, persistent 0, informational 1\\) -> efff0029$"
    [ "$(grep -Ec "^iscsidsc: LoginIScsiTargetA\\($target, persistent [01]\\) -> " "$err")" -eq 2 ] ||
        fail "not exactly two real logins"
    run_vxdhost scenarios/fresh_login.json --check $portal "$listening" "$example_target"
    expect_exit 0
    expect_trace "493,$portal,$listening,,,0" "$fresh" "1+ $waiting" 'Task Disk F:\'
    expect_verdict "The request succeeded: $example_target's volume is at F:\\.$"
    expect_no_log "registering the portal|informational login"
    ;;
slow_service)
    # The security record is refused, the first login fails, the disk shows two seconds after
    # the persistent login and the letter two seconds after that.
    fresh_machine clean
    run_vxdhost test-scenarios/slow_service.json $portal " 3260 (iSCSI)" "$target"
    expect_exit 0
    expect_trace "$opening" "SetPsKey ERROR CODE:efff0003" "Disk NO:1" "after Connection 32" \
        "1+ Error code:0" "GetSession Error1" "GetSession Error2" "uRet: 20" "1+ $waiting" \
        'Task Disk F:\'
    expect_log "SetIScsiIKEInfoA\(.*\) -> efff0003$"
    expect_log "LoginIScsiTargetA\($target, persistent 0\) -> efff0003$"
    expect_log "LoginIScsiTargetA\($target, persistent 1\) -> 0$"
    ;;
login_fails)
    fresh_machine clean
    run_vxdhost test-scenarios/login_fails.json $portal 3260 "$target"
    expect_exit 1
    expect_trace "$opening" "Disk NO:1" "after Connection 0"
    expect_log "LoginIScsiTargetA\($target, persistent 0\) -> efff0029$"
    expect_log "LoginIScsiTargetA\($target, persistent 1\) -> efff0029$"
    expect_no_log "GetIScsiSessionListA|GetDevicesForIScsiSessionA"
    ;;
already_logged_in_unopenable)
    # Wine's Z: refuses to open as a volume; it is passed over.
    fresh_machine wine-drives
    run_vxdhost scenarios/already_logged_in.json $portal 3260 "$example_target"
    expect_exit 0
    expect_trace "$opening" "$existing" 'Task Disk C:\'
    ;;
kit_unconfigured)
    # Without a scenario, or with one that does not read, the kit fails every call and says
    # why on the debug-output channel; the request ends at the portal.
    readonly failing='; every call fails with 0xEFFF003E \(ISDSC_SERVICE_NOT_RUNNING\)$'
    readonly refused_key="SetPsKey ERROR CODE:efff003e"
    fresh_machine clean
    run_vxdhost "" $portal 3260 "$target"
    expect_exit 1
    kit_notes
    expect_kit_note "^vxdmount test kit: VXDMOUNT_TESTKIT_SCENARIO is not set$failing"
    expect_trace "$opening" "$refused_key"
    run_vxdhost test-scenarios/malformed.json $portal 3260 "$target"
    expect_exit 1
    kit_notes
    expect_kit_note '^vxdmount test kit: C:\\vxd\\test-scenarios\\malformed\.json:4:31: malformed JSON: .+'"$failing"
    expect_trace "$opening" "$refused_key"
    run_vxdhost test-scenarios/bad_status.json $portal 3260 "$target"
    expect_exit 1
    kit_notes
    expect_kit_note '^vxdmount test kit: C:\\vxd\\test-scenarios\\bad_status\.json: service\.login_statuses\[1\]: .+'"$failing"
    expect_trace "$opening" "$refused_key"
    VXDMOUNT_TESTKIT_VOLUME=Q: run_vxdhost scenarios/fresh_login.json $portal 3260 "$target"
    expect_exit 1
    kit_notes
    expect_kit_note "^vxdmount test kit: the test volume Q: does not exist$failing"
    expect_trace "$opening" "$refused_key"
    expect_no_log "LoginIScsiTargetA"
    [ -z "$(ledgers)" ] || fail "the kit noted letters it never made"
    ;;
kit_hostile_files)
    # Files that once overflowed the kit's stack at load (a hang on win64, a DLL that failed to
    # load on win32) or let an allocation failure end the host: nesting 100,000 levels deep and
    # 50 MB. With them a NUL after a valid document, a value and a path too long for one line
    # of the debug-output channel. Each load fails every call and says why in one line.
    readonly failing='; every call fails with 0xEFFF003E \(ISDSC_SERVICE_NOT_RUNNING\)$'
    readonly refused_key="SetPsKey ERROR CODE:efff003e"
    readonly in_hostile='^vxdmount test kit: C:\\vxd\\test-scenarios\\hostile\\'
    hostile="$prefix/drive_c/vxd/test-scenarios/hostile"
    mkdir -p "$hostile"
    /usr/bin/python3 - "$hostile" <<'EOF'
import pathlib
import sys

folder = pathlib.Path(sys.argv[1])
status = '{"service": {"ike_status": '
(folder / "deep.json").write_text(status + "[" * 100000 + "]" * 100000 + "}}")
with open(folder / "huge.json", "w") as huge:
    huge.write('{"service": {"reported_targets": [')
    huge.write('"iqn.2026-01.test.vxd:disk", ' * 1800000)
    huge.write('"iqn.2026-01.test.vxd:last"]}}')
(folder / "trailing_nul.json").write_bytes(b'{"service": {}}\0junk')
name = "iqn." + "n" * 10000
(folder / "long_value.json").write_text(
    '{"service": {"reported_targets": ["%s", "%s"]}}' % (name, name))
EOF
    [ "$(stat -c %s "$hostile/huge.json")" -gt 50000000 ] || fail "huge.json is not over 50 MB"
    hostile_run() {
        run_vxdhost "$1" $portal 3260 "$target"
        expect_exit 1
        kit_notes
        expect_kit_note "$2$failing"
        expect_trace "$opening" "$refused_key"
        expect_no_log "LoginIScsiTargetA"
    }
    fresh_machine clean
    hostile_run test-scenarios/hostile/deep.json "${in_hostile}deep\.json:1:90: nested deeper than 64 levels"
    hostile_run test-scenarios/hostile/huge.json \
        "${in_hostile}huge\.json: larger than 1 MiB: a scenario file holds at most 1048576 bytes"
    hostile_run test-scenarios/hostile/trailing_nul.json \
        "${in_hostile}trailing_nul\.json:1:16: malformed JSON: a NUL byte, which JSON text cannot hold"
    hostile_run test-scenarios/hostile/long_value.json \
        "${in_hostile}long_value\.json: service\.reported_targets\[1\]: target \"iqn\.n{36}\.\.\.\" listed twice"
    # The channel carries 4,091 characters of a line: the middle of the name goes, not the reason.
    long_folder=$(printf 'd%.0s' $(seq 5000))
    hostile_run "test-scenarios/hostile/$long_folder/scenario.json" \
        "${in_hostile}d+\.\.\.d+\\\\scenario\.json: cannot open: [^;]+"
    [ "$(wc -c <"$notes")" -le 4092 ] || fail "the kit's note is longer than the channel carries"
    rm -rf "$hostile"
    ;;
kit_stale_letters)
    # A process killed while it waits leaves the kit's letters behind; the next process that
    # loads the kit removes them before its request takes its snapshot of the letters.
    fresh_machine clean
    run_limit=6 run_signal=KILL
    run_vxdhost scenarios/two_volumes_at_once.json $portal 3260 "$example_target"
    [ "$status" -eq 137 ] || fail "the first request was not killed (status $status)"
    [ -n "$(ledgers)" ] || fail "the killed process left no note of its letters"
    run_limit=50 run_signal=TERM
    run_vxdhost test-scenarios/slow_service.json $portal 3260 "$target"
    expect_exit 0
    kit_notes
    expect_kit_note '^vxdmount test kit: removed F: G: left by process [0-9]+, which has ended$'
    expect_trace "$opening" "SetPsKey ERROR CODE:efff0003" "Disk NO:1" "after Connection 32" \
        "1+ Error code:0" "GetSession Error1" "GetSession Error2" "uRet: 20" "1+ $waiting" \
        'Task Disk F:\'
    [ -z "$(ledgers)" ] || fail "a note of letters is left after the process ended"
    ;;
host_cannot_call)
    # vxdhost itself: a missing library, a library without the export, and no arguments.
    fresh_machine clean
    run_vxdhost scenarios/fresh_login.json --dll 'C:\vxd\absent.dll' $portal 3260 "$target"
    expect_exit 2
    expect_trace
    expect_log '^vxdhost: cannot load C:\\vxd\\absent\.dll: error 126'
    run_vxdhost scenarios/fresh_login.json --dll iscsidsc.dll $portal 3260 "$target"
    expect_exit 2
    expect_log "^vxdhost: iscsidsc\.dll has no export named CreateVXD$"
    run_vxdhost scenarios/fresh_login.json $portal 3260
    expect_exit 2
    expect_log "^usage: vxdhost "
    # The calls of 1.2: a library without them, and command lines that vxdhost refuses.
    run_vxdhost scenarios/fresh_login.json --dll iscsidsc.dll attach $portal 3260 "$target"
    expect_exit 2
    expect_log "^vxdhost: iscsidsc\\.dll has no export named VxdAttach or VxdStatusText"
    run_vxdhost scenarios/fresh_login.json detach --dll 'C:\vxd\absent.dll' "$target"
    expect_exit 2
    expect_log '^vxdhost: cannot load C:\\vxd\\absent\.dll: error 126'
    run_vxdhost scenarios/fresh_login.json attach --letter-wait 0 $portal 3260 "$target"
    expect_exit 2
    expect_log '^vxdhost: --letter-wait needs a whole number of seconds from 1 to 4294967$'
    run_vxdhost scenarios/fresh_login.json detach --remove-portal $portal "$target"
    expect_exit 2
    expect_log "^vxdhost: the port is a whole number from 1 to 65535, not \"$target\"\$"
    expect_no_log "SetIScsiIKEInfoA|LoginIScsiTargetA|GetIScsiSessionListA"
    ;;
attach)
    # vxdhost attach: the progress lines as they come, and the letters as the last line; a
    # target logged in before keeps its session and answers with the letter that its disk has.
    fresh_machine clean
    run_vxdhost scenarios/fresh_login.json attach $portal 3260 "$example_target"
    expect_exit 0
    expect_lines "^VxdAttach: $example_target at $portal:3260\$" 1
    expect_lines "^VxdAttach: logged in: session [0-9a-f]+-[0-9a-f]{16}\$" 1
    expect_lines '^VxdAttach: done: F:$' 1
    expect_last_line 'F:'
    expect_log "^vxdhost: VxdAttach\\($portal, 3260, $example_target\\) from vxdmount\\.dll: up to 60 s for the disks, 120 s for the letters\$"
    expect_status VxdAttach 'VXD_STATUS_OK \(0\)' 'done'
    expect_log '^vxdhost: letters F: on disks 0$'
    expect_log "LoginIScsiTargetA\\($example_target, persistent 0\\) -> 0\$"
    expect_no_log 'LogoutIScsiTarget'
    run_vxdhost test-scenarios/logged_in.json --dll vxdmount.dll attach $portal 3260 "$target"
    expect_exit 0
    expect_last_line 'C:'
    expect_log '^vxdhost: the target was logged in before the call; its sessions stay$'
    expect_no_log 'LogoutIScsiTarget'
    # A re-open sends nothing that changes the service; one LUN of three is chosen by the
    # device records' SCSI address (under the kit every device is the test volume's disk).
    run_vxdhost test-scenarios/logged_in.json attach --no-login $portal 3260 "$target"
    expect_exit 0
    expect_last_line 'C:'
    expect_no_log 'LoginIScsiTargetA|AddIScsiSendTargetPortalA|SetIScsiIKEInfoA'
    run_vxdhost scenarios/attach_one_lun.json attach --lun 7 --initiator 'ROOT\ISCSIPRT\0000_0:0' \
        $portal 3260 "$example_target"
    expect_exit 0
    expect_lines '^VxdAttach: LUN 7 is disk 0$' 1
    expect_log '^vxdhost: disk 0 is LUN 7; 1 path$'
    run_vxdhost scenarios/attach_one_lun.json attach --lun 5 --device-wait 1 $portal 3260 \
        "$example_target"
    expect_exit 1
    expect_lines '^VxdAttach: no device of LUN 5 showed on the target.s sessions$' 1
    # Two portals, multipath enabled: with multipath I/O both paths carry the one disk; without
    # it the second path's disk is another, and the call undoes both logins.
    run_vxdhost scenarios/attach_multipath.json attach --multipath --portal 127.0.0.2 $portal 3260 \
        "$example_target"
    expect_exit 0
    expect_lines '^VxdAttach: path 127\.0\.0\.2:3260: logged in: session [0-9a-f]+-[0-9a-f]{16}$' 1
    expect_lines '^VxdAttach: 2 paths carry the disks$' 1
    expect_log '^vxdhost: disk 0 is LUN 0; 2 paths$'
    expect_log "LoginIScsiTargetA\\($example_target, persistent 0, through 127\\.0\\.0\\.2, multipath\\) -> 0$"
    run_vxdhost scenarios/multipath_unclaimed.json attach --multipath --portal 127.0.0.2 $portal \
        3260 "$example_target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_MULTIPATH_UNCLAIMED \(18\)' 'several paths give one LUN several disks: Windows. multipath I/O does not claim it'
    expect_lines '^VxdAttach: LUN 0 is disks 0 and 100 through two paths: ' 1
    expect_lines '^VxdAttach: logged out the session it made$' 2
    # Discovery: the size first, then the names of what this portal offers, in the service's
    # order; the portal registered for the call goes again, and nothing logs in.
    run_vxdhost test-scenarios/list_targets.json targets $portal
    expect_exit 0
    expect_log '^vxdhost: the names take 54 bytes; asking again$'
    expect_log '^vxdhost: VxdListTargets returned VXD_STATUS_OK \(0\): done$'
    [ "$(tr -d '\r' <"$out" | tail -n 2 | tr '\n' ' ')" = \
        "iqn.2026-01.test.vxd:disk1 iqn.2026-01.test.vxd:logs " ] || fail "not the portal's targets"
    expect_log "^iscsidsc: RemoveIScsiSendTargetPortalA\\($portal port 3260\\) -> 0$"
    expect_no_log 'LoginIScsiTargetA'
    ;;
attach_disk_readiness)
    # 1.4 under Wine: the disk attribute queries fail, so the disk is VXD_DISK_STATE_UNKNOWN and
    # the call goes on as 1.3 did; SetVolumeMountPointA's refusal is VXD_STATUS_MOUNT_FAILED with
    # its error.
    fresh_machine clean
    run_vxdhost scenarios/fresh_login.json attach $portal 3260 "$example_target"
    expect_exit 0
    expect_lines '^VxdAttach: disk 0: Windows does not tell its attributes \(error (1|50)\); going on without them$' 1
    expect_log '^vxdhost: disk 0: state unknown: Windows did not answer its attribute queries$'
    expect_lines '^VxdAttach: done: F:$' 1
    expect_last_line 'F:'
    mkdir -p "$prefix/drive_c/mnt/data"
    run_vxdhost scenarios/fresh_login.json attach --mount-folder 'C:\mnt\data' $portal 3260 "$example_target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_MOUNT_FAILED \(17\)' 'a letter or folder could not be given to a volume of the target'
    expect_log "^vxdhost: the service's status: error 120 "
    expect_lines '^VxdAttach: logged out the session it made$' 1
    ;;
attach_failures)
    # Each failure named on standard error, with the service's status where it gave one, and
    # no letters on standard output; the short waits keep the cases quick. A login that the
    # call made is logged out, unless --keep-on-failure.
    fresh_machine clean
    run_vxdhost scenarios/portal_refused.json attach $portal 3260 "$example_target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_PORTAL_FAILED \(3\)' 'the portal could not be registered'
    expect_log "^vxdhost: the service's status: ISDSC_CONNECTION_FAILED \\(0xEFFF0003\\): "
    expect_last_line 'VxdAttach: failed: the portal could not be registered (0xEFFF0003)'
    expect_no_log 'LoginIScsiTargetA'
    run_vxdhost test-scenarios/login_fails.json attach $portal 3260 "$target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_LOGIN_FAILED \(4\)' 'the login to the target failed'
    expect_log "^vxdhost: the service's status: ISDSC_TARGET_NOT_FOUND \\(0xEFFF0029\\): the target is not among those the initiator found behind its portals\$"
    expect_log "LoginIScsiTargetA\\($target, persistent 1\\) -> efff0029\$"
    run_vxdhost scenarios/disk_never_shows.json attach --device-wait 3 $portal 3260 "$example_target"
    expect_exit 1
    expect_lines '^VxdAttach: waiting up to 3000 ms for the session.s disks$' 1
    expect_status VxdAttach 'VXD_STATUS_NO_DEVICE \(6\)' 'the session showed no disk in time'
    expect_no_log "^vxdhost: the service's status"
    expect_log 'LogoutIScsiTarget\(.+\) -> 0$'
    run_vxdhost scenarios/volume_never_arrives.json attach --letter-wait 3 $portal 3260 "$example_target"
    expect_exit 1
    expect_lines '^VxdAttach: waiting up to 3000 ms for the letters of the session.s volumes$' 1
    expect_status VxdAttach 'VXD_STATUS_NO_LETTER \(7\)' "the disk's volume got no drive letter in time"
    expect_lines '^VxdAttach: logged out the session it made$' 1
    expect_log 'LogoutIScsiTarget\(.+\) -> 0$'
    run_vxdhost scenarios/volume_never_arrives.json attach --letter-wait 2 --keep-on-failure $portal 3260 "$example_target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_NO_LETTER \(7\)' "the disk's volume got no drive letter in time"
    expect_no_log 'LogoutIScsiTarget'
    # The kit without a scenario answers as a stopped initiator service.
    run_vxdhost "" attach $portal 3260 "$target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_SERVICE_UNAVAILABLE \(2\)' 'the iSCSI initiator service \(MSiSCSI\) cannot be reached'
    expect_log "^vxdhost: the service's status: ISDSC_SERVICE_NOT_RUNNING \\(0xEFFF003E\\): "
    # Refused by the library before anything reaches the service.
    run_vxdhost scenarios/fresh_login.json attach 127.0.0.01 3260 "$target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_INVALID_ARGUMENT \(1\)' 'an argument is missing or malformed; nothing was sent to the iSCSI service'
    expect_no_log 'AddIScsiSendTargetPortalA'
    ;;
attach_cancel_thread)
    # A second thread signals the cancel event about a second into each wait; the call answers
    # VXD_STATUS_CANCELLED long before the two minutes and logs out the session it made.
    for wait in disks letters; do
        fresh_machine clean
        scenario=scenarios/volume_never_arrives.json
        [ $wait = letters ] || scenario=scenarios/disk_never_shows.json
        run attach_host.exe cancel $portal 3260 "$example_target" $wait
        expect_exit 0
        expect_log "^attach_host: cancel: status 8 \\(the call was cancelled\\) after [0-9]+ ms of a 120000 ms wait; returned [0-9.]+ ms after the event was signalled\$"
        grep '^attach_host: cancel: ' "$err" | sed "s/^/$wait: /"
        expect_lines '^VxdAttach: logged out the session it made$' 1
        expect_last_line 'VxdAttach: failed: the call was cancelled'
        expect_log 'LogoutIScsiTarget\(.+\) -> 0$'
    done
    ;;
attach_ctrl_c)
    # Wine hands SIGINT to the console control handlers as Ctrl+C: during an attach vxdhost
    # cancels the call, which logs out the session it made, and ends with 3.
    fresh_machine clean
    scenario=scenarios/volume_never_arrives.json
    run_interrupted '^VxdAttach: waiting up to [0-9]+ ms for the letters' vxdhost.exe attach $portal 3260 "$example_target"
    expect_exit 3
    expect_status VxdAttach 'VXD_STATUS_CANCELLED \(8\)' 'the call was cancelled'
    expect_lines '^VxdAttach: logged out the session it made$' 1
    expect_log 'LogoutIScsiTarget\(.+\) -> 0$'
    # Outside an attach Ctrl+C ends vxdhost as it ends any console program: CreateVXD's
    # request never returns to it. Windows ends it with 0xC000013A (STATUS_CONTROL_C_EXIT);
    # Wine's default handler here with 0, so the status is shown, not judged.
    run_interrupted '^________________Waitting Mounted' vxdhost.exe $portal 3260 "$example_target"
    echo "Ctrl+C during CreateVXD's request: exit status $status"
    [ "$status" -ne 3 ] || fail "Ctrl+C during CreateVXD's request gave the attach's status"
    expect_no_log '^vxdhost: CreateVXD returned'
    ;;
attach_two_targets)
    # Two threads attach a target each at once. Under Wine every volume lies on disk 0, so the
    # kit's one letter F: lies on both sessions' disks and each call takes it: the matching of
    # letters to each session's own disks is proven on the simulated machine (host suite).
    fresh_machine clean
    scenario=scenarios/fresh_login.json
    run attach_host.exe two-targets $portal 3260 iqn.2026-01.test.vxd:one iqn.2026-01.test.vxd:two F
    expect_exit 0
    expect_log '^attach_host: thread 0: iqn\.2026-01\.test\.vxd:one: status 0 \(done\), letters F, '
    expect_log '^attach_host: thread 1: iqn\.2026-01\.test\.vxd:two: status 0 \(done\), letters F, '
    expect_log 'LoginIScsiTargetA\(iqn\.2026-01\.test\.vxd:one, persistent 0\) -> 0$'
    expect_log 'LoginIScsiTargetA\(iqn\.2026-01\.test\.vxd:two, persistent 0\) -> 0$'
    expect_no_log 'LogoutIScsiTarget'
    ;;
detach)
    # vxdhost detach tells what it did. A session without disks touches no volume: the kit's
    # letters are other names of the prefix's C:, which a detach would lock and dismount.
    fresh_machine clean
    scenario=test-scenarios/import_calls.json
    run vxdhost.exe detach iqn.2026-01.test.vxd:import-diskless
    expect_exit 0
    expect_log '^vxdhost: VxdDetach\(iqn\.2026-01\.test\.vxd:import-diskless\) from vxdmount\.dll$'
    expect_status VxdDetach 'VXD_STATUS_OK \(0\)' 'done'
    expect_log '^vxdhost: letters taken away: none$'
    expect_log '^vxdhost: sessions logged out: 1$'
    expect_log '^vxdhost: persistent logins removed: 0$'
    expect_log '^vxdhost: letters in use: none$'
    expect_lines '^VxdDetach: done: 1 sessions logged out, 0 persistent logins removed$' 1
    expect_log 'LogoutIScsiTarget\(.+\) -> 0$'
    run vxdhost.exe detach --force --remove-portal $portal 3260 iqn.2026-01.test.vxd:absent
    expect_exit 1
    expect_log "^vxdhost: VxdDetach\\(iqn\\.2026-01\\.test\\.vxd:absent\\) from vxdmount\\.dll; forced; removes the portal $portal:3260\$"
    expect_status VxdDetach 'VXD_STATUS_NOT_ATTACHED \(9\)' 'the target has no session and no persistent login'
    expect_log '^vxdhost: sessions logged out: 0$'
    expect_no_log 'LogoutIScsiTarget|RemoveIScsiSendTargetPortalA'
    ;;
chap)
    # vxdhost attach with the CHAP credentials that the kit's targets demand: the secret from a
    # file and from standard input, a wrong one, mutual CHAP that sets the machine's secret and
    # one that finds none, discovery CHAP. The secrets come from the scenario (test data) into
    # files, never onto a command line. The debug channel reaches standard error
    # (WINEDEBUG=+debugstr), and the kit's call log is there too: no run's output, debug line or
    # call log holds four bytes in a row of any secret.
    secrets="$prefix/drive_c/vxd/secrets"
    mkdir -p "$secrets"
    /usr/bin/python3 - "$prefix/drive_c/vxd/test-scenarios/chap.json" "$secrets" <<'PY'
import json
import pathlib
import sys

service = json.loads(pathlib.Path(sys.argv[1]).read_text())["service"]
folder = pathlib.Path(sys.argv[2])
targets = {t["target"].rsplit(":", 1)[1]: t for t in service["targets"]}
right = targets["chap"]["chap"]["secret"]
mutual = targets["mutual"]["chap"]["secret"]
initiator = targets["mutual"]["initiator_secret"]
wrong = "Xw0&Jd7=Gr3?Ka"
files = {"right.txt": right + "\n", "right_crlf.txt": right + "\r\n",
         "two_line_ends.txt": right + "\n\n", "wrong.txt": wrong + "\n",
         "mutual.txt": mutual + "\n", "initiator.txt": initiator + "\n",
         "long.txt": right + "123456\n"}
for name, text in files.items():
    (folder / name).write_bytes(text.encode())
windows = {s[i:i + 4] for s in (right, mutual, initiator, wrong) for i in range(len(s) - 3)}
(folder / "windows").write_text("\n".join(sorted(windows)) + "\n")
PY
    readonly chap_target=iqn.2026-01.test.vxd:chap
    readonly mutual_target=iqn.2026-01.test.vxd:mutual
    readonly in_secrets='C:\vxd\secrets'
    expect_no_secret() {
        ! grep -F -q -f "$secrets/windows" "$out" "$err" ||
            fail "the output, the debug channel or the call log holds part of a secret"
    }
    expect_debug_channel() {
        expect_log "debugstr:OutputDebugStringA \"VxdAttach: $1"
    }
    chap_run() {
        WINEDEBUG=+debugstr run_vxdhost test-scenarios/chap.json attach "$@"
        expect_no_secret
    }
    fresh_machine clean
    scenario=test-scenarios/chap.json
    chap_run --chap-user vxd-tester --chap-secret-file "$in_secrets\\right.txt" $portal 3260 "$chap_target"
    expect_exit 0
    expect_last_line 'F:'
    expect_lines '^VxdAttach: logging in with CHAP$' 1
    expect_debug_channel 'logging in with CHAP'
    expect_log "^vxdhost: VxdAttach\\($portal, 3260, $chap_target\\) from vxdmount\\.dll: up to 60 s for the disks, 120 s for the letters; CHAP as \"vxd-tester\", the secret from C:\\\\vxd\\\\secrets\\\\right\\.txt\$"
    expect_log "LoginIScsiTargetA\\($chap_target, persistent 0, CHAP, user 10 bytes, secret 14 bytes\\) -> 0\$"
    # Standard input, a file with a Windows line end, as `type` or a pipe gives it.
    input="$secrets/right_crlf.txt"
    chap_run --chap-user vxd-tester --chap-secret-stdin $portal 3260 "$chap_target"
    input=
    expect_exit 0
    expect_last_line 'F:'
    expect_log "the secret from standard input\$"
    # Only one line end is dropped: with two the secret is wrong, as is another secret.
    for file in two_line_ends.txt wrong.txt; do
        chap_run --chap-user vxd-tester --chap-secret-file "$in_secrets\\$file" $portal 3260 "$chap_target"
        expect_exit 1
        expect_status VxdAttach 'VXD_STATUS_AUTH_FAILED \(5\)' 'the target refused the credentials'
        expect_log "^vxdhost: the service's status: ISDSC_AUTHENTICATION_FAILURE \\(0xEFFF0009\\): "
        expect_log "LoginIScsiTargetA\\($chap_target, persistent 1, CHAP, user 10 bytes, secret 1[45] bytes\\) -> efff0009\$"
        expect_no_log 'LogoutIScsiTarget'
    done
    # No credentials at all, and the check names what the target must hold for the kit's
    # initiator.
    chap_run --check $portal 3260 "$chap_target"
    expect_exit 1
    expect_finding 'the initiator.s name is iqn\.1991-05\.com\.microsoft:vxdmount-testkit$'
    expect_verdict "The target $chap_target refuses this initiator without credentials: ISDSC_AUTHENTICATION_FAILURE \\(0xEFFF0009\\): .*; attach with --chap-user NAME and --chap-secret-file FILE \\(or --chap-secret-stdin\\), the CHAP user name and secret that the target holds for this initiator.s name, iqn\\.1991-05\\.com\\.microsoft:vxdmount-testkit\\.\$"
    chap_run --check --chap-user vxd-tester --chap-secret-file "$in_secrets\\wrong.txt" $portal 3260 "$chap_target"
    expect_exit 1
    expect_preflight
    expect_verdict "The target $chap_target refused the CHAP credentials: ISDSC_AUTHENTICATION_FAILURE \\(0xEFFF0009\\): .*; it must hold, for this initiator.s name, iqn\\.1991-05\\.com\\.microsoft:vxdmount-testkit, the CHAP user name \"vxd-tester\" and the secret from C:\\\\vxd\\\\secrets\\\\wrong\\.txt: correct whichever differs"
    # The library judges the length and says which one is wrong; nothing is sent.
    chap_run --chap-user vxd-tester --chap-secret-file "$in_secrets\\long.txt" $portal 3260 "$chap_target"
    expect_exit 1
    expect_lines '^VxdAttach: the CHAP secret is 20 bytes long; Windows takes 12 to 16$' 1
    expect_status VxdAttach 'VXD_STATUS_INVALID_ARGUMENT \(1\)' 'an argument is missing or malformed; nothing was sent to the iSCSI service'
    expect_no_log 'SetIScsiIKEInfoA|LoginIScsiTargetA'
    # Mutual CHAP: the machine's secret set by the call, which says so; without it the kit's
    # machine (a new one in each process) has none.
    chap_run --chap-user vxd-mutual --chap-secret-file "$in_secrets\\mutual.txt" \
        --initiator-secret-file "$in_secrets\\initiator.txt" $portal 3260 "$mutual_target"
    expect_exit 0
    expect_last_line 'F:'
    expect_log '^vxdhost: the call first sets the initiator.s CHAP secret to the one from C:\\vxd\\secrets\\initiator\.txt: it is the machine.s, for every target.s mutual CHAP, and stays set$'
    expect_log '^iscsidsc: SetIScsiInitiatorCHAPSharedSecret\(14 bytes\) -> 0$'
    expect_log "LoginIScsiTargetA\\($mutual_target, persistent 0, mutual CHAP, user 10 bytes, secret 14 bytes\\) -> 0\$"
    expect_debug_channel 'logging in with mutual CHAP'
    chap_run --check --chap-user vxd-mutual --chap-secret-file "$in_secrets\\mutual.txt" --mutual-chap $portal 3260 "$mutual_target"
    expect_exit 1
    expect_log "^vxdhost: the service's status: ISDSC_INVALID_INITIATOR_CHAP_SECRET \\(0xEFFF004C\\): "
    expect_verdict "Mutual CHAP needs the machine.s initiator secret, and the initiator has none that it can use: .*; set it with --initiator-secret-file FILE"
    expect_no_log 'SetIScsiInitiatorCHAPSharedSecret'
    chap_run --chap-user vxd-mutual --chap-secret-file "$in_secrets\\mutual.txt" \
        --initiator-secret-file "$in_secrets\\wrong.txt" $portal 3260 "$mutual_target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_AUTH_FAILED \(5\)' 'the target refused the credentials'
    # Discovery CHAP: the portal checks the same credentials, sent only with --discovery-chap.
    chap_run --chap-user vxd-tester --chap-secret-file "$in_secrets\\right.txt" --discovery-chap 127.0.0.2 3260 "$chap_target"
    expect_exit 0
    expect_log "AddIScsiSendTargetPortalA\\(127\\.0\\.0\\.2 port 3260, CHAP, user 10 bytes, secret 14 bytes\\) -> 0\$"
    chap_run --chap-user vxd-tester --chap-secret-file "$in_secrets\\right.txt" 127.0.0.2 3260 "$chap_target"
    expect_exit 1
    expect_status VxdAttach 'VXD_STATUS_PORTAL_FAILED \(3\)' 'the portal could not be registered'
    expect_log "AddIScsiSendTargetPortalA\\(127\\.0\\.0\\.2 port 3260\\) -> efff0009\$"
    # Files that cannot be had, and a secret on the command line, stop vxdhost before the call.
    chap_run --chap-user vxd-tester --chap-secret-file "$in_secrets\\absent.txt" $portal 3260 "$chap_target"
    expect_exit 2
    expect_log '^vxdhost: cannot read the CHAP secret from C:\\vxd\\secrets\\absent\.txt: error 2'
    chap_run --chap-user vxd-tester --chap-secret=placeholder $portal 3260 "$chap_target"
    expect_exit 2
    expect_log '^vxdhost: --chap-secret: no option takes a secret on the command line'
    expect_no_log 'placeholder|SetIScsiIKEInfoA'
    rm -rf "$secrets"
    ;;
listener_burst)
    # vxdhost's listener alone: lines written back to back, then an immediate stop.
    run listener_burst.exe 500
    expect_exit 0
    mapfile -t burst < <(seq -f "line %g" 0 499)
    expect_trace "${burst[@]}"
    ;;
load_call_unload)
    # A host that loads the DLL for each request; the discovery library stays loaded. 500
    # cycles take 4 to 13 s and once took over 50 s on a machine busy with other suites: the
    # limit only catches a hang.
    fresh_machine clean
    run_limit=100
    scenario=test-scenarios/logged_in.json
    run host_lifecycle.exe load-call-unload 500 1 $portal 3260 "$target"
    expect_exit 0
    expect_log "^host_lifecycle: 500 cycles; "
    ;;
load_unload)
    fresh_machine clean
    scenario=scenarios/fresh_login.json
    run host_lifecycle.exe load-unload 500
    expect_exit 0
    expect_log "^host_lifecycle: 500 cycles; "
    ;;
threads_at_once)
    # 24 requests at once on one loaded DLL: thread 0 logs in afresh and waits for F:, the
    # others find an existing login (1), have their login refused (0) or their portal (0).
    fresh_machine clean
    scenario=test-scenarios/threads.json
    run host_lifecycle.exe threads 24
    expect_exit 0
    expect_log "^host_lifecycle: 24 threads, 9 mounted, 0 wrong results$"
    # Each request's opening line arrives once and whole, and each mount ends in its line.
    for thread in $(seq 0 23); do
        thread_portal=$portal
        [ $((thread % 3)) -ne 0 ] || [ "$thread" -eq 0 ] || thread_portal=127.0.0.2
        lines=$(grep -cx "493,$thread_portal,3260,thread $thread,,0" "$out")
        [ "$lines" -eq 1 ] || fail "thread $thread's opening line came $lines times"
    done
    expect_lines '^Task Disk F:\\$' 1
    expect_lines '^Task Disk C:\\$' 8
    expect_lines "^after Connection 0$" 8
    ;;
attach_detach)
    # VxdAttach and VxdDetach as the kit plays them: the persistent login that the second
    # login makes is listed in two calls and removed, the portal that the attach registered is
    # removed, a logout takes away the letter that its login brought and a later login brings it
    # again; a persistent login alone is detached; the kit's 0xEFFF0040 is a busy device, asked
    # again ten times a second apart, whose session and letter stay. Wine's drive C: is a folder: its flush answers 1, its dismount
    # 50, and VxdDetach passes both over.
    fresh_machine clean
    scenario=test-scenarios/attach_detach.json
    run host_lifecycle.exe attach-detach $portal 3260 "$target" iqn.2026-01.test.vxd:kept \
        iqn.2026-01.test.vxd:busy
    expect_exit 0
    expect_log "^host_lifecycle: attach-detach: 16 checks, 0 wrong$"
    expect_no_log "WRONG"
    expect_log "LoginIScsiTargetA\($target, persistent 1\) -> 0$"
    expect_log "^iscsidsc: ReportIScsiPersistentLoginsA\(0 bytes\) -> 7a, 2 logins$"
    expect_log "^iscsidsc: RemoveIScsiPersistentTargetA\($target, portal \"\" port 0\) -> 0$"
    expect_log "^iscsidsc: RemoveIScsiPersistentTargetA\(iqn\.2026-01\.test\.vxd:kept, portal \"$portal\" port 3260\) -> 0$"
    expect_log "^iscsidsc: RemoveIScsiSendTargetPortalA\($portal port 3260\) -> 0$"
    [ "$(grep -c '^iscsidsc: drive F: removed with its session$' "$err")" -eq 2 ] ||
        fail "F: was not removed with its session twice"
    expect_log "^iscsidsc: LogoutIScsiTarget\(iqn\.2026-01\.test\.vxd:busy\) -> efff0040$"
    expect_no_log "drive G: removed"
    kit_notes
    [ ! -s "$notes" ] || fail "the kit said: $(cat "$notes")"
    expect_lines '^VxdAttach: done: F:$' 2
    # Under the kit every volume lies on the test volume's disk, C: too.
    expect_lines '^VxdDetach: C: flushed and locked$' 3
    expect_lines '^VxdDetach: the service is busy \(0xEFFF0040\); trying again in 1 s$' 10
    expect_lines '^VxdDetach: stopped: a volume of the target is in use \(0xEFFF0040\)$' 1
    expect_lines '^VxdDetach: removed the portal 127\.0\.0\.1:3260$' 1
    [ -z "$(ledgers)" ] || fail "a note of letters is left after the process ended"
    ;;
two_targets)
    # Two targets attached at once from two threads, each with a letter of its own login (F: a
    # second before G:); the detach of the first takes F: away and leaves the second's G:. Under
    # the kit both lie on one disk, so each attach may answer with the other's letter.
    fresh_machine clean
    scenario=test-scenarios/two_targets.json
    run host_lifecycle.exe two-targets $portal 3260 iqn.2026-01.test.vxd:one F \
        iqn.2026-01.test.vxd:two G
    expect_exit 0
    expect_log "^host_lifecycle: two-targets: 7 checks, 0 wrong$"
    expect_no_log "WRONG"
    expect_log "^iscsidsc: LogoutIScsiTarget\(iqn\.2026-01\.test\.vxd:one\) -> 0$"
    [ "$(grep -Ec '^iscsidsc: drive [FG]: removed with its session$' "$err")" -eq 2 ] ||
        fail "F: and G: were not removed with their sessions"
    ;;
out_of_memory)
    # The DLL's copy of a target name fails inside CreateVXD: the exception is caught there,
    # and the next request on the same loaded DLL runs as usual.
    fresh_machine clean
    scenario=test-scenarios/logged_in.json
    run host_lifecycle.exe out-of-memory $portal 3260 "$target"
    expect_exit 0
    expect_trace "CreateVXD: out of memory" "$opening" "$existing" 'Task Disk C:\'
    expect_log "^host_lifecycle: out of memory: result 0, then 1$"
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
    expect_trace "vxdhost $VXD_VERSION (Calls vxdmount.dll (CreateVXD, VxdAttach, VxdDetach) and shows its progress)" \
        "vxdmount.dll $VXD_VERSION (Attaches an iSCSI disk and waits for its drive letter)"
    ;;
import_library_mingw | import_library_msvc)
    # The host binds every export at load through its toolchain's import library and fills
    # the structures of the calls of 1.2 field by field, as a C89 host does.
    fresh_machine clean
    scenario=test-scenarios/import_calls.json
    run "import_host_${case_name#import_library_}.exe"
    expect_exit 0
    expect_trace "CreateVXD returned 1" \
        "VxdAttach returned 0: done; letters F; last progress line: VxdAttach: done: F:" \
        "VxdDetach returned 0: done; sessions logged out 1" \
        "VxdDetach returned 9: the target has no session and no persistent login; sessions logged out 0"
    expect_log "LoginIScsiTargetA\(iqn\.2026-01\.test\.vxd:import, persistent 0\) -> efff003f$"
    expect_log "LoginIScsiTargetA\(iqn\.2026-01\.test\.vxd:import-attach, persistent 0\) -> 0$"
    expect_log 'LogoutIScsiTarget\(.+\) -> 0$'
    ;;
cmake_consumer)
    # A program built against the unpacked zip by CMake, with the zip's DLL beside it.
    fresh_machine clean
    place_programs consumer "$VXD_CONSUMER_DIR/app.exe" "$VXD_CONSUMER_DIR/vxdmount.dll"
    scenario=test-scenarios/logged_in.json
    run app.exe $portal 3260 "$target"
    expect_exit 0
    expect_trace "CreateVXD returned 1"
    expect_log "LoginIScsiTargetA\($target, persistent 0\) -> efff003f$"
    ;;
signed_release)
    # The signed DLL and vxdhost that tests/check_signing.sh made, as a host loads them.
    fresh_machine clean
    place_programs signed "$VXD_SIGNED_DIR/bin/vxdmount.dll" "$VXD_SIGNED_DIR/bin/vxdhost.exe"
    run_vxdhost test-scenarios/logged_in.json $portal 3260 "$target"
    expect_exit 0
    expect_trace "$opening" "$existing" 'Task Disk C:\'
    ;;
*)
    echo "wine_cases.sh: no case named '$case_name'" >&2
    exit 2
    ;;
esac; completed=yes
# An error of this script's own (a bad expansion) abandons the case's commands and the
# assignment after esac with them: such a case has not checked what it should.
if [ "$completed" != yes ]; then
    fail "the case stopped at an error of this script before it was done"
fi

if [ "$prefix" != "${2}" ]; then
    stop_wine
fi
if [ "$failures" -ne 0 ]; then
    for n in $(seq "$runs"); do
        echo "--- run $n: standard output ---"
        cat "$results/$n.stdout"
        echo "--- run $n: standard error and call log ---"
        cat "$results/$n.stderr"
    done
    exit 1
fi
echo "ok: $case_name"
