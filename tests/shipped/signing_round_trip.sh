#!/usr/bin/env bash
# The signing round trip, offline: a throw-away CA, code-signing certificate
# and RFC 3161 time-stamp server (on 127.0.0.1), scripts/sign.sh signing
# copies of the shipped installer with them, osslsigncode accepting the signed
# copy and rejecting it once one byte of its code is changed, and the signed
# installer still doing its job under Wine; and the Windows Installer package
# signed the same way. On the way, scripts/sign.sh must
# refuse, changing nothing, what a release must not get through: a signature
# that does not chain to the trusted CA, another signer than the expected one,
# a file changed after its SHA256SUMS were written, a PIN in a PKCS#11 URI and
# a time-stamp from an untrusted server; and the password must reach
# osslsigncode on no command line and in no file.
#
#   signing_round_trip.sh INSTALLER SERVICE PACKAGE REPO SCRATCH
#
#   INSTALLER  the shipped installer (dist/vek-system-service-setup.exe)
#   SERVICE    the sample service program, vek-system-service.exe
#   PACKAGE    the shipped Windows Installer package (dist/*.msi)
#   REPO       the repository root, for scripts/sign.sh and cmake/wine-run.sh
#   SCRATCH    a folder of the test's own: emptied first, removed at the end
#
# Runs the installer in the Wine prefix named by WINEPREFIX (the tests'
# fixture prepares one) and removes the service registration again. Honours
# OSSLSIGNCODE, like scripts/sign.sh, to try another osslsigncode.
set -euo pipefail

if [ $# -ne 5 ]; then
    sed -n '14,20p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
installer=$1
service_program=$2
package=$3
repo=$4
scratch=$5

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() {
    printf '=== %s\n' "$*"
}

[ -f "$installer" ] || fail "no installer at $installer"
[ -f "$service_program" ] || fail "no sample service at $service_program"
[ -f "$package" ] || fail "no package at $package"
[ -x "$repo/scripts/sign.sh" ] || fail "no scripts/sign.sh under $repo"
[ -n "${WINEPREFIX:-}" ] || fail "WINEPREFIX must name a prepared Wine prefix"
case "$scratch" in
"" | / | "$repo" | "$repo/") fail "refusing to use $scratch as the scratch folder" ;;
esac
osslsigncode=${OSSLSIGNCODE:-osslsigncode}
command -v "$osslsigncode" >/dev/null || fail "$osslsigncode not found (apt-get install osslsigncode)"
command -v openssl >/dev/null || fail "openssl not found (apt-get install openssl)"
command -v python3 >/dev/null || fail "python3 not found (apt-get install python3)"

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
tsa_pid=
cleanup() {
    local status=$?
    [ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true
    if [ "$installed" = yes ] && ! remove_registration; then
        echo "FAIL: could not remove the $service registration from $WINEPREFIX" >&2
        status=1
    fi
    rm -rf "$scratch"
    exit "$status"
}
trap cleanup EXIT

rm -rf "$scratch"
mkdir -p "$scratch/pki" "$scratch/unsigned" "$scratch/signed" "$scratch/run" "$scratch/release" \
    "$scratch/elsewhere" "$scratch/no-password" "$scratch/tmp" "$scratch/bin"
pki=$scratch/pki
name=$(basename "$installer")
cp "$installer" "$scratch/unsigned/$name"
unsigned=$scratch/unsigned/$name
signed=$scratch/signed/$name

step "a throw-away CA, code-signing certificate and time-stamping certificate"
make_ca() { # $1: file name stem, $2: common name
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 7 \
        -subj "/CN=$2" -keyout "$pki/$1.key" -out "$pki/$1.pem" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>"$pki/openssl.log" ||
        { cat "$pki/openssl.log" >&2; fail "openssl could not make the CA $2"; }
}
make_ca ca "Vek Test Root CA"
make_ca other-ca "Some Other Test Root CA"
issue() { # $1: file name stem, $2: subject, $3: extensions
    printf '%s\n' "$3" >"$pki/$1.ext"
    if ! openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "$2" \
        -keyout "$pki/$1.key" -out "$pki/$1.csr" 2>"$pki/openssl.log" ||
        ! openssl x509 -req -sha256 -days 7 -in "$pki/$1.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" \
            -CAcreateserial -CAserial "$pki/ca.srl" -extfile "$pki/$1.ext" \
            -out "$pki/$1.pem" 2>"$pki/openssl.log"; then
        cat "$pki/openssl.log" >&2
        fail "openssl could not issue the certificate $2"
    fi
}
issue signer "/CN=Vek Test Code Signing/O=Vek" \
    "basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning"
issue tsa "/CN=Vek Test Time-Stamping" \
    "basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=critical,timeStamping"
signer_subject="/CN=Vek Test Code Signing/O=Vek"
fingerprint() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/^.*=//'; }
signer_sha256=$(fingerprint "$pki/signer.pem")
# A password with a space in it, and never on a command line; and the same
# key in a PFX whose password is empty.
pfx_password="pfx $(openssl rand -hex 12)"
export_pfx() { # $1: file name stem, $2: password
    VEK_TEST_PFX_PASSWORD=$2 openssl pkcs12 -export -inkey "$pki/signer.key" -in "$pki/signer.pem" \
        -certfile "$pki/ca.pem" -name "Vek Test Code Signing" -passout env:VEK_TEST_PFX_PASSWORD \
        -out "$pki/$1.pfx" 2>"$pki/openssl.log" ||
        { cat "$pki/openssl.log" >&2; fail "openssl could not export the PFX $1"; }
}
export_pfx signer "$pfx_password"
export_pfx signer-no-password ""

step "a time-stamp server on 127.0.0.1, and an osslsigncode that notes how it is run"
cat >"$pki/tsa.cnf" <<EOF
[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = $pki/tsa.serial
signer_cert = $pki/tsa.pem
signer_key = $pki/tsa.key
certs = $pki/ca.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
ess_cert_id_alg = sha256
EOF
echo 01 >"$pki/tsa.serial"
cat >"$scratch/bin/tsa.py" <<'EOF'
import http.server, os, subprocess, sys
config, port_file = sys.argv[1:]
class TimeStamper(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile",
                                "/dev/stdin", "-out", "/dev/stdout"], input=query, capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout)))
        self.end_headers()
        self.wfile.write(reply.stdout)
