#!/usr/bin/env bash
# The signing round trip, offline: a throw-away CA and code-signing
# certificate, scripts/sign.sh signing a copy of the shipped installer with
# them (no time-stamp: there is no time-stamp server here), osslsigncode
# accepting the signed copy and rejecting it once one byte of its code is
# changed, and the signed installer still doing its job under Wine.
#
#   signing_round_trip.sh INSTALLER SERVICE REPO SCRATCH
#
#   INSTALLER  the shipped installer (dist/vek-system-service-setup.exe)
#   SERVICE    the sample service program, vek-system-service.exe
#   REPO       the repository root, for scripts/sign.sh and cmake/wine-run.sh
#   SCRATCH    a folder of the test's own: emptied first, removed at the end
#
# Runs the installer in the Wine prefix named by WINEPREFIX (the tests'
# fixture prepares one) and removes the service registration again. Honours
# OSSLSIGNCODE, like scripts/sign.sh, to try another osslsigncode.
set -euo pipefail

if [ $# -ne 4 ]; then
    sed -n '8,13p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
installer=$1
service_program=$2
repo=$3
scratch=$4

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() {
    printf '=== %s\n' "$*"
}

[ -f "$installer" ] || fail "no installer at $installer"
[ -f "$service_program" ] || fail "no sample service at $service_program"
[ -x "$repo/scripts/sign.sh" ] || fail "no scripts/sign.sh under $repo"
[ -n "${WINEPREFIX:-}" ] || fail "WINEPREFIX must name a prepared Wine prefix"
case "$scratch" in
"" | / | "$repo" | "$repo/") fail "refusing to use $scratch as the scratch folder" ;;
esac
osslsigncode=${OSSLSIGNCODE:-osslsigncode}
command -v "$osslsigncode" >/dev/null || fail "$osslsigncode not found (apt-get install osslsigncode)"
command -v openssl >/dev/null || fail "openssl not found (apt-get install openssl)"

# Whatever the caller's environment says about signing must not leak in:
# this test signs with its own throw-away key only.
while read -r name; do
    unset "$name"
done < <(compgen -v VEK_SIGN_ || true)

wine_run="$repo/cmake/wine-run.sh"
service=vek-system-service
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"

registered() {
    "$wine_run" reg query "$service_key" >/dev/null 2>&1
}

# Deletes first, then stops. Wine, like Windows, marks a running service for
# deletion and removes it the moment it stops. The other order leaves a gap:
# once the service has stopped and no program runs in the prefix, Wine shuts
# the prefix's services.exe down, the next wine command starts it again, and
# it starts the automatic-start service again with it. Measured here: running
# again two seconds after a stop, and still registered.
remove_registration() {
    local _
    for _ in $(seq 30); do
        registered || return 0
        "$wine_run" sc delete "$service" >/dev/null 2>&1 || true
        "$wine_run" sc stop "$service" >/dev/null 2>&1 || true
        sleep 1
    done
    ! registered
}

installed=no
cleanup() {
    local status=$?
    if [ "$installed" = yes ] && ! remove_registration; then
        echo "FAIL: could not remove the $service registration from $WINEPREFIX" >&2
        status=1
    fi
    rm -rf "$scratch"
    exit "$status"
}
trap cleanup EXIT

rm -rf "$scratch"
mkdir -p "$scratch/pki" "$scratch/unsigned" "$scratch/signed" "$scratch/run"
pki=$scratch/pki
name=$(basename "$installer")
cp "$installer" "$scratch/unsigned/$name"
unsigned=$scratch/unsigned/$name
signed=$scratch/signed/$name

