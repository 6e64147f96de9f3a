#!/bin/sh
# Signs the shipped installer with Authenticode (SHA-256, RFC 3161
# time-stamp) using Debian's osslsigncode, then verifies the signed file the
# way Windows judges it: the digest of the file, a chain to a trusted root and
# the code-signing purpose of the certificate, and the time-stamp.
#
#   scripts/sign.sh [--output FILE] [--no-timestamp] [FILE]
#
#   FILE            the program to sign; by default
#                   build/windows/dist/vek-system-service-setup.exe
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
#     VEK_SIGN_PKCS11_KEY     PKCS#11 URI of the private key (pkcs11:...)
#     VEK_SIGN_CERTS          PEM file: the signing certificate and its
#                             intermediate certificates
#     VEK_SIGN_PKCS11_PIN     the user PIN (optional)
#     VEK_SIGN_PKCS11_ENGINE  OpenSSL's pkcs11 engine (.so), only where
#                             osslsigncode does not find it by itself (with
#                             Debian's it does, and Debian 12's osslsigncode
#                             fails when given the engine's path)
#   osslsigncode reaches the token through OpenSSL's pkcs11 engine: on Debian,
#   apt-get install libengine-pkcs11-openssl.
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
# The password or PIN reaches osslsigncode in a file of mode 600 in a private
# temporary folder, removed on exit, never on a command line (which any user
# can read in ps). The signed copy is written beside the output and moved into
# place only after it has been verified: on any failure the output is left as
# it was. A SHA256SUMS beside the output that lists it is brought up to date. Exit code 0: signed and verified; 1: signing or verification failed;
# 2: wrong usage or configuration.
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
    case "$key" in
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

# Two private folders: one for the secret, outside the build tree, and one
# beside the output, so that moving the verified copy into place is a rename
# on the same file system and the output is never half written.
secrets=
staging=
cleanup() {
    [ -z "$secrets" ] || rm -rf "$secrets"
    [ -z "$staging" ] || rm -rf "$staging"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
secrets=$(mktemp -d "${TMPDIR:-/tmp}/vek-sign.XXXXXX")
staging=$(mktemp -d "$output_dir/.vek-sign.XXXXXX")
signed="$staging/$(basename "$output")"

# The signing command, built up in the positional parameters (POSIX sh has no
# arrays). printf is a shell builtin, so the secret appears in no process's
# command line on its way into the file either.
set -- sign -h sha256 -n "$description"
[ -z "${VEK_SIGN_URL:-}" ] || set -- "$@" -i "$VEK_SIGN_URL"
if [ -n "$pfx" ]; then
    set -- "$@" -pkcs12 "$pfx"
else
    [ -z "$engine" ] || set -- "$@" -pkcs11engine "$engine"
    set -- "$@" -pkcs11module "$module" -certs "$certs" -key "$key"
fi
if [ "$have_secret" = yes ]; then
    (umask 077 && printf '%s' "$secret" >"$secrets/password")
    set -- "$@" -readpass "$secrets/password"
fi
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
if ! "$osslsigncode" "$@"; then
    echo "sign.sh: signing failed; $output is unchanged" >&2
    exit 1
fi
rm -f "$secrets/password"
# Keep the mode the program had (osslsigncode writes a new file).
chmod --reference="$input" "$signed" 2>/dev/null || true

# osslsigncode verify looks at the time-stamp only when there is one, and
# then still exits 0 when the time-stamp's own signature does not verify: it
# only prints so. Hence the look at its report below.
set -- verify -CAfile "$ca_file"
[ "$timestamp" = no ] || set -- "$@" -TSA-CAfile "$tsa_ca_file"
set -- "$@" -in "$signed"
echo "Verifying the signed copy (trusted roots: $ca_file)"
if ! "$osslsigncode" "$@" >"$staging/verify.log" 2>&1; then
    cat "$staging/verify.log" >&2
    echo "sign.sh: the signed copy does not verify; $output is unchanged" >&2
    exit 1
fi
cat "$staging/verify.log"
if [ "$timestamp" = yes ] &&
    ! grep -q '^Timestamp Server Signature verification: ok' "$staging/verify.log"; then
    echo "sign.sh: the time-stamp does not verify (trusted roots: $tsa_ca_file); $output is unchanged" >&2
    exit 1
fi

mv -f "$signed" "$output"
echo "Signed and verified: $output"

# A SHA256SUMS beside the output (dist/ has one) that lists it gets its new
# sum: the signed file is the one that ships.
sums="$output_dir/SHA256SUMS"
name=$(basename "$output")
if [ -f "$sums" ] && grep -q "^[0-9a-f]\{64\}  $name\$" "$sums"; then
    hash=$(sha256sum <"$output" | cut -d' ' -f1)
    awk -v name="$name" -v hash="$hash" \
        'substr($0, 67) == name { print hash "  " name; next } { print }' "$sums" >"$staging/SHA256SUMS"
    mv -f "$staging/SHA256SUMS" "$sums"
    echo "Updated its sum in $sums"
fi
