#!/usr/bin/env bash
# Authenticode-signed copies of a Windows program, for the signature tests:
#   sign_program.sh program.exe keys-folder out-folder
# Writes into out-folder:
#   ca.der              the test CA, for the machine's root store
#   signed.exe          signed by a code-signing certificate of that CA
#   untrusted-root.exe  signed by another CA's certificate, that CA included
#   unknown-issuer.exe  signed by another CA's certificate, nothing else included
# The certificates are made afresh from the committed test keys each time, so
# they are valid from the build on and never expire in the tree.
set -euo pipefail
program=$1
keys=$2
out=$3
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/zav-sign.XXXXXX")
trap 'rm -rf "$work"' EXIT

cat >"$work/openssl.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF

ca() {  # name key-file
  openssl req -config "$work/openssl.cnf" -x509 -new -key "$2" -subj "/CN=$1" -days 3650 \
    -extensions ca -set_serial "0x$(openssl rand -hex 8)" -out "$work/$1.pem"
}
signer() {  # name ca-name ca-key-file
  openssl req -config "$work/openssl.cnf" -new -key "$keys/codesign-signer-private.pem" -subj "/CN=$1" \
    -out "$work/$1.csr"
  openssl x509 -req -in "$work/$1.csr" -CA "$work/$2.pem" -CAkey "$3" -days 3650 \
    -extfile "$work/openssl.cnf" -extensions signer -set_serial "0x$(openssl rand -hex 8)" \
    -out "$work/$1.pem" 2>/dev/null
}
sign() {  # output certificates...
  local output=$1
  shift
  local chain="$work/chain-$(basename "$output").pem"
  cat "$@" >"$chain"
  osslsigncode sign -certs "$chain" -key "$keys/codesign-signer-private.pem" -h sha256 \
    -in "$program" -out "$work/$(basename "$output")" >/dev/null
  mv "$work/$(basename "$output")" "$output"
}

ca "Test Code Signing CA" "$keys/codesign-ca-private.pem"
signer "Test Signer" "Test Code Signing CA" "$keys/codesign-ca-private.pem"
ca "Other Code Signing CA" "$keys/codesign-other-ca-private.pem"
signer "Other Signer" "Other Code Signing CA" "$keys/codesign-other-ca-private.pem"

openssl x509 -in "$work/Test Code Signing CA.pem" -outform der -out "$out/ca.der"
sign "$out/signed.exe" "$work/Test Signer.pem"
sign "$out/untrusted-root.exe" "$work/Other Signer.pem" "$work/Other Code Signing CA.pem"
sign "$out/unknown-issuer.exe" "$work/Other Signer.pem"
