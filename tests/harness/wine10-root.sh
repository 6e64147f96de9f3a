#!/usr/bin/env bash
# A second Wine beside the host's: Wine 10 in a Debian 13 (trixie) root of
# this project's own, made with debootstrap from the Debian archive that the
# machine's apt sources name, kept between runs outside the clone, and
# entered with chroot.
#
#   tests/harness/wine10-root.sh prepare            make the root, or check the kept one
#   tests/harness/wine10-root.sh run-bundle [ZIP]   prepare, then run the test bundle
#                                             there with tests/harness/run-test-bundle.sh
#   tests/harness/wine10-root.sh shell [COMMAND...] prepare, then run COMMAND (default:
#                                             bash) in the root as the bundle runs
#
# ZIP defaults to the newest test bundle in build/windows. Environment:
#   VEK_WINE10_CACHE   the folder that keeps the root (default
#                      /var/cache/vek-system-service-setup)
#   VEK_WINE10_MIRROR  the Debian archive (default: the one the machine's apt
#                      sources name for its own release)
#
# The root is made again when it is missing, when it is incomplete (its stamp,
# written last, is missing), when it was made by another recipe (the stamp
# records it: suite, variant, archive, packages), when its installed packages
# are not those the stamp lists, or when the archive now has other versions
# of any of them (apt-get update in the root, then a simulated dist-upgrade:
# the root must be what a fresh machine would make today).
#
# Each run enters the root in a private mount and process namespace: /proc,
# /dev, the run's own /tmp and the clone (read-only) are mounted there only,
# never in the machine's own mount table, and the kernel drops them with the
# namespace's last process, however the run ends (its first process is
# killed on Ctrl-C and TERM, and with this script even by SIGKILL). Each run
# has its own /tmp in the root (a folder of its own outside it, removed at
# the end): its Wine prefix, its XDG_RUNTIME_DIR (0700) and its copy of the
# bundle. Runs may overlap: a lock lets the root be made again only while no
# run uses it.
#
# Exit code: the command's (run-tests.cmd's: 0 when nothing failed), or 3
# when the root could not be made, checked or entered (the message names the
# step), or 2 on wrong usage.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)

suite=trixie
variant=minbase
packages=(wine64 wine python3)
# What the stamp lists by name, beside a digest of every installed package.
named_packages="wine wine64 libwine python3"
recipe_revision=1
cache=${VEK_WINE10_CACHE:-/var/cache/vek-system-service-setup}
root="$cache/debian13-wine10"
stamp="$root.stamp"
chroot_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

say() { printf 'wine10-root: %s\n' "$*"; }
fail() {
    # $1: the step that failed.
    printf 'wine10-root: FAILED while %s\n' "$1" >&2
    exit 3
}

# The Debian archive the machine's apt sources name for the machine's own
# release (the entry whose suite is its codename: neither security nor
# updates, nor another vendor's).
host_mirror() {
    python3 - <<'EOF'
import glob, re
codename = ""
with open("/etc/os-release") as f:
    for line in f:
        if line.startswith("VERSION_CODENAME="):
            codename = line.split("=", 1)[1].strip().strip('"')
def one_line(path):
    with open(path) as f:
        for line in f:
            line = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
            if len(line) >= 3 and line[0] == "deb" and line[2] == codename:
                return line[1]
def deb822(path):
    with open(path) as f:
        stanzas = re.split(r"\n\s*\n", f.read())
    for stanza in stanzas:
        fields = {}
        for line in stanza.splitlines():
            if line.startswith("#") or ":" not in line or line[0].isspace():
                continue
            key, value = line.split(":", 1)
            fields[key.strip().lower()] = value.split()
        if ("deb" in fields.get("types", []) and codename in fields.get("suites", [])
                and fields.get("enabled", ["yes"])[0].lower() != "no" and fields.get("uris")):
            return fields["uris"][0]
files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*"))
for path in files:
    try:
        uri = deb822(path) if path.endswith(".sources") else one_line(path) if path.endswith(".list") else None
    except OSError:
        uri = None
    if uri:
        print(uri)
        break
EOF
}

mirror=${VEK_WINE10_MIRROR:-}
if [ -z "$mirror" ]; then
    mirror=$(host_mirror) || true
    [ -n "$mirror" ] || fail "finding the Debian archive in the machine's apt sources (set VEK_WINE10_MIRROR)"
fi
recipe="debootstrap --variant=$variant $suite $mirror; apt-get install --no-install-recommends ${packages[*]}; $(dpkg --print-architecture); revision $recipe_revision"

