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
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)

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

stage "windows: configure and build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

stage "windows: tests under Wine"
ctest --preset windows

stage "windows: the shipped files rebuilt from a copy of the tree elsewhere are identical"
bash scripts/check-reproducible.sh build/windows/dist

stage ""
echo "=== all tests passed in $SECONDS s"
