#!/bin/sh
# The main job, end to end, on a Debian machine: installs what is missing,
# builds the Windows programs, and runs the installer under Wine against
# Wine's real service control manager, in a throw-away prefix (nothing on the
# host is touched). The installer runs twice: a first install, then the
# existing-service path.
#
#   scripts/demo.sh [--keep]
#
#   --keep   keep the Wine prefix afterwards (its processes are ended all the
#            same); by default it is removed.
#
# The service it installs, vek-system-service.exe, is a sample built from
# sample_service/: the demo's payload, not part of the product.
set -eu

keep=no
for argument in "$@"; do
    case "$argument" in
    --keep) keep=yes ;;
    -h | --help)
        sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
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

heading() {
    printf '\n=== %s ===\n' "$1"
}

heading "Packages"
# make: CMake's default generator; clang 16 and lld 16 build the Windows
# programs over MinGW-w64's runtime and libstdc++; python3 finishes the
# shipped file; googletest: the Windows build compiles its test programs from
# Debian's GoogleTest sources.
packages="cmake make g++ g++-mingw-w64-x86-64 clang-16 lld-16 llvm-16 python3 wine64 googletest"
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
    $as_root apt-get update
    # shellcheck disable=SC2086 # one word per package
    DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y $missing
fi

heading "Build (windows preset)"
cd "$repo"
cmake --preset windows
cmake --build --preset windows
for program in dist/vek-system-service-setup.exe vek-system-service.exe vek-service-query.exe; do
    if [ ! -f "$build/$program" ]; then
        echo "the build did not make $build/$program" >&2
        exit 1
    fi
done

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

heading "Programs"
folder_unix="$WINEPREFIX/drive_c/Program Files/Vek System Service"
folder='C:\Program Files\Vek System Service'
mkdir -p "$folder_unix"
# The installer as it ships (stripped, from dist/), beside the sample service.
cp "$build/dist/vek-system-service-setup.exe" "$build/vek-system-service.exe" "$folder_unix/"
echo "copied into $folder:"
ls -l "$folder_unix"

run_installer() {
    printf '$ wine "%s"\n' "$folder\\vek-system-service-setup.exe"
    set +e
    wine "$folder\\vek-system-service-setup.exe"
    code=$?
    set -e
    echo "exit code: $code"
}

show_service() {
    echo "\$ vek-service-query --wait"
    wine "$build/vek-service-query.exe" --wait || true
    echo "\$ wine sc query vek-system-service"
    wine sc query vek-system-service || true
}

heading "First run: the service is registered and started"
run_installer
first_code=$code

heading "The service as the manager reports it"
show_service

heading "Second run: the service exists and runs, so nothing changes"
run_installer
second_code=$code

heading "The service as the manager reports it"
show_service

heading "Summary"
echo "first run exit code: $first_code, second run exit code: $second_code"
[ "$first_code" -eq 0 ] && [ "$second_code" -eq 0 ]
