#!/bin/sh
# Signs the shipped installer, or the Windows Installer package, with
# Authenticode (SHA-256, RFC 3161 time-stamp) using Debian's osslsigncode,
# then verifies the signed file the
# way Windows judges it: the digest of the file, a chain to a trusted root and
# the code-signing purpose of the certificate, and the time-stamp; and, when
# asked to, that the signer is the expected one.
#
#   scripts/sign.sh [--output FILE] [--no-timestamp] [FILE]
#
#   FILE            the program or package (.msi) to sign; by default
#                   build/windows/dist/vek-system-service-setup.exe. A
#                   release signs the program first, rebuilds the package
#                   (which then holds the signed program), and signs it
#   -o, --output F  write the signed program to F; by default FILE itself is
#                   replaced, once its signed copy has been verified. A
#                   signature the program already has is replaced.
#   --no-timestamp  sign without a time-stamp: for tests only, since such a
#                   signature stops being valid when the certificate expires
#
# The signing key, from the environment; exactly one of the two:
#   a PFX file:
#     VEK_SIGN_PFX            PKCS#12 file (.pfx/.p12) with the certificate,
#                             its chain and the private key
#     VEK_SIGN_PFX_PASSWORD   its password (may be empty, not unset)
#   or a PKCS#11 token (smart card, USB token, HSM):
#     VEK_SIGN_PKCS11_MODULE  the token's PKCS#11 module (.so)
#     VEK_SIGN_PKCS11_KEY     PKCS#11 URI of the private key (pkcs11:...),
#                             without a PIN (no pin-value=)
#     VEK_SIGN_CERTS          PEM file: the signing certificate and its
#                             intermediate certificates
#     VEK_SIGN_PKCS11_PIN     the user PIN (optional)
#     VEK_SIGN_PKCS11_ENGINE  OpenSSL's pkcs11 engine (.so), only where
#                             osslsigncode does not find it by itself (with
#                             Debian's it does, and Debian 12's osslsigncode
#                             fails when given the engine's path)
#   osslsigncode reaches the token through OpenSSL's pkcs11 engine: on Debian,
#   apt-get install libengine-pkcs11-openssl.
# The expected signer, checked after signing (optional, but without it any
# certificate that chains to VEK_SIGN_CA_FILE passes; set either or both):
#     VEK_SIGN_EXPECT_SUBJECT the signing certificate's subject, exactly as
#                             osslsigncode verify prints it under "Signer's
#                             certificate" (e.g. /CN=Vek/O=Vek)
#     VEK_SIGN_EXPECT_SHA256  the signing certificate's SHA-256 fingerprint
#                             (64 hex digits; colons and spaces are ignored)
# The rest:
#     VEK_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp server; several, separated
#                             by spaces, are tried in turn (required unless
#                             --no-timestamp)
#     VEK_SIGN_URL            a web page shown with the description (optional)
#     VEK_SIGN_CA_FILE        trusted roots for the check afterwards; default
#                             /etc/ssl/certs/ca-certificates.crt
#     VEK_SIGN_TSA_CA_FILE    trusted roots for the time-stamp; default
#                             VEK_SIGN_CA_FILE
#     OSSLSIGNCODE            the osslsigncode to run; default from PATH
#
# The password or PIN reaches osslsigncode through a pipe from the shell's
# builtin printf: never on a command line (which any user can read in ps),
# never in a file. A SHA256SUMS beside FILE that lists it, and one beside the
# output that lists the output, must give FILE's current sum: a file changed
# since its sums were written is refused, not signed. The signed copy, and
# the SHA256SUMS beside the output with its new sum (when that lists the
# output), are made in a folder beside the output and moved into place only
# once both are checked, one right after the other with HUP, INT and TERM held
# off: on any failure the output and its SHA256SUMS are left as they were.
# Exit code 0: signed and verified; 1: signing or verification failed, or FILE
# does not match its sums; 2: wrong usage or configuration.
set -eu