step "a throw-away CA and code-signing certificate"
make_ca() { # $1: file name stem, $2: common name
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 7 \
        -subj "/CN=$2" -keyout "$pki/$1.key" -out "$pki/$1.pem" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>"$pki/openssl.log" ||
        { cat "$pki/openssl.log" >&2; fail "openssl could not make the CA $2"; }
}
make_ca ca "Vek Test Root CA"
make_ca other-ca "Some Other Test Root CA"
openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/CN=Vek Test Code Signing/O=Vek" \
    -keyout "$pki/signer.key" -out "$pki/signer.csr" 2>"$pki/openssl.log" ||
    { cat "$pki/openssl.log" >&2; fail "openssl could not make the signing key"; }
cat >"$pki/signer.ext" <<'EOF'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
EOF
openssl x509 -req -sha256 -days 7 -in "$pki/signer.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" \
    -CAcreateserial -CAserial "$pki/ca.srl" -extfile "$pki/signer.ext" \
    -out "$pki/signer.pem" 2>"$pki/openssl.log" ||
    { cat "$pki/openssl.log" >&2; fail "openssl could not issue the code-signing certificate"; }
# A password with a space in it, and never on a command line.
VEK_TEST_PFX_PASSWORD="pfx $(openssl rand -hex 12)"
export VEK_TEST_PFX_PASSWORD
openssl pkcs12 -export -inkey "$pki/signer.key" -in "$pki/signer.pem" -certfile "$pki/ca.pem" \
    -name "Vek Test Code Signing" -passout env:VEK_TEST_PFX_PASSWORD \
    -out "$pki/signer.pfx" 2>"$pki/openssl.log" ||
    { cat "$pki/openssl.log" >&2; fail "openssl could not export the PFX"; }

step "scripts/sign.sh signs a copy of $name"
if ! VEK_SIGN_PFX="$pki/signer.pfx" VEK_SIGN_PFX_PASSWORD="$VEK_TEST_PFX_PASSWORD" \
    VEK_SIGN_CA_FILE="$pki/ca.pem" \
    "$repo/scripts/sign.sh" --no-timestamp --output "$signed" "$unsigned" >"$scratch/sign.log" 2>&1; then
    cat "$scratch/sign.log" >&2
    fail "scripts/sign.sh failed"
fi
unset VEK_TEST_PFX_PASSWORD
[ -f "$signed" ] || fail "scripts/sign.sh succeeded but wrote no $signed"
cmp -s "$installer" "$unsigned" || fail "scripts/sign.sh changed its input $unsigned"
leftovers=$(find "$scratch/signed" -mindepth 1 ! -path "$signed")
[ -z "$leftovers" ] || fail "scripts/sign.sh left files behind: $leftovers"

step "osslsigncode verify accepts the signed copy with the test CA"
if ! "$osslsigncode" verify -CAfile "$pki/ca.pem" -in "$signed" >"$scratch/verify.log" 2>&1; then
    cat "$scratch/verify.log" >&2
    fail "osslsigncode verify rejects the signed copy"
fi
grep -Eq '^Message digest algorithm *: SHA256' "$scratch/verify.log" ||
    { cat "$scratch/verify.log" >&2; fail "the signature's file digest is not SHA-256"; }
grep -q 'Text description: Vek System Service installer' "$scratch/verify.log" ||
    { cat "$scratch/verify.log" >&2; fail "the signature lacks the program description"; }

step "removing the signature gives back the built file, byte for byte"
# How anyone ties a signed release to a rebuild from the source.
"$osslsigncode" remove-signature -in "$signed" -out "$scratch/unsigned-again.exe" \
    >"$scratch/remove.log" 2>&1 || { cat "$scratch/remove.log" >&2; fail "remove-signature failed"; }
cmp -s "$installer" "$scratch/unsigned-again.exe" ||
    fail "the signed copy without its signature differs from the built installer"

step "osslsigncode verify rejects it against another CA"
if "$osslsigncode" verify -CAfile "$pki/other-ca.pem" -in "$signed" >"$scratch/verify-other.log" 2>&1; then
    cat "$scratch/verify-other.log" >&2
    fail "osslsigncode verify accepts a signature that does not chain to the trusted CA"
fi

