#!/usr/bin/env bash
# Runs every test of both builds: the logic against the fake platform on
# Linux (native), and the Windows programs under Wine against its real service
# control manager (windows). The test bundle runs under two Wines: the host's
# (Wine 8) and Wine 10 in a Debian 13 root kept outside the clone
# (tests/harness/wine10-root.sh). On a fresh Debian machine it first installs what
# is missing. Usage: scripts/test.sh
#
# VEK_WINE10=skip leaves Wine 10 out, saying so, for machines that cannot
# mount (a container without privileges); any other value but empty is
# refused. A failure to make or enter the root fails the test command.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${VEK_WINE10:-}" in
"") wine10=yes ;;
skip) wine10=no ;;
*)
    echo "test.sh: VEK_WINE10 is '$VEK_WINE10': leave it unset, or set it to skip" >&2
    exit 2
    ;;
esac

# However the command ends (a failed stage, Ctrl+C, TERM), the jobs still
# running beside the stages end too (a Wine 10 run then leaves its namespace,
# with every mount in it), and the logs go. The Wine 10 jobs also get TERM
# should this script die without running this (setpriv below).
temp_files=()
# temp_file VARIABLE NAME: a new temporary file, named in VARIABLE.
temp_file() {
    local file
    file=$(mktemp "${TMPDIR:-/tmp}/vek-$2.XXXXXX")
    temp_files+=("$file")
    printf -v "$1" '%s' "$file"
}
finish() {
    local status=$? pids
    pids=$(jobs -p)
    if [ -n "$pids" ]; then
        kill -TERM $pids 2>/dev/null || true
        wait || true
    fi
    [ ${#temp_files[@]} -eq 0 ] || rm -f "${temp_files[@]}"
    exit "$status"
}
trap finish EXIT
trap 'echo "=== interrupted" >&2; exit 130' INT
trap 'echo "=== interrupted" >&2; exit 143' TERM

stage_start=$SECONDS
stage() {
    local now=$SECONDS
    if [ -n "${stage_name:-}" ]; then
        printf '=== %s took %ds\n' "$stage_name" $((now - stage_start))
    fi
    stage_name=$1
    stage_start=$now
    [ -n "$stage_name" ] && printf '=== %s\n' "$stage_name"
    return 0
}

stage "installing what is missing"
packages=(cmake make g++ python3 libgtest-dev libgmock-dev googletest unicode-data
          clang-16 libclang-rt-16-dev lld-16 llvm-16 g++-mingw-w64-x86-64 wine64
          osslsigncode openssl python3-pefile wixl msitools faketime)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# The workflow linter runs on Node.js; a machine that has it from elsewhere
# keeps its own.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ "$wine10" = yes ]; then
    dpkg -s debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Seconds long: a fault here would let every later stage pass for nothing.
stage "the test command itself, against stubs (tests/harness/test_command_self_test.sh)"
bash tests/harness/test_command_self_test.sh

jobs=$(nproc)

# The Debian 13 root is made (about a minute and a half, mostly download) or
# checked against the archive (a few seconds) beside the builds; the Wine 10
# run waits for it.
if [ "$wine10" = yes ]; then
    temp_file wine10_prepare_log wine10-prepare-log
    setpriv --pdeathsig TERM bash tests/harness/wine10-root.sh prepare >"$wine10_prepare_log" 2>&1 &
    wine10_prepare=$!
else
    echo "=== VEK_WINE10=skip: the test bundle runs under the host's Wine only, NOT under Wine 10"
fi

stage "the Windows workflow against the workflow schema (action-validator, from npm)"
lint=build/workflow-lint
mkdir -p "$lint"
cp tools/workflow-lint/package.json tools/workflow-lint/package-lock.json "$lint/"
(cd "$lint" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
for workflow in .github/workflows/*.yml; do
    "$lint/node_modules/.bin/action-validator" "$workflow"
    echo "valid: $workflow"
done

stage "native: configure and build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"

stage "native: tests"
ctest --preset native -j "$jobs"

stage "native under AddressSanitizer and UndefinedBehaviorSanitizer: build and tests"
cmake --preset native-sanitize >/dev/null
cmake --build --preset native-sanitize -j "$jobs"
ctest --preset native-sanitize -j "$jobs"

stage "fuzz targets: build, replay kept inputs, fuzz each for a bounded time"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz

stage "windows: configure and build (the shipped files and the test bundle)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

# The rebuild from another folder runs beside the Wine stages, which mostly
# wait for services and processes; its report is shown at the end.
temp_file rebuild_log rebuild-log
bash tests/shipped/check-reproducible.sh build/windows >"$rebuild_log" 2>&1 &
rebuild=$!

wines="the host's Wine 8 and Wine 10 (Debian 13 root)"
[ "$wine10" = yes ] || wines="the host's Wine 8 (Wine 10 skipped)"
stage "windows: under Wine, the test bundle by its run-tests.cmd under $wines; beside them, in a prefix of their own, the shipped files' checks and the signing round trip"
# Three prefixes, three service managers (the Wine 10 one in a namespace of
# its own): the runs do not meet, and all mostly wait. The checks do not
# depend on the Wine version and run under the host's only. The reports of
# the checks and of Wine 10 follow Wine 8's.
temp_file checks_log checks-log
ctest --preset windows --label-exclude bundle >"$checks_log" 2>&1 &
checks=$!
# Wine 10 beside Wine 8: on 2 cores this stage (the rebuild, its longest
# job, beside it) took 94-111 s so, 118 s with Wine 10 after Wine 8, and 84 s
# without Wine 10. A root still being made holds the run back (the run waits
# for the root's lock); one that could not be made is not tried again.
wine10_prepare_status=0
if [ "$wine10" = yes ]; then
    if ! kill -0 "$wine10_prepare" 2>/dev/null; then
        wait "$wine10_prepare" || wine10_prepare_status=$?
        wine10_prepare=""
    fi
    if [ "$wine10_prepare_status" -eq 0 ]; then
        temp_file wine10_log wine10-log
        setpriv --pdeathsig TERM bash tests/harness/wine10-root.sh run-bundle >"$wine10_log" 2>&1 &
        wine10_run=$!
    fi
fi
temp_file wine8_log wine8-log
bundle_status=0
bash tests/harness/run-test-bundle.sh 2>&1 | tee "$wine8_log" || bundle_status=$?
checks_status=0
wait "$checks" || checks_status=$?
cat "$checks_log"
wine10_status=0
if [ "$wine10" = yes ]; then
    [ -z "$wine10_prepare" ] || wait "$wine10_prepare" || wine10_prepare_status=$?
    echo "--- the Debian 13 root for Wine 10"
    cat "$wine10_prepare_log"
    wine10_status=$wine10_prepare_status
    if [ -n "${wine10_run:-}" ]; then
        wine10_status=0
        wait "$wine10_run" || wine10_status=$?
        echo "--- the test bundle under Wine 10"
        cat "$wine10_log"
    fi
fi
# Each run's closing line ("N passed, M failed"), together.
closing() {
    grep -a -E '^[0-9]+ passed, [0-9]+ failed' "$1" | tail -n 1 | tr -d '\r' | grep . || echo "no closing line"
}
echo "--- Wine 8 (the host's): $(closing "$wine8_log"); exit code $bundle_status"
if [ "$wine10" = no ]; then
    echo "--- Wine 10: skipped (VEK_WINE10=skip)"
elif [ -n "${wine10_run:-}" ]; then
    echo "--- Wine 10 (Debian 13 root): $(closing "$wine10_log"); exit code $wine10_status"
else
    echo "--- Wine 10 (Debian 13 root): not run: the root could not be made or checked (see above)"
fi
rm -f "$checks_log" "$wine8_log" "${wine10_prepare_log:-}" "${wine10_log:-}"
# Each status on its own: in a list joined by &&, set -e ends the script only
# when the last one fails, and a failed Wine 8 run went by as passed.
for status in "$bundle_status" "$checks_status" "$wine10_status"; do
    [ "$status" -eq 0 ] || exit 1
done

stage "windows: what the build made, rebuilt from a copy of the tree elsewhere, is identical"
rebuild_status=0
wait "$rebuild" || rebuild_status=$?
cat "$rebuild_log"
rm -f "$rebuild_log"
[ "$rebuild_status" -eq 0 ]

stage ""
echo "=== all tests passed in $SECONDS s"
