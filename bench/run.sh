#!/bin/sh
# Benchmarks installing vek-system-service under Wine: the shipped installer
# against the floor program (the same manager calls and nothing else) and
# against the system's sc.exe. Run by hand; not part of the tests.
#
#   bench/run.sh [--record] [BUILD_DIR]
#
# BUILD_DIR is a Windows build of this project, made with its toolchain file
# (default: build/windows, the "windows" preset's folder). The installer and
# the sample service are brought up to date there first; the bench programs
# are compiled here, outside the product's build. The figures go to standard
# output; with --record they also replace the committed bench/results.md
# (only for a run worth keeping: the default rounds, a quiet machine). ROUNDS
# (default 40) and WARM_UP (default 2) set the number of measured and of
# discarded rounds.
set -eu

record=no
if [ "${1:-}" = --record ]; then
    record=yes
    shift
fi
bench_dir=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$bench_dir")
build_dir=${1:-$root/build/windows}
rounds=${ROUNDS:-40}
warm_up=${WARM_UP:-2}
cxx=x86_64-w64-mingw32-g++-posix

# The product, built as it ships: only the two programs the benchmark needs.
if [ "$build_dir" = "$root/build/windows" ]; then
    (cd "$root" && { [ -f build/windows/CMakeCache.txt ] || cmake --preset windows; } &&
        cmake --build --preset windows --target vek-system-service-setup vek-system-service)
else
    [ -f "$build_dir/CMakeCache.txt" ] ||
        cmake -S "$root" -B "$build_dir" --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
            -DCMAKE_BUILD_TYPE=MinSizeRel
    cmake --build "$build_dir" -j2 --target vek-system-service-setup vek-system-service
fi
installer=$build_dir/dist/vek-system-service-setup.exe
service=$build_dir/vek-system-service.exe
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")

work=$(mktemp -d)
prefix=$work/prefix
cleanup() {
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The bench programs: optimised for speed, linked statically and stripped, as
# small as such programs get with this toolchain.
for program in floor noop driver; do
    "$cxx" -std=c++23 -O2 -static -s -Wall -Wextra -o "$work/$program.exe" \
        "$bench_dir/$program.cpp" -ladvapi32
done

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
wine wineboot -i >/dev/null 2>&1
wineserver -w
# More time for a starting service on a loaded machine; Wine reads this value
# only as a string, and only when the prefix starts again.
wine reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 60000 /f \
    >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w

folder=$prefix/drive_c/vek-bench
mkdir -p "$folder"
cp "$installer" "$service" "$work/floor.exe" "$work/noop.exe" "$work/driver.exe" "$folder/"

figures=$work/figures.md
# Other work on the machine widens the spread; the load averages say how much
# there was.
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
wine 'C:\vek-bench\driver.exe' "$rounds" "$warm_up" >"$figures"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

size() { stat -c %s "$1"; }
{
    echo "# Benchmark: installing vek-system-service under Wine"
    echo
    echo "Made by \`ROUNDS=$rounds WARM_UP=$warm_up bench/run.sh --record${1:+ $1}\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo
    echo "- Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1)," \
        "$(free -m | awk '/^Mem:/ { printf "%.1f GiB", $2 / 1024 }') memory"
    echo "- System: $(uname -sr); $(wine --version 2>/dev/null)"
    echo "- Installer: the shipped, stripped vek-system-service-setup.exe ($(size "$installer") bytes," \
        "build type $build_type); floor.exe $(size "$work/floor.exe") bytes, noop.exe" \
        "$(size "$work/noop.exe") bytes (-O2, static, stripped)"
    echo "- sc.exe: the prefix's own; three processes (create, description, start)"
    echo "- Load average (1, 5, 15 min): $load_before before the driver, $load_after after"
    echo
    cat "$figures"
} >"$work/results.md"
cat "$work/results.md"
if [ "$record" = yes ]; then
    cp "$work/results.md" "$bench_dir/results.md"
    echo "recorded in bench/results.md"
fi
