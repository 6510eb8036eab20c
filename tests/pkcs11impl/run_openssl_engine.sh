#!/bin/sh
# OpenSSL signs with the card's key through its PKCS#11 engine and the module:
# a signature made with `pkeyutl` and a self-signed certificate made with `req`,
# both checked with the card certificate's key.
#   run_openssl_engine.sh TOOL MODULE BUILD ENGINE [sim]
#     on the card-simulator back-end;
#   run_openssl_engine.sh TOOL MODULE BUILD ENGINE pcsc VPCD
#     on the "PC/SC" back-end through pcscd and vpcd
# (skipped, status 77, without the engine or when pcscd cannot run here).
set -u
tool=$1
module=$2
build=$3
engine=$4
mode=${5:-sim}
[ -r "$engine" ] || { echo "no PKCS#11 engine for OpenSSL"; exit 77; }
. "$(dirname "$0")/simulated_readers.sh"
if [ "$mode" = sim ]; then
  readers_start sim "$build" pkcs15-model3.card
else
  readers_start pcsc "$build" "$6" pkcs15-model3.card
  readers_wait "$tool" "$module" 1
fi
fail=0
w=$home/work
mkdir -p "$w"

"$tool" --module "$module" --read-object --type cert --label Certificate -o "$w/cert.der" >/dev/null 2>&1
check "card certificate" openssl x509 -inform der -in "$w/cert.der" -out "$w/cert.pem"
check "card key" openssl x509 -in "$w/cert.pem" -pubkey -noout -out "$w/card.pem"

cat > "$w/openssl.cnf" <<EOF
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $module
init = 0
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Signed on the card
EOF
export OPENSSL_CONF="$w/openssl.cnf"
uri='pkcs11:token=CardSim%20Token;type=private;pin-value=1234'

# A signature of a SHA-256 digest with the key on the card.
printf 'signed through the engine\n' > "$w/msg"
openssl dgst -sha256 -binary "$w/msg" > "$w/hash"
check "pkeyutl signs on the card" openssl pkeyutl -engine pkcs11 -keyform engine -inkey "$uri" -sign \
  -pkeyopt digest:sha256 -in "$w/hash" -out "$w/sig"
check "signature verified with the certificate's key" \
  openssl dgst -sha256 -verify "$w/card.pem" -signature "$w/sig" "$w/msg"

# A self-signed certificate whose key and signature are the card's.
check "req makes a certificate with the card's key" openssl req -engine pkcs11 -keyform engine -key "$uri" \
  -new -x509 -days 30 -sha256 -out "$w/self.pem"
check "the certificate verifies" openssl verify -CAfile "$w/self.pem" "$w/self.pem"
openssl x509 -in "$w/self.pem" -pubkey -noout -out "$w/self-key.pem" 2>/dev/null
check "the certificate holds the card's key" cmp "$w/self-key.pem" "$w/card.pem"
# The PIN as a word of its own or in hex (an APDU dump): "1234" inside a number,
# a thread id or a hex dump of a signature is chance, not the PIN.
grep -qE 'pin-value|(^|[^0-9A-Fa-f])1234([^0-9A-Fa-f]|$)|31323334' "$home/trace.log" &&
  { echo "FAILED: the trace log holds the PIN"; fail=1; }
exit $fail
