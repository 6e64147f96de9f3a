#!/usr/bin/env bash
# The test command's own test, in seconds: copies of scripts/test.sh and
# tests/harness/wine10-root.sh run among stubs (the stages; the Debian 13 root's
# debootstrap, chroot and apt-get) and must fail, refuse or end their runs
# wherever a fault would let a broken run pass or live on. Namespaces, mounts,
# locks and signals are the machine's own. Usage: tests/harness/test_command_self_test.sh
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vek-self-test.XXXXXX")
trap 'rm -rf --one-file-system "$tmp"' EXIT
tree=$tmp/tree stubs=$tmp/stubs lock=$tmp/run.lock probe=$tmp/probe.log
mkdir -p "$tree"/{scripts,tools/workflow-lint,tests/harness,tests/shipped,build/windows,build/workflow-lint/node_modules/.bin} "$stubs"
cp "$repo"/scripts/test.sh "$tree/scripts/"
cp "$repo"/tests/harness/wine10-root.sh "$tree/tests/harness/"
touch "$tree"/tools/workflow-lint/package{,-lock}.json "$tree"/build/windows/vek-system-service-setup-tests-0.zip \
    "$tree"/tests/shipped/check-reproducible.sh
echo 'echo "stub: the self-test ran"' >"$tree/tests/harness/test_command_self_test.sh"
echo 'eval "$STUB_WINE8_RUN"' >"$tree/tests/harness/run-test-bundle.sh"
stub() { printf '#!/bin/bash\n%s\n' "$2" >"$stubs/$1" && chmod +x "$stubs/$1"; }
stub stage '[ "${0##*/}" != npm ] || for _ in {1..100}; do eval "$STUB_UNTIL" && break; sleep 0.1; done
[[ " $STUB_FAIL " != *" ${0##*/} "* ]] || { echo "stub: ${0##*/} fails"; exit 1; }'
for name in npm cmake ctest; do ln -s stage "$stubs/$name"; done
ln -s "$stubs/stage" "$tree/build/workflow-lint/node_modules/.bin/action-validator"
# STUB_FRESH: a fresh machine, where every package is missing; apt-get
# notes what it is asked to install.
stub dpkg '[ "$1" = -s ] || exec /usr/bin/dpkg "$@"; [ -z "$STUB_FRESH" ]'
stub apt-get 'echo "apt-get $*" >>"$TMPDIR/apt-get.log"'
stub debootstrap 'mkdir -p "$3"/{proc,dev,tmp}'
# Each script removes its files only after ending its runs: a run that still
# holds the lock then is a run left alive.
stub rm 'flock -n "$STUB_LOCK" true || echo "rm $*: the run is still alive" >>"$STUB_PROBE"; exec /bin/rm "$@"'
# chroot ROOT [/usr/bin/env -i NAME=VALUE...] COMMAND...
stub chroot 'shift; [ "$1" != /usr/bin/env ] || { shift; while [[ $1 == -i || $1 == *=* ]]; do shift; done; }
case "$1 $2" in
"dpkg-query -W") printf "%s 10.0\n" wine wine64 libwine python3 ;;
"apt-get update") [ -z "$STUB_ARCHIVE_DOWN" ] || { echo "E: the archive is unreachable"; exit 100; } ;;
"apt-get "*) ;;
*) eval "$STUB_WINE10_RUN" ;;
esac'
export PATH="$stubs:$PATH" TMPDIR=$tmp VEK_WINE10= VEK_WINE10_CACHE=$tmp/cache \
    VEK_WINE10_MIRROR=http://archive.invalid/debian STUB_LOCK=$lock STUB_PROBE=$probe STUB_FAIL= \
    STUB_ARCHIVE_DOWN= STUB_FRESH= STUB_UNTIL=true STUB_WINE10_RUN='echo "2 passed, 0 failed"' \
    STUB_WINE8_RUN='echo "3 passed, 0 failed"'