# Runs "$@" (a command and its arguments) as the first process of a private
# mount and PID namespace, so that every mount it makes, and every process it
# leaves, ends with it. Prints nothing of its own; returns its exit code. A
# signal to this script kills the namespace and waits for it to end.
namespace=""
run_in_namespace() {
    # Started in the background so that a trap runs at once, not after it;
    # setpriv makes it die with this script, and unshare's --kill-child then
    # takes the namespace's first process, and with it every other.
    # (Its standard input is this script's: a background command's would be
    # /dev/null.)
    setpriv --pdeathsig KILL unshare --mount --propagation private --pid --fork --kill-child "$@" <&3 &
    namespace=$!
    local status=0
    wait "$namespace" || status=$?
    namespace=""
    return "$status"
}
end_namespace() {
    [ -n "$namespace" ] || return 0
    local first
    first=$(cat "/proc/$namespace/task/$namespace/children" 2>/dev/null || true)
    # unshare holds INT and TERM while it waits; its child, the namespace's
    # first process, takes the rest of the namespace with it when it dies.
    if [ -n "$first" ]; then
        kill -KILL $first 2>/dev/null || true
    else
        kill -KILL "$namespace" 2>/dev/null || true
    fi
    wait "$namespace" 2>/dev/null || true
    namespace=""
}

scratch=""
unfinished=""
on_exit() {
    local status=$?
    end_namespace
    [ -z "$scratch" ] || rm -rf --one-file-system "$scratch"
    [ -z "$unfinished" ] || rm -rf --one-file-system "$unfinished"
    exit "$status"
}
trap on_exit EXIT
exec 3<&0
trap 'exit 130' INT
trap 'exit 143' TERM

# The commands that run as the namespace's first process. $1 is the root.
# Mounts /proc (of the new PID namespace) and the machine's /dev there.
mount_basics='mount -t proc proc "$1/proc" && mount --rbind /dev "$1/dev"'
# For apt-get in the root: the machine's name service configuration as it is
# now, not as debootstrap copied it.
mount_resolv_conf='if [ -f "$1/etc/resolv.conf" ] && [ ! -L "$1/etc/resolv.conf" ]; then
    mount --bind /etc/resolv.conf "$1/etc/resolv.conf"; fi'

installed_versions() {
    # The stamp's package lines, from the root's own dpkg database.
    chroot "$root" dpkg-query -W -f '${Package} ${Version}\n' $named_packages 2>/dev/null || true
}
package_digest() {
    chroot "$1" dpkg-query -W -f '${Package} ${Version} ${Architecture}\n' | sha256sum | cut -d' ' -f1
}

make_root() {
    local reason=$1
    say "making the Debian 13 root in $root ($reason)"
    if ! command -v debootstrap >/dev/null 2>&1; then
        say "installing debootstrap"
        { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
            { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null; }; } ||
            fail "installing debootstrap with apt-get"
    fi
    rm -f "$stamp"
    rm -rf --one-file-system "$root" "$root.new"
    local new="$root.new" log="$cache/debian13-wine10.log"
    local started=$SECONDS
    unfinished=$new
    : >"$log"
    run_in_namespace debootstrap --variant="$variant" "$suite" "$new" "$mirror" >>"$log" 2>&1 || {
        tail -n 15 "$log" >&2
        fail "making the root with debootstrap --variant=$variant $suite from $mirror (log: $log)"
    }
    say "debootstrap took $((SECONDS - started)) s"
    started=$SECONDS
    run_in_namespace bash -c "set -e; $mount_basics; $mount_resolv_conf"'
        root=$1; shift
        chroot "$root" /usr/bin/env -i PATH='"$chroot_path"' DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 \
            apt-get install -y -q --no-install-recommends "$@"
        chroot "$root" apt-get clean' inner "$new" "${packages[@]}" >>"$log" 2>&1 || {
        tail -n 15 "$log" >&2
        fail "installing ${packages[*]} in the root with apt-get (log: $log)"
    }
    say "apt-get install ${packages[*]} took $((SECONDS - started)) s"
    mv "$new" "$root"
    unfinished=""
    # Last: a root without its stamp is incomplete and is made again.
    {
        echo "recipe $recipe"
        echo "made $(date -u +%Y-%m-%dT%H:%M:%SZ)"
        echo "packages-sha256 $(package_digest "$root")"
        installed_versions | sed 's/^/package /'
    } >"$stamp.new"
    mv "$stamp.new" "$stamp"
    say "made: $(grep '^package wine ' "$stamp" | cut -d' ' -f2-)"
}

# Why the kept root cannot be used as it is, or nothing when it can. Only
# reads the root.
stale_reason() {
    [ -d "$root" ] || { echo "none kept"; return; }
    [ -f "$stamp" ] || { echo "the kept one is incomplete: no stamp"; return; }
    [ "$(sed -n 's/^recipe //p' "$stamp")" = "$recipe" ] || { echo "the kept one was made by another recipe"; return; }
    [ "$(sed -n 's/^packages-sha256 //p' "$stamp")" = "$(package_digest "$root" 2>/dev/null)" ] ||
        { echo "the kept one's packages changed after it was made"; return; }
}

