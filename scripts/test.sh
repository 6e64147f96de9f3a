#!/usr/bin/env bash
# Runs every test of both builds: the logic against the fake platform on
# Linux (native), and the Windows programs under Wine against its real service
# control manager (windows). On a fresh Debian machine it first installs what
# is missing. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

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
          osslsigncode openssl python3-pefile)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# The workflow linter runs on Node.js; a machine that has it from elsewhere
# keeps its own.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)

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
rebuild_log=$(mktemp "${TMPDIR:-/tmp}/vek-rebuild-log.XXXXXX")
bash scripts/check-reproducible.sh build/windows >"$rebuild_log" 2>&1 &
rebuild=$!

stage "windows: under Wine, the test bundle by its run-tests.cmd; beside it, in a prefix of their own, the shipped files' checks and the signing round trip"
# Two prefixes, two service managers: the two runs do not meet, and both
# mostly wait. The checks' report follows the bundle's.
checks_log=$(mktemp "${TMPDIR:-/tmp}/vek-checks-log.XXXXXX")
ctest --preset windows --label-exclude bundle >"$checks_log" 2>&1 &
checks=$!
bundle_status=0
bash scripts/run-test-bundle.sh || bundle_status=$?
checks_status=0
wait "$checks" || checks_status=$?
cat "$checks_log"
rm -f "$checks_log"
[ "$bundle_status" -eq 0 ] && [ "$checks_status" -eq 0 ]

stage "windows: what the build made, rebuilt from a copy of the tree elsewhere, is identical"
rebuild_status=0
wait "$rebuild" || rebuild_status=$?
cat "$rebuild_log"
rm -f "$rebuild_log"
[ "$rebuild_status" -eq 0 ]

stage ""
echo "=== all tests passed in $SECONDS s"
