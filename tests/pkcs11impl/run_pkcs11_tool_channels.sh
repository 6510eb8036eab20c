#!/bin/sh
# pkcs11-tool on simulated cards that work only over a secure channel.
#   run_pkcs11_tool_channels.sh TOOL MODULE BUILD sim
#     the card-simulator back-end;
#   run_pkcs11_tool_channels.sh TOOL MODULE BUILD pcsc VPCD
#     the "PC/SC" back-end against a pcscd of our own with vpcd serving the cards
#     (skipped, status 77, when pcscd cannot run here).
# A card whose TokenInfo names a Diffie-Hellman group logs the user in and signs
# over secure messaging (the signature checked with OpenSSL against the card's
# certificate); a not-activated card that needs the personalisation agent's
# system key shows no objects and takes no login without it.
set -u
tool=$1
module=$2
build=$3
mode=$4
. "$(dirname "$0")/simulated_readers.sh"
fail=0
if [ "$mode" = sim ]; then
  readers_start sim "$build" ias-dh-channel.card ias-not-activated.card
else
  readers_start pcsc "$build" "$5" ias-dh-channel.card ias-not-activated.card
  readers_wait "$tool" "$module" 2
fi
echo 'EnableSecureMessaging = 1' >> "$home/.MIRTAL/pkcs11.conf"
dh_slot=0
agent_slot=3


# Secure messaging by key agreement: login and a PKCS #1 v1.5 signature of a SHA-256 DigestInfo.
printf 'abc' > "$home/data"
{ printf '\060\061\060\015\006\011\140\206\110\001\145\003\004\002\001\005\000\004\040'
  openssl dgst -sha256 -binary "$home/data"; } > "$home/digestinfo"
p11_run ok --slot $dh_slot --login --pin 1234 --sign -m RSA-PKCS -i "$home/digestinfo" -o "$home/sig"
p11_run ok --slot $dh_slot --read-object --type cert --label Certificate -o "$home/cert.der"
if openssl x509 -inform DER -in "$home/cert.der" -pubkey -noout > "$home/pub.pem" 2>/dev/null &&
  openssl dgst -sha256 -verify "$home/pub.pem" -signature "$home/sig" "$home/data"; then
  :
else
  echo "FAILED: the signature made over secure messaging does not verify"
  fail=1
fi

# Without the agent's key the not-activated card is of no use.
p11_run ok --list-token-slots
expect 'token label        : MIRTAL'
p11_run ok --slot $agent_slot --list-objects
refuse 'Certificate Object'
refuse 'Private Key Object'
p11_run fails --slot $agent_slot --login --pin 1234 --list-objects
expect CKR_USER_PIN_NOT_INITIALIZED
exit $fail
