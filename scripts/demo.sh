#!/bin/sh
# The main job, end to end, on a Debian machine: installs what is missing,
# builds the installer and the sample service, and runs the installer under
# Wine against Wine's real service control manager, in a throw-away prefix
# (nothing on the host is touched). It shows, each with its exit code: a first
# install, a re-run, a stopped service started again, a failure report (the
# installer alone in a folder), and the service's removal; then the Windows
# Installer package installing and removing it with msiexec; and the
# registration as the manager reports it.
#
#   scripts/demo.sh [--keep]
#
#   --keep   keep the Wine prefix afterwards (its processes are ended all the
#            same); by default it is removed.
#
# The build's own output goes to a log file, named at the start. The service
# it installs, vek-system-service.exe, is a sample built from
# sample_service/: the demo's payload, not part of the product.
set -eu

keep=no
for argument in "$@"; do
    case "$argument" in
    --keep) keep=yes ;;
    -h | --help)
        sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "unknown option: $argument (try --help)" >&2
        exit 2
        ;;
    esac
done

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build/windows"
started=$(date +%s)

heading() {
    printf '\n=== %s ===\n' "$1"
}

heading "Packages"
# make: CMake's default generator; clang 16 and lld 16 build the Windows
# programs over MinGW-w64's runtime and libstdc++; python3 finishes the
# shipped file; googletest: the windows preset's test programs are declared
# from Debian's GoogleTest sources (the demo builds none of them); wixl,
# msitools and faketime: the preset declares the Windows Installer package
# (the demo builds none either).
packages="cmake make g++ g++-mingw-w64-x86-64 clang-16 lld-16 llvm-16 python3 wine64 googletest wixl msitools faketime"
missing=""
for package in $packages; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
if [ -z "$missing" ]; then
    echo "all present: $packages"
else
    echo "installing:$missing"
    if [ "$(id -u)" -eq 0 ]; then
        as_root=""
    elif command -v sudo >/dev/null 2>&1; then
        as_root="sudo"
    else
        echo "not root and no sudo: install$missing first" >&2
        exit 1
    fi
    $as_root apt-get update -qq
    # shellcheck disable=SC2086 # one word per package
    DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -qq $missing >/dev/null
fi

heading "Build (windows preset: the shipped files and the sample service only)"
mkdir -p "$build"
log="$build/demo-build.log"
echo "the build's output goes to $log"
cd "$repo"
if ! { cmake --preset windows &&
    cmake --build --preset windows --target dist vek-system-service vek-service-query; } \
    >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "the build failed; its whole output is in $log" >&2
    exit 1
fi
built=$(date +%s)
echo "built in $((built - started)) s"

heading "Wine prefix"
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vek-demo-prefix.XXXXXX")
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
    status=$?
    heading "Clean-up"
    # Ends every process of the prefix, the running service included.
    wineserver -k 2>/dev/null || true
    if [ "$keep" = yes ]; then
        echo "the prefix is kept at $WINEPREFIX"
        echo "(remove it with: rm -rf '$WINEPREFIX')"
    else
        rm -rf "$WINEPREFIX"
        echo "the prefix at $WINEPREFIX is removed (--keep keeps it)"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "prefix: $WINEPREFIX"
wine wineboot -i >/dev/null 2>&1
# Until the prefix is fully set up, a service start can time out. Only safe
# before any service is registered: a running service keeps this waiting.
wineserver -w
echo "set up"

folder_unix="$WINEPREFIX/drive_c/Program Files/Vek System Service"
folder='C:\Program Files\Vek System Service'
mkdir -p "$folder_unix"
# The installer as it ships (stripped, from dist/), beside the sample service.
cp "$build/dist/vek-system-service-setup.exe" "$build/vek-system-service.exe" "$folder_unix/"
lonely_unix="$WINEPREFIX/drive_c/Installer alone"
lonely='C:\Installer alone'
mkdir -p "$lonely_unix"
cp "$build/dist/vek-system-service-setup.exe" "$lonely_unix/"

# Runs a command as a user would type it, shows it and its exit code.
run() {
    printf '> %s\n' "$1"
    shift
    set +e
    wine "$@"
    code=$?
    set -e
    echo "exit code: $code"
}

show_service() {
    run 'sc qc vek-system-service (here: vek-service-query --wait, Wine'"'"'s sc has no qc)' \
        "$build/vek-service-query.exe" --wait
}

heading "1. First install: the service is registered and started"
run "\"$folder\\vek-system-service-setup.exe\"" "$folder\\vek-system-service-setup.exe"
first=$code
show_service

heading "2. Run again: the service is registered and running, so nothing changes"
run "\"$folder\\vek-system-service-setup.exe\"" "$folder\\vek-system-service-setup.exe"
second=$code

heading "3. The service stopped, then the installer: it starts the service again"
run "sc stop vek-system-service" sc stop vek-system-service
# Until it has stopped: the installer would ask a stopping service to start.
wine "$build/vek-service-query.exe" --wait >/dev/null 2>&1 || true
run "\"$folder\\vek-system-service-setup.exe\"" "$folder\\vek-system-service-setup.exe"
third=$code
show_service

heading "4. A failure: the installer alone in a folder, without the service program"
run "\"$lonely\\vek-system-service-setup.exe\"" "$lonely\\vek-system-service-setup.exe"
fourth=$code

heading "5. Removal: stop the service, then delete its registration"
run "sc stop vek-system-service" sc stop vek-system-service
run "sc delete vek-system-service" sc delete vek-system-service
show_service
fifth=$code

heading "6. The Windows Installer package: msiexec installs the service, and removes it"
package=$(cd "$build/dist" && ls vek-system-service-*.msi)
cp "$build/dist/$package" "$WINEPREFIX/drive_c/"
product_code=$(msiinfo export "$build/dist/$package" Property | tr -d '\r' | awk '$1 == "ProductCode" { print $2 }')
run "msiexec /i C:\\$package /qn" msiexec /i "C:\\$package" /qn
sixth=$code
show_service
run "msiexec /x $product_code /qn" msiexec /x "$product_code" /qn
seventh=$code
show_service
eighth=$code

heading "Summary"
echo "exit codes: first install $first, re-run $second, stopped service $third," \
    "installer alone $fourth (a failure, as expected), the query after removal $fifth (1: not registered)," \
    "msiexec /i $sixth, msiexec /x $seventh, the query after it $eighth"
echo "$(($(date +%s) - built)) s after the build, $(($(date +%s) - started)) s in all"
[ "$first" -eq 0 ] && [ "$second" -eq 0 ] && [ "$third" -eq 0 ] && [ "$fourth" -eq 1 ] &&
    [ "$fifth" -ne 0 ] && [ "$sixth" -eq 0 ] && [ "$seventh" -eq 0 ] && [ "$eighth" -ne 0 ]