server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamper)
with open(port_file + ".new", "w") as f:
    f.write(str(server.server_port))
os.rename(port_file + ".new", port_file)
server.serve_forever()
EOF
python3 "$scratch/bin/tsa.py" "$pki/tsa.cnf" "$scratch/tsa.port" 2>"$scratch/tsa.log" &
tsa_pid=$!
for _ in $(seq 100); do
    [ -s "$scratch/tsa.port" ] && break
    sleep 0.1
done
[ -s "$scratch/tsa.port" ] || { cat "$scratch/tsa.log" >&2; fail "the time-stamp server did not start"; }
tsa_url=http://127.0.0.1:$(cat "$scratch/tsa.port")/

# While osslsigncode runs, any file in the scratch folder (TMPDIR included)
# that holds the password, and the command line it was given, go on record.
cat >"$scratch/bin/osslsigncode" <<'EOF'
#!/bin/sh
if [ -n "$VEK_TEST_SECRET" ]; then
    found=$(grep -rlF -e "$VEK_TEST_SECRET" "$VEK_TEST_SCRATCH") || true
    [ -z "$found" ] || printf '%s\n' "$found" >>"$VEK_TEST_SCRATCH/secret-files"
fi
printf '%s\n' "$*" >>"$VEK_TEST_SCRATCH/osslsigncode-runs"
exec "$VEK_TEST_OSSLSIGNCODE" "$@"
EOF
chmod +x "$scratch/bin/osslsigncode"
real_osslsigncode=$(command -v "$osslsigncode")

# Runs scripts/sign.sh as a release would, with the test's PFX, CA and
# time-stamp server, the NAME=VALUE settings given before "--" and the
# arguments after it; sets status.
sign() {
    status=0
    (
        export VEK_SIGN_PFX="$pki/signer.pfx" VEK_SIGN_PFX_PASSWORD="$pfx_password" \
            VEK_SIGN_CA_FILE="$pki/ca.pem" VEK_SIGN_TIMESTAMP_URL="$tsa_url" \
            OSSLSIGNCODE="$scratch/bin/osslsigncode" TMPDIR="$scratch/tmp" \
            VEK_TEST_SECRET="$pfx_password" VEK_TEST_SCRATCH="$scratch" \
            VEK_TEST_OSSLSIGNCODE="$real_osslsigncode"
        while [ "$1" != -- ]; do
            export "${1?}"
            shift
        done
        shift
        exec "$repo/scripts/sign.sh" "$@"
    ) >"$scratch/sign.log" 2>&1 || status=$?
}
signed_ok() { # $1: what was signed
    [ "$status" -eq 0 ] || { cat "$scratch/sign.log" >&2; fail "scripts/sign.sh did not sign $1 (exit $status)"; }
}
state() { # names, modes and contents of everything in folder $1
    (cd "$1" && find . -mindepth 1 -printf '%p %m\n' | sort && find . -type f -exec sha256sum {} + | sort)
}
refused() { # $1: the exit code expected, $2: a folder that must be as it was ($before), $3: given what
    [ "$status" -eq "$1" ] || { cat "$scratch/sign.log" >&2; fail "scripts/sign.sh exited $status, not $1, $3"; }
    [ "$(state "$2")" = "$before" ] || fail "scripts/sign.sh changed $2, $3"
}
flip_byte() { # $1: file, $2: offset
    local old
    old=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    # shellcheck disable=SC2059 # the format is the octal escape of the new byte
    printf "\\$(printf '%03o' $((old ^ 0xff)))" | dd of="$1" bs=1 seek="$2" count=1 conv=notrunc status=none
}

