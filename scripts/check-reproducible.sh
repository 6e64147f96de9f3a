#!/usr/bin/env bash
# Checks that the shipped files are reproducible: builds the installer a
# second time from a copy of this tree at another path (and of another
# length), and compares the new dist/ with the one given, byte for byte.
#
#   scripts/check-reproducible.sh [DIST]
#
# DIST defaults to build/windows/dist, made by the windows preset. The copy
# holds the files git tracks and the untracked ones it does not ignore, so
# uncommitted work is compared as it stands. Exit code 0 when every file is
# identical, 1 when one differs.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
dist=$(cd "${1:-build/windows/dist}" && pwd)

work=$(mktemp -d /tmp/vek-rebuild.XXXXXX)
trap 'rm -rf "$work"' EXIT
copy="$work/another/checkout/of/vek-system-service-setup"
mkdir -p "$copy"
git ls-files --cached --others --exclude-standard -z | xargs -0 cp --parents -t "$copy"

echo "rebuilding the installer in $copy"
(cd "$copy" && cmake --preset windows >/dev/null &&
    cmake --build --preset windows --target vek-system-service-setup -j "$(nproc)" >/dev/null)

status=0
for file in vek-system-service-setup.exe vek-system-service-setup.pdb install.cmd SHA256SUMS; do
    if cmp -s "$dist/$file" "$copy/build/windows/dist/$file"; then
        echo "identical: $file ($(sha256sum <"$dist/$file" | cut -c1-16)...)"
    else
        echo "DIFFERS: $file ($(cmp "$dist/$file" "$copy/build/windows/dist/$file" 2>&1 | head -1))"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "the rebuild from $repo's copy gives the same files"
exit "$status"
