#!/usr/bin/env bash
# Checks that what the windows preset makes is reproducible: builds the
# shipped files and the test bundle a second time from a copy of this tree at
# another path (and of another length), and compares them with the ones in
# the given build folder, byte for byte.
#
#   tests/shipped/check-reproducible.sh [BUILD]
#
# BUILD defaults to build/windows. What the comparison needs is built there
# first (the shipped files and the bundle; nothing, after the test command),
# so it also works after the demo, which builds only the programs it runs;
# a BUILD that is not a configured build folder is refused (exit 2). The copy
# holds the files git tracks and the untracked ones it does not ignore, so
# uncommitted work is compared as it stands. Exit code 0 when every file is
# identical, 1 when one differs.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$(pwd)
if [ $# -eq 0 ] && [ ! -f build/windows/CMakeCache.txt ]; then
    cmake --preset windows >/dev/null
fi
if [ ! -f "${1:-build/windows}/CMakeCache.txt" ]; then
    echo "check-reproducible: ${1:-build/windows} is not a configured build folder:" \
        "run cmake --preset windows first, or name the folder" >&2
    exit 2
fi
build=$(cd "${1:-build/windows}" && pwd)
cmake --build "$build" --target test_bundle dist -j "$(nproc)" >/dev/null

work=$(mktemp -d /tmp/vek-rebuild.XXXXXX)
trap 'rm -rf "$work"' EXIT
copy="$work/another/checkout/of/vek-system-service-setup"
mkdir -p "$copy"
git ls-files --cached --others --exclude-standard -z | xargs -0 cp --parents -t "$copy"

echo "rebuilding the shipped files and the test bundle in $copy"
(cd "$copy" && cmake --preset windows >/dev/null &&
    cmake --build --preset windows --target test_bundle dist -j "$(nproc)" >/dev/null)

status=0
bundle=$(cd "$build" && ls -t vek-system-service-setup-tests-*.zip | head -n 1)
# Every file that ships, whatever dist/ holds, and the bundle.
for file in $(cd "$build" && ls dist/*) "$bundle"; do
    if cmp -s "$build/$file" "$copy/build/windows/$file"; then
        echo "identical: $file ($(sha256sum <"$build/$file" | cut -c1-16)...)"
    else
        echo "DIFFERS: $file ($(cmp "$build/$file" "$copy/build/windows/$file" 2>&1 | head -1))"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "the rebuild from $repo's copy gives the same files"
exit "$status"