step "scripts/sign.sh signs a copy of $name"
sign VEK_SIGN_EXPECT_SUBJECT="$signer_subject" VEK_SIGN_EXPECT_SHA256="$signer_sha256" -- \
    --no-timestamp --output "$signed" "$unsigned"
signed_ok "$unsigned"
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
flip_byte "$tampered" "$code_offset"
[ "$(cmp -l "$signed" "$tampered" | wc -l)" -eq 1 ] || fail "changing one byte at $code_offset did not work"
if "$osslsigncode" verify -CAfile "$pki/ca.pem" -in "$tampered" >"$scratch/verify-tampered.log" 2>&1; then
    cat "$scratch/verify-tampered.log" >&2
    fail "osslsigncode verify accepts the copy whose code was changed at byte $code_offset"
fi
# Rejected for the right reason: the file's digest, not e.g. an unreadable file.
grep -q 'MISMATCH' "$scratch/verify-tampered.log" ||
    { cat "$scratch/verify-tampered.log" >&2; fail "the changed copy was rejected, but not for its digest"; }

step "scripts/sign.sh refuses, changing nothing: another CA, another signer, a changed file, a PIN in a URI"
release=$scratch/release
cp "$installer" "$release/$name"
cp "$service_program" "$release/$service.exe"
(cd "$release" && sha256sum "$name" "$service.exe" >SHA256SUMS)
chmod 640 "$release/SHA256SUMS"
# osslsigncode writes no file that exists already: only a new output shows
# whether sign.sh signs into a copy first.
before=$(state "$scratch/elsewhere")
sign VEK_SIGN_CA_FILE="$pki/other-ca.pem" -- --output "$scratch/elsewhere/$name" "$release/$name"
refused 1 "$scratch/elsewhere" "given a CA the signature does not chain to"
before=$(state "$release")
sign VEK_SIGN_EXPECT_SUBJECT="/CN=Vek Test Code Signing" -- "$release/$name"
refused 1 "$release" "expecting a signer whose subject is only the start of the real one"
sign VEK_SIGN_EXPECT_SHA256="$(fingerprint "$pki/tsa.pem")" -- "$release/$name"
refused 1 "$release" "expecting another certificate of the same CA"
pin=$(openssl rand -hex 4)
# The module is a stand-in that must never be loaded.
sign VEK_SIGN_PFX= VEK_SIGN_PKCS11_MODULE="$pki/ca.pem" VEK_SIGN_CERTS="$pki/signer.pem" \
    VEK_SIGN_PKCS11_KEY="pkcs11:object=signer;type=private?pin-value=$pin" -- "$release/$name"
refused 2 "$release" "given a PIN in the PKCS#11 URI"
if ! grep -q VEK_SIGN_PKCS11_PIN "$scratch/sign.log" || grep -qF "$pin" "$scratch/sign.log"; then
    cat "$scratch/sign.log" >&2
    fail "the refusal of a PIN in the URI repeats the PIN or does not say where it goes"
fi
flip_byte "$release/$name" 100
before=$(state "$release")
sign -- "$release/$name"
refused 1 "$release" "given a file changed after its SHA256SUMS were written"
before=$(state "$scratch/elsewhere")
sign -- --output "$scratch/elsewhere/$name" "$release/$name"
refused 1 "$scratch/elsewhere" "given, with --output, a file changed after its SHA256SUMS were written"
cp "$installer" "$release/$name"