description="Vek System Service installer"

usage_error() {
    echo "sign.sh: $1" >&2
    exit 2
}

input=
output=
timestamp=yes
engine=
while [ $# -gt 0 ]; do
    case "$1" in
    -o | --output)
        [ $# -ge 2 ] || usage_error "$1 needs a file name (try --help)"
        output=$2
        shift 2
        ;;
    --output=*)
        output=${1#--output=}
        shift
        ;;
    --no-timestamp)
        timestamp=no
        shift
        ;;
    -h | --help)
        awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
        exit 0
        ;;
    --)
        shift
        break
        ;;
    -*)
        usage_error "unknown option: $1 (try --help)"
        ;;
    *)
        [ -z "$input" ] || usage_error "only one file can be signed at a time (try --help)"
        input=$1
        shift
        ;;
    esac
done
if [ $# -gt 1 ] || { [ $# -eq 1 ] && [ -n "$input" ]; }; then
    usage_error "only one file can be signed at a time (try --help)"
fi
[ $# -eq 0 ] || input=$1

repo=$(cd "$(dirname "$0")/.." && pwd)
[ -n "$input" ] || input="$repo/build/windows/dist/vek-system-service-setup.exe"
[ -n "$output" ] || output=$input

osslsigncode=${OSSLSIGNCODE:-osslsigncode}
command -v "$osslsigncode" >/dev/null 2>&1 ||
    usage_error "$osslsigncode not found (on Debian: apt-get install osslsigncode)"

[ -f "$input" ] || usage_error "no such file to sign: $input"
output_dir=$(dirname "$output")
[ -d "$output_dir" ] || usage_error "no such folder for the signed file: $output_dir"

# Which key: a PFX or a token, never both, never half of one.
pfx=${VEK_SIGN_PFX:-}
module=${VEK_SIGN_PKCS11_MODULE:-}
key=${VEK_SIGN_PKCS11_KEY:-}
certs=${VEK_SIGN_CERTS:-}
if [ -n "$pfx" ]; then
    if [ -n "$module$key$certs" ]; then
        usage_error "both VEK_SIGN_PFX and a PKCS#11 token (VEK_SIGN_PKCS11_MODULE, VEK_SIGN_PKCS11_KEY, VEK_SIGN_CERTS) are set: set one of the two"
    fi
    [ -f "$pfx" ] || usage_error "VEK_SIGN_PFX: no such file: $pfx"
    # An empty password is a password too, but an unset one is a mistake:
    # osslsigncode would try the PFX without one and fail obscurely.
    [ -n "${VEK_SIGN_PFX_PASSWORD+set}" ] ||
        usage_error "VEK_SIGN_PFX is set but VEK_SIGN_PFX_PASSWORD is not (set it empty for a PFX without a password)"
    secret=$VEK_SIGN_PFX_PASSWORD
    have_secret=yes
    unset VEK_SIGN_PFX_PASSWORD
elif [ -n "$module$key$certs" ]; then
    missing=
    [ -n "$module" ] || missing="$missing VEK_SIGN_PKCS11_MODULE"
    [ -n "$key" ] || missing="$missing VEK_SIGN_PKCS11_KEY"
    [ -n "$certs" ] || missing="$missing VEK_SIGN_CERTS"
    [ -z "$missing" ] || usage_error "signing with a PKCS#11 token needs also:$missing"
    [ -f "$module" ] || usage_error "VEK_SIGN_PKCS11_MODULE: no such file: $module"
    [ -f "$certs" ] || usage_error "VEK_SIGN_CERTS: no such file: $certs"
    # The URI is passed to osslsigncode as an argument, so a PIN in it would
    # be on a command line; and it is not repeated here, PIN and all.
    case "$key" in
    *pin-value=*) usage_error "VEK_SIGN_PKCS11_KEY holds a PIN (pin-value=), which would be on osslsigncode's command line for any user to read: remove it from the URI and give the PIN in VEK_SIGN_PKCS11_PIN" ;;
    pkcs11:*) ;;
    *) usage_error "VEK_SIGN_PKCS11_KEY is not a PKCS#11 URI (pkcs11:...): $key" ;;
    esac
    engine=${VEK_SIGN_PKCS11_ENGINE:-}
    [ -z "$engine" ] || [ -f "$engine" ] || usage_error "VEK_SIGN_PKCS11_ENGINE: no such file: $engine"
    if [ -n "${VEK_SIGN_PKCS11_PIN+set}" ]; then
        secret=$VEK_SIGN_PKCS11_PIN
        have_secret=yes
        unset VEK_SIGN_PKCS11_PIN
    else
        have_secret=no
    fi
