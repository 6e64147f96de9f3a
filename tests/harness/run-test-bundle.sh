#!/usr/bin/env bash
# Runs the test bundle as a Windows user would, under Wine: unpacks the zip
# into a folder of its own outside the build tree, under a path with spaces,
# non-ASCII letters and percent signs, and runs run-tests.cmd there with
# Wine's cmd, in a fresh prefix. Exit code: run-tests.cmd's (0 when nothing
# failed), or 1 when it passed without its closing line "N passed, 0 failed"
# or bundle-helper finish finds something the run left behind.
#
#   tests/harness/run-test-bundle.sh [ZIP]
#
# ZIP defaults to the one the windows preset made in build/windows.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)

if [ $# -gt 0 ]; then
    zip=$1
else
    # The newest, should an older version's still lie there.
    zip=$(ls -t "$repo"/build/windows/vek-system-service-setup-tests-*.zip 2>/dev/null | head -n 1 || true)
fi
[ -f "$zip" ] || { echo "run-test-bundle: no test bundle at $zip" >&2; exit 2; }
name=$(basename "$zip" .zip)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-bundle.XXXXXX")
# Wine 10.0 (Debian 13) aborts at start ("free(): invalid pointer") whenever
# TMPDIR is set, to any folder; Wine 8 does not read it.
unset TMPDIR
export WINEPREFIX="$scratch/prefix"
# Without it, every Wine 10 process writes "XDG_RUNTIME_DIR is invalid" to
# standard error.
if [ -z "${XDG_RUNTIME_DIR:-}" ] || [ ! -d "$XDG_RUNTIME_DIR" ] || [ ! -O "$XDG_RUNTIME_DIR" ]; then
    export XDG_RUNTIME_DIR="$scratch/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    local status=$?
    wineserver -k 2>/dev/null || true
    rm -rf "$scratch"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

unpacked="$scratch/Prüfung 100% %OS% (unpacked)"
python3 - "$zip" "$unpacked" <<'EOF'
import sys
import zipfile
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
EOF
echo "unpacked $(basename "$zip") into $unpacked"
echo "running its run-tests.cmd under $(wine --version 2>/dev/null || echo "an unknown Wine")"

"$repo/cmake/wine-prefix.sh" setup

# From the bundle's own folder, as a user runs it: Wine's cmd mangles a
# percent sign in the script's own path (%~dp0), so run-tests.cmd works with
# paths relative to the current folder.
set +e
(cd "$unpacked/$name" && wine cmd /c run-tests.cmd) | tee "$scratch/run-tests.out"
status=${PIPESTATUS[0]}
set -e

# The logs go with the scratch folder: what a failed program wrote is shown
# here, for a run whose output is all that is kept (CI).
tr -d '\r' <"$scratch/run-tests.out" | sed -n 's/^FAIL  \([A-Za-z0-9_-]*\):.*/\1/p' |
    while read -r program; do
        echo "--- the end of logs/$program.log"
        tail -n 80 "$unpacked/$name/logs/$program.log" 2>/dev/null | tr -d '\r' || echo "(none)"
    done

# The run counts as passed only with its closing line; and the runner's own
# list of what a run may leave, asked once more from outside, must find
# nothing.
if [ "$status" -eq 0 ] && ! tr -d '\r' <"$scratch/run-tests.out" | grep -q -E '^[0-9]+ passed, 0 failed$'; then
    echo "run-test-bundle: run-tests.cmd passed without its closing line" >&2
    status=1
fi
if ! (cd "$unpacked/$name" && wine tests/bundle-helper.exe finish); then
    echo "run-test-bundle: the run left the above behind" >&2
    status=1
fi
exit "$status"