step "scripts/sign.sh signs in place with a time-stamp and brings SHA256SUMS up to date"
sign VEK_SIGN_EXPECT_SUBJECT="$signer_subject" VEK_SIGN_EXPECT_SHA256="$signer_sha256" -- "$release/$name"
signed_ok "$release/$name in place"
if ! "$osslsigncode" verify -CAfile "$pki/ca.pem" -TSA-CAfile "$pki/ca.pem" -in "$release/$name" \
    >"$scratch/verify-release.log" 2>&1 ||
    ! grep -q '^Timestamp Server Signature verification: ok' "$scratch/verify-release.log"; then
    cat "$scratch/verify-release.log" >&2
    fail "the copy signed in place lacks a valid signature and time-stamp"
fi
(cd "$release" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files signed in place"
[ "$(stat -c %a "$release/SHA256SUMS")" = 640 ] || fail "SHA256SUMS lost its mode 640"
before=$(state "$release")
sign VEK_SIGN_TSA_CA_FILE="$pki/other-ca.pem" -- "$release/$name"
refused 1 "$release" "given a time-stamp that does not chain to VEK_SIGN_TSA_CA_FILE"

step "scripts/sign.sh signs the Windows Installer package in place, as the program"
package_name=$(basename "$package")
cp "$package" "$release/$package_name"
(cd "$release" && sha256sum "$package_name" >>SHA256SUMS)
sign VEK_SIGN_EXPECT_SUBJECT="$signer_subject" VEK_SIGN_EXPECT_SHA256="$signer_sha256" -- \
    "$release/$package_name"
signed_ok "$release/$package_name in place"
"$osslsigncode" verify -CAfile "$pki/ca.pem" -TSA-CAfile "$pki/ca.pem" -in "$release/$package_name" \
    >"$scratch/verify-package.log" 2>&1 ||
    { cat "$scratch/verify-package.log" >&2; fail "the signed package does not verify"; }
(cd "$release" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the signed package"
# The signature covers the package's content, which signing does not
# change: the digest the signature holds is that of the built package (how a
# signed package is tied to a rebuild; removing the signature rewrites the
# container, so the bytes differ).
digest() { sed -n 's/^Current DigitalSignature *: *\([0-9A-F]*\).*/\1/p' "$1" | head -n 1; }
"$osslsigncode" sign -certs "$pki/tsa.pem" -key "$pki/tsa.key" -h sha256 -in "$package" \
    -out "$scratch/built-signed.msi" >/dev/null 2>&1 || fail "osslsigncode cannot sign the built package"
"$osslsigncode" verify -in "$scratch/built-signed.msi" >"$scratch/verify-built.log" 2>&1 || true
[ -n "$(digest "$scratch/verify-package.log")" ] &&
    [ "$(digest "$scratch/verify-package.log")" = "$(digest "$scratch/verify-built.log")" ] ||
    fail "the signed package's content digest is not the built package's"
# One row of one table changed after signing: rejected for its digest.
cp "$release/$package_name" "$scratch/tampered.msi"
msibuild "$scratch/tampered.msi" -q "UPDATE \`Property\` SET \`Value\` = '0' WHERE \`Property\` = 'ARPNOMODIFY'"
if "$osslsigncode" verify -CAfile "$pki/ca.pem" -in "$scratch/tampered.msi" >"$scratch/verify-tampered.log" 2>&1 ||
    ! grep -q 'MISMATCH' "$scratch/verify-tampered.log"; then
    cat "$scratch/verify-tampered.log" >&2
    fail "a package changed after signing is not rejected for its digest"
fi

step "scripts/sign.sh signs with a PFX whose password is empty"
sign VEK_SIGN_PFX="$pki/signer-no-password.pfx" VEK_SIGN_PFX_PASSWORD= VEK_TEST_SECRET= -- \
    --no-timestamp --output "$scratch/no-password/$name" "$unsigned"
signed_ok "$unsigned with a PFX whose password is empty"

step "the password was on no command line and in no file; TMPDIR is left empty"
grep -q '^sign ' "$scratch/osslsigncode-runs" || fail "scripts/sign.sh did not run OSSLSIGNCODE to sign"
! grep -qF -e "$pfx_password" "$scratch/osslsigncode-runs" ||
    fail "the PFX password was on osslsigncode's command line"
[ ! -s "$scratch/secret-files" ] ||
    fail "the PFX password was in a file while osslsigncode ran: $(sort -u "$scratch/secret-files")"
[ -z "$(ls -A "$scratch/tmp")" ] || fail "scripts/sign.sh left behind in TMPDIR: $(ls -A "$scratch/tmp")"

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