# Does the archive have other versions than the root holds? Prints the
# packages that would change, or nothing.
archive_changes() {
    run_in_namespace bash -c "set -e; $mount_basics; $mount_resolv_conf"'
        root=$1
        in_root() { chroot "$root" /usr/bin/env -i PATH='"$chroot_path"' LANG=C.UTF-8 "$@"; }
        in_root apt-get update -qq --error-on=any >&2
        in_root apt-get -s -q dist-upgrade
    ' inner "$root" >"$cache/debian13-wine10.upgrade" || return 1
    # "Inst NAME [OLD] (NEW ...)", "Inst NAME (NEW ...)", "Remv NAME [OLD]".
    awk '/^(Inst|Remv) / {
        old = "none"; new = "removed"
        if ($3 ~ /^\[/) { old = $3; if ($1 == "Inst") new = $4 } else new = $3
        gsub(/[][()]/, "", old); gsub(/[][()]/, "", new)
        print $2 " " old " -> " new
    }' "$cache/debian13-wine10.upgrade"
}

# Whether this machine lets the run enter the root: a private mount and PID
# namespace with /proc and /dev mounted in it (here over themselves, which
# changes nothing outside). A container without privileges refuses it.
check_namespace() {
    run_in_namespace bash -c 'mount -t proc proc /proc && mount --rbind /dev /dev' ||
        fail "entering a private mount namespace and mounting /proc and /dev there (refused: this machine cannot run the root; VEK_WINE10=skip turns the Wine 10 stage of scripts/test.sh off)"
}

prepare() {
    check_namespace
    if [ ! -d "$cache" ]; then
        mkdir -p "$(dirname "$cache")"
        mkdir -m 755 "$cache"
    fi
    # A root is entered as root: one that someone else could have put there
    # would run their programs.
    [ "$(stat -c %u "$cache")" = 0 ] && [ $((0$(stat -c %a "$cache") & 022)) -eq 0 ] ||
        fail "checking $cache: it must be root's own and writable by root only"
    # Two locks: runs hold the use lock shared while they use the root, and
    # the root is made again only under it exclusively, while no run uses it;
    # the check lock lets one run at a time check the root (apt-get in it) or
    # make it.
    exec 8>"$cache/debian13-wine10.check.lock" 9>"$cache/debian13-wine10.lock"
    flock -x 8
    local reason changes
    reason=$(stale_reason)
    if [ -z "$reason" ]; then
        # Through a file, not $(...): a subshell's namespace would escape the
        # trap that ends it.
        archive_changes >"$cache/debian13-wine10.changes" ||
            fail "checking the kept root against the archive $mirror (apt-get update in the root)"
        changes=$(cat "$cache/debian13-wine10.changes")
        [ -z "$changes" ] || reason="the archive has other versions: $(echo $changes | cut -c1-300)"
    fi
    if [ -n "$reason" ]; then
        flock -x 9
        make_root "$reason"
    else
        say "reusing the kept root $root: $(grep '^package wine ' "$stamp" | cut -d' ' -f2-), made $(sed -n 's/^made //p' "$stamp"), its packages as the archive has them"
    fi
    flock -s 9
    exec 8>&-
}

# Runs "$@" in the root, as described above; ZIP (when not empty) is copied
# to the run's /tmp/bundle/. The clone is at /tmp/repo, read-only.
enter() {
    local zip=$1
    shift
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/vek-wine10.XXXXXX")
    mkdir -m 700 "$scratch/xdg" "$scratch/home" "$scratch/bundle" "$scratch/repo"
    [ -z "$zip" ] || cp "$zip" "$scratch/bundle/"
    local status=0
    run_in_namespace bash -c "set -e; $mount_basics"'
        root=$1 run=$2 repo=$3; shift 3
        mount --bind "$run" "$root/tmp"
        mount --bind -o ro "$repo" "$root/tmp/repo"
        : >"$run/entered"
        status=0
        chroot "$root" /usr/bin/env -i PATH='"$chroot_path"' LANG=C.UTF-8 HOME=/tmp/home \
            XDG_RUNTIME_DIR=/tmp/xdg TERM="${TERM:-dumb}" "$@" || status=$?
        exit "$status"' inner "$root" "$scratch" "$repo" "$@" || status=$?
    [ -e "$scratch/entered" ] ||
        fail "entering the root: mounting /proc, /dev, the run's /tmp and the clone in it"
    return "$status"
}

case "${1:-}" in
prepare)
    prepare
    ;;
run-bundle)
    if [ $# -gt 1 ]; then
        zip=$2
    else
        zip=$(ls -t "$repo"/build/windows/vek-system-service-setup-tests-*.zip 2>/dev/null | head -n 1 || true)
    fi
    [ -f "$zip" ] || { echo "wine10-root: no test bundle at $zip" >&2; exit 2; }
    prepare
    say "the test bundle under Wine $(sed -n 's/^package wine //p' "$stamp") (Debian 13 root)"
    status=0
    enter "$zip" bash /tmp/repo/tests/harness/run-test-bundle.sh "/tmp/bundle/$(basename "$zip")" || status=$?
    exit "$status"
    ;;
shell)
    shift
    prepare
    [ $# -gt 0 ] || set -- bash
    status=0
    enter "" "$@" || status=$?
    exit "$status"
    ;;
*)
    echo "usage: $0 prepare | run-bundle [ZIP] | shell [COMMAND...]" >&2
    exit 2
    ;;
esac