else
    usage_error "no signing key: set VEK_SIGN_PFX and VEK_SIGN_PFX_PASSWORD, or VEK_SIGN_PKCS11_MODULE, VEK_SIGN_PKCS11_KEY and VEK_SIGN_CERTS (try --help)"
fi

expect_subject=${VEK_SIGN_EXPECT_SUBJECT:-}
expect_sha256=
if [ -n "${VEK_SIGN_EXPECT_SHA256:-}" ]; then
    # openssl writes a fingerprint in pairs joined by colons, Windows in
    # pairs joined by spaces; osslsigncode takes plain hex digits.
    expect_sha256=$(printf '%s' "$VEK_SIGN_EXPECT_SHA256" | tr -d ': ' | tr abcdef ABCDEF)
    case "$expect_sha256" in
    *[!0-9A-F]*) expect_sha256= ;;
    esac
    [ ${#expect_sha256} -eq 64 ] ||
        usage_error "VEK_SIGN_EXPECT_SHA256 is not a SHA-256 fingerprint (64 hex digits): $VEK_SIGN_EXPECT_SHA256"
fi

timestamp_urls=${VEK_SIGN_TIMESTAMP_URL:-}
if [ "$timestamp" = yes ] && [ -z "$timestamp_urls" ]; then
    usage_error "no time-stamp server: set VEK_SIGN_TIMESTAMP_URL (a release must be time-stamped; --no-timestamp is for tests)"
fi
ca_file=${VEK_SIGN_CA_FILE:-/etc/ssl/certs/ca-certificates.crt}
tsa_ca_file=${VEK_SIGN_TSA_CA_FILE:-$ca_file}
[ -f "$ca_file" ] || usage_error "no such file of trusted roots: $ca_file (VEK_SIGN_CA_FILE)"
if [ "$timestamp" = yes ]; then
    [ -f "$tsa_ca_file" ] || usage_error "no such file of trusted time-stamp roots: $tsa_ca_file (VEK_SIGN_TSA_CA_FILE)"
fi

# The SHA-256 of file $1 in lower-case hex, or a failure: never an empty or
# partial sum, whatever sha256sum did.
sha256_of() {
    _sum=$(sha256sum <"$1") || return 1
    _sum=${_sum%% *}
    case "$_sum" in
    *[!0-9a-f]*) return 1 ;;
    esac
    [ ${#_sum} -eq 64 ] || return 1
    printf '%s\n' "$_sum"
}

# Reads SHA256SUMS file $1 for the lines that list the name $2 ("SUM  NAME",
# or "SUM *NAME" as sha256sum --binary writes it), and prints, as $3 asks:
#   sums     their sums, in lower case
#   others   all the other lines, as they are
#   rewrite  the whole file, with sum $4 in those lines
sums_lines() {
    name=$2 want=$3 sum=${4:-} awk '
        function lists(line) {
            return substr(line, 1, 64) ~ /^[0-9A-Fa-f]+$/ && substr(line, 65, 1) == " " &&
                (substr(line, 66, 1) == " " || substr(line, 66, 1) == "*") &&
                substr(line, 67) == ENVIRON["name"]
        }
        ENVIRON["want"] == "sums" { if (lists($0)) print tolower(substr($0, 1, 64)); next }
        ENVIRON["want"] == "others" { if (!lists($0)) print; next }
        lists($0) { print ENVIRON["sum"] substr($0, 65); next }
        { print }' "$1"
}

# Before anything is signed: a file that no longer matches its sums changed
# after the build, and signing it (then writing its new sum) would hide that.
# Both sums that speak for it count: the one beside FILE, and with --output
# the line beside the output that this run would rewrite, which must describe
# the file that replaces it, not another build.
input_sum=$(sha256_of "$input") || {
    echo "sign.sh: could not compute the SHA-256 of $input; nothing signed" >&2
    exit 1
}
sums="$output_dir/SHA256SUMS"
name=$(basename "$output")
check_listed() { # $1: a SHA256SUMS, $2: the name to look up in it; sets listed
    listed=
    [ -f "$1" ] || return 0
    listed=$(sums_lines "$1" "$2" sums) || {
        echo "sign.sh: could not read $1; nothing signed" >&2
        exit 1
    }
    for sum in $listed; do
        if [ "$sum" != "$input_sum" ]; then
            echo "sign.sh: $1 lists $2 with SHA-256 $sum, but $input has $input_sum: it changed after its sums were written, or they belong to another build; nothing signed, nothing changed" >&2
            exit 1
        fi
    done
}
check_listed "$(dirname "$input")/SHA256SUMS" "$(basename "$input")"
check_listed "$sums" "$name"
listed_for_output=$listed

# One private folder beside the output, so that moving what was made there
# into place is a rename on the same file system and the output is never
# half written.
staging=
cleanup() {
    [ -z "$staging" ] || rm -rf "$staging"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
staging=$(mktemp -d "$output_dir/.vek-sign.XXXXXX")
signed="$staging/$name"

# The signing command, built up in the positional parameters (POSIX sh has no
# arrays).
set -- sign -h sha256 -n "$description"
[ -z "${VEK_SIGN_URL:-}" ] || set -- "$@" -i "$VEK_SIGN_URL"
if [ -n "$pfx" ]; then
    set -- "$@" -pkcs12 "$pfx"
else
    [ -z "$engine" ] || set -- "$@" -pkcs11engine "$engine"
    set -- "$@" -pkcs11module "$module" -certs "$certs" -key "$key"
fi
[ "$have_secret" = no ] || set -- "$@" -readpass /dev/stdin
if [ "$timestamp" = yes ]; then
    # Split at spaces only: a '?' in a URL is not a file name pattern.
    set -f
    for url in $timestamp_urls; do
        set -- "$@" -ts "$url"
    done
    set +f
fi
set -- "$@" -in "$input" -out "$signed"

echo "Signing $input (SHA-256) into $output"
signing=ok
# The secret goes through a pipe: printf is a shell builtin, so it is on no
# command line on the way either. osslsigncode refuses to read nothing, and
# drops the line end after what it reads: the newline is what lets an empty
# password through, and is not part of the password.
if [ "$have_secret" = yes ]; then
    printf '%s\n' "$secret" | "$osslsigncode" "$@" || signing=failed
else
    "$osslsigncode" "$@" || signing=failed
fi
if [ "$signing" = failed ]; then
    echo "sign.sh: signing failed; $output is unchanged" >&2
    exit 1
fi
# Keep the mode the program had (osslsigncode writes a new file).
chmod --reference="$input" "$signed" 2>/dev/null || true

# osslsigncode verify looks at the time-stamp only when there is one, and
# then still exits 0 when the time-stamp's own signature does not verify: it
# only prints so. Hence the look at its report below.
set -- verify -CAfile "$ca_file"
[ "$timestamp" = no ] || set -- "$@" -TSA-CAfile "$tsa_ca_file"
[ -z "$expect_sha256" ] || set -- "$@" -require-leaf-hash "sha256:$expect_sha256"
set -- "$@" -in "$signed"
echo "Verifying the signed copy (trusted roots: $ca_file)"
if ! "$osslsigncode" "$@" >"$staging/verify.log" 2>&1; then
    cat "$staging/verify.log" >&2
    if grep -q '^Leaf hash match: failed' "$staging/verify.log"; then
        echo "sign.sh: the signing certificate is not the one VEK_SIGN_EXPECT_SHA256 names; $output is unchanged" >&2
    else
        echo "sign.sh: the signed copy does not verify; $output is unchanged" >&2
    fi
    exit 1
fi
cat "$staging/verify.log"
if [ "$timestamp" = yes ] &&
    ! grep -q '^Timestamp Server Signature verification: ok' "$staging/verify.log"; then
    echo "sign.sh: the time-stamp does not verify (trusted roots: $tsa_ca_file); $output is unchanged" >&2
    exit 1
fi
if [ -n "$expect_sha256" ] && ! grep -q '^Leaf hash match: ok' "$staging/verify.log"; then
    echo "sign.sh: osslsigncode did not report on the signing certificate's fingerprint; $output is unchanged" >&2
    exit 1
fi
if [ -n "$expect_subject" ]; then
    # The subject of each signature's signer (the program has one signature:
    # signing replaced any other), compared whole, not as a part.
    signer=$(awk '/^Signer.s certificate:/ { want = 1; next }
                  want && /^[ \t]*Subject: / { sub(/^[ \t]*Subject: /, ""); print; want = 0 }' \
        "$staging/verify.log")
    if [ "$signer" != "$expect_subject" ]; then
        echo "sign.sh: signed by \"$signer\", not by \"$expect_subject\" (VEK_SIGN_EXPECT_SUBJECT); $output is unchanged" >&2
        exit 1
    fi
fi

# The SHA256SUMS beside the output (dist/ has one), when it lists the output,
# gets the signed file's sum, since that is the file that ships: the whole new
# file is made and checked here first, with the old one's mode.
new_sums=
if [ -n "$listed_for_output" ]; then
    new_sums="$staging/SHA256SUMS"
    signed_sum=$(sha256_of "$signed") || {
        echo "sign.sh: could not compute the SHA-256 of the signed copy; $output is unchanged" >&2
        exit 1
    }
    cp -p "$sums" "$new_sums"
    sums_lines "$sums" "$name" rewrite "$signed_sum" >"$new_sums"
    sums_lines "$sums" "$name" others >"$staging/others.old"
    sums_lines "$new_sums" "$name" others >"$staging/others.new"
    if ! cmp -s "$staging/others.old" "$staging/others.new" ||
        [ "$(sums_lines "$new_sums" "$name" sums | sort -u)" != "$signed_sum" ]; then
        echo "sign.sh: could not write the new $sums; $output is unchanged" >&2
        exit 1
    fi
    # Kept until both renames are done, to be put back if the second fails.
    if [ -e "$output" ]; then
        ln "$output" "$staging/previous" 2>/dev/null || cp -p "$output" "$staging/previous"
    fi
fi

# The two renames, with HUP, INT and TERM ignored (not merely caught, so that
# mv ignores them too) until both are done: the program and its sum change
# together or not at all.
trap '' HUP INT TERM
if ! mv -f "$signed" "$output"; then
    echo "sign.sh: could not move the signed copy to $output; it is unchanged" >&2
    exit 1
fi
if [ -n "$new_sums" ] && ! mv -f "$new_sums" "$sums"; then
    if [ -e "$staging/previous" ]; then
        mv -f "$staging/previous" "$output"
    else
        rm -f "$output"
    fi
    echo "sign.sh: could not update $sums; $output was put back as it was" >&2
    exit 1
fi
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
echo "Signed and verified: $output"
[ -z "$new_sums" ] || echo "Updated its sum in $sums"