step "osslsigncode verify rejects it once one byte of its code is changed"
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
pe=$(u32 "$signed" 60)
[ "$(od -An -c -j "$pe" -N2 "$signed" | tr -d ' ')" = PE ] || fail "$signed is not a PE file"
sections=$(u16 "$signed" $((pe + 6)))
optional_size=$(u16 "$signed" $((pe + 20)))
[ "$(u16 "$signed" $((pe + 24)))" = 523 ] || fail "$signed is not a 64-bit (PE32+) program"
# The certificate table (the signature) is data directory 4 of a PE32+
# optional header; its "address" is a file offset.
certificate_table=$(u32 "$signed" $((pe + 24 + 144)))
[ "$certificate_table" -gt 0 ] || fail "the signed copy has no certificate table"
code_offset=
for ((i = 0; i < sections; i++)); do
    header=$((pe + 24 + optional_size + 40 * i))
    characteristics=$(u32 "$signed" $((header + 36)))
    if (((characteristics & 0x20) != 0)); then # IMAGE_SCN_CNT_CODE
        raw_size=$(u32 "$signed" $((header + 16)))
        raw_offset=$(u32 "$signed" $((header + 20)))
        code_offset=$((raw_offset + raw_size / 2))
        break
    fi
done
[ -n "$code_offset" ] || fail "no code section found in $signed"
((code_offset < certificate_table)) || fail "the code section lies inside the signature?"
tampered=$scratch/tampered.exe
cp "$signed" "$tampered"
old_byte=$(od -An -tu1 -j "$code_offset" -N1 "$tampered" | tr -d ' ')
# shellcheck disable=SC2059 # the format is the octal escape of the new byte
printf "\\$(printf '%03o' $((old_byte ^ 0xff)))" |
    dd of="$tampered" bs=1 seek="$code_offset" count=1 conv=notrunc status=none
[ "$(cmp -l "$signed" "$tampered" | wc -l)" -eq 1 ] || fail "changing one byte at $code_offset did not work"
if "$osslsigncode" verify -CAfile "$pki/ca.pem" -in "$tampered" >"$scratch/verify-tampered.log" 2>&1; then
    cat "$scratch/verify-tampered.log" >&2
    fail "osslsigncode verify accepts the copy whose code was changed at byte $code_offset"
fi
# Rejected for the right reason: the file's digest, not e.g. an unreadable file.
grep -q 'MISMATCH' "$scratch/verify-tampered.log" ||
    { cat "$scratch/verify-tampered.log" >&2; fail "the changed copy was rejected, but not for its digest"; }

step "the signed installer installs the service under Wine"
registered && fail "$service is already registered in $WINEPREFIX (left over by another test?)"
run=$scratch/run
cp "$signed" "$run/$name"
cp "$service_program" "$run/$service.exe"
installed=yes
set +e
"$wine_run" "$run/$name" >"$scratch/stdout" 2>"$scratch/stderr"
code=$?
set -e
printf 'Installing service...\nCreating service...\nService installed successfully.\n' >"$scratch/expected"
if [ "$code" -ne 0 ] || ! cmp -s "$scratch/expected" "$scratch/stdout" || [ -s "$scratch/stderr" ]; then
    echo "exit code: $code (expected 0)" >&2
    echo "standard output:" >&2
    cat -A "$scratch/stdout" >&2
    echo "standard error:" >&2
    cat -A "$scratch/stderr" >&2
    fail "the signed installer did not install the service as expected"
fi
image_path="Z:${run//\//\\}\\$service.exe"
"$wine_run" reg query "$service_key" /v ImagePath >"$scratch/registration" 2>&1 ||
    fail "the installer reported success but $service is not registered"
grep -qiF "$image_path" "$scratch/registration" ||
    { cat "$scratch/registration" >&2; fail "$service is registered, but not with $image_path"; }

step "removing the registration again"
remove_registration || fail "$service is still registered in $WINEPREFIX"
installed=no

echo "signing round trip: all checks passed"