test_sh=(bash "$tree/scripts/test.sh") root_sh=(bash "$tree/tests/harness/wine10-root.sh")
failed=0
# report NAME PASSED WHY: one line for NAME; WHY and the output when it failed.
report() { if [ "$2" = yes ]; then echo "ok: $1"; else echo "FAILED: $1: $3" && tail -n 25 "$tmp/out" && ((++failed)); fi; }
# check NAME STATUS PATTERN COMMAND...: COMMAND must exit with STATUS (a glob)
# and print a line that matches PATTERN.
check() {
    local name=$1 want=$2 pattern=$3 status=0 passed=yes
    shift 3
    "$@" >"$tmp/out" 2>&1 || status=$?
    [[ $status == $want ]] && grep -q -E -- "$pattern" "$tmp/out" || passed=no
    report "$name" $passed "exit code $status, expected $want and a line /$pattern/ in:"
}
# killed NAME SIGNAL COMMAND...: COMMAND's Wine 10 run holds $lock as it
# sleeps; then COMMAND gets SIGNAL. The run, and every script that used the
# root (each holds the root's lock), must be over within 10 s, the run before
# either script removes its files.
killed() {
    local name=$1 signal=$2 pid held=no sent passed=yes
    shift 2
    : >"$probe"
    STUB_WINE10_RUN='exec flock "$STUB_LOCK" sleep 30' "$@" >"$tmp/out" 2>&1 &
    pid=$!
    for _ in {1..150}; do flock -n "$lock" true || { held=yes; break; }; sleep 0.1; done
    kill -s "$signal" "$pid"
    sent=$SECONDS
    { wait "$pid"; } 2>/dev/null || true
    [ "$held" = yes ] && flock -w 10 "$VEK_WINE10_CACHE/debian13-wine10.lock" true && flock -n "$lock" true &&
        [ $((SECONDS - sent)) -lt 10 ] && [ ! -s "$probe" ] || passed=no
    report "$name" $passed "the run had started: $held; $((SECONDS - sent)) s after $signal; $(cat "$probe")"
}

check "every stage passes: the command passes" 0 "all tests passed" env VEK_WINE10=skip "${test_sh[@]}"
check "the command runs its own self-test" 0 "stub: the self-test ran" env VEK_WINE10=skip "${test_sh[@]}"
check "a fresh machine gets the package's tools" 0 "^apt-get install .* wixl msitools faketime( |$)" \
    env VEK_WINE10=skip STUB_FRESH=1 bash -c '"$@" >/dev/null && cat "$TMPDIR/apt-get.log"' - "${test_sh[@]}"
check "a failing stage fails the command" "[1-9]*" "stub: ctest fails" env VEK_WINE10=skip STUB_FAIL=ctest "${test_sh[@]}"
check "a failing Wine 8 run fails the command" "[1-9]*" "Wine 8 .*: 2 passed, 1 failed; exit code 1" \
    env VEK_WINE10=skip STUB_WINE8_RUN='echo "2 passed, 1 failed"; exit 1' "${test_sh[@]}"
check "a mistyped VEK_WINE10 is refused" 2 "VEK_WINE10 is 'skp'" env VEK_WINE10=skp "${test_sh[@]}"

# The root is entered as tests/harness/wine10-root.sh enters it; a machine that
# cannot (a container without privileges) cannot run Wine 10 either.
if ! unshare --mount --propagation private --pid --fork bash -c 'mount -t proc proc /proc' 2>/dev/null; then
    echo "skipped: the Wine 10 run's status, the root's stamp and archive check, killed runs (this machine cannot enter a mount and PID namespace)"
else
    check "the first run makes the root" 0 "making the Debian 13 root .*\(none kept\)" "${root_sh[@]}" prepare
    check "both Wines pass: the command passes" 0 "Wine 10 .*: 2 passed, 0 failed; exit code 0" "${test_sh[@]}"
    check "a failing Wine 10 run fails the command" "[1-9]*" "Wine 10 .*: 1 passed, 1 failed; exit code 1" \
        env STUB_WINE10_RUN='echo "1 passed, 1 failed"; exit 1' "${test_sh[@]}"
    check "an unreachable archive fails the root's check, naming the step" 3 \
        "FAILED while checking the kept root against the archive" env STUB_ARCHIVE_DOWN=1 "${root_sh[@]}" prepare
    # The first stage waits until the root's check has failed: the run is then not tried.
    check "a root that cannot be checked fails the command" "[1-9]*" "Wine 10 .*: not run" env STUB_ARCHIVE_DOWN=1 \
        STUB_UNTIL='grep -qs FAILED "$TMPDIR"/vek-wine10-prepare-log.* && flock -n "$VEK_WINE10_CACHE"/*.check.lock true' \
        "${test_sh[@]}"
    sed -i 's/^recipe /recipe (another) /' "$tmp/cache/debian13-wine10.stamp"
    check "a root of another recipe is made again" 0 "making .*\(the kept one was made by another recipe\)" \
        "${root_sh[@]}" prepare
    killed "test.sh ended (TERM) ends its Wine 10 run" TERM "${test_sh[@]}"
    killed "test.sh killed (KILL) ends its Wine 10 run" KILL "${test_sh[@]}"
    killed "wine10-root.sh killed (KILL) ends its namespace" KILL "${root_sh[@]}" shell
fi
echo "self-test of the test command: $failed failed"
[ "$failed" -eq 0 ]
