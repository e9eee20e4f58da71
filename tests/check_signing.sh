#!/usr/bin/env bash
# Signing as `make dist SIGN_PKCS12=...` does it, with a throwaway code-signing certificate
# made here: the install tree's programs carry a signature that verifies against that
# certificate, SHA256SUMS holds the signed files' sums, and a changed byte breaks it.
#   check_signing.sh BUILD_DIR WORK_DIR
# Leaves the signed tree in WORK_DIR/release for the Wine case that runs it.
set -uo pipefail
build_dir=$1
work=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
printf 'throwaway password\n' >password.txt
if ! openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=vxdmount test signer" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout key.pem -out cert.pem >openssl.log 2>&1 ||
    ! openssl pkcs12 -export -inkey key.pem -in cert.pem -passout file:password.txt \
        -out signer.p12 >>openssl.log 2>&1; then
    cat openssl.log
    echo "FAIL: cannot make the certificate"
    exit 1
fi

SIGN_PKCS12=$work/signer.p12 SIGN_PASSWORD_FILE=$work/password.txt \
    cmake --install "$build_dir" --prefix "$work/release" >install.log 2>&1 ||
    { cat install.log; echo "FAIL: the signed install failed"; exit 1; }
for program in bin/vxdmount.dll bin/vxdhost.exe; do
    osslsigncode verify -CAfile cert.pem -in "release/$program" >verify.log 2>&1 ||
        { cat verify.log; fail "$program does not verify against the certificate"; }
done
(cd release && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS is not that of the signed files"

# One byte of the code changed after signing.
cp release/bin/vxdmount.dll tampered.dll
printf '\xcc' | dd of=tampered.dll bs=1 seek=1100 conv=notrunc status=none
if osslsigncode verify -CAfile cert.pem -in tampered.dll >tampered.log 2>&1; then
    fail "a DLL with a changed byte still verifies"
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "ok: signed, verified against the test certificate, and a changed byte is caught"
