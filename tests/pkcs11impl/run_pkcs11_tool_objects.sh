#!/bin/sh
# pkcs11-tool finds, reads, writes and deletes objects on simulated cards.
#   run_pkcs11_tool_objects.sh TOOL MODULE BUILD sim
#   run_pkcs11_tool_objects.sh TOOL MODULE BUILD pcsc VPCD
# Reader 0 holds the PKCS#15 card (slot 0), reader 1 the card with fifty data
# objects and a certificate without a label (slot 3).
set -u
tool=$1
module=$2
build=$3
mode=$4
. "$(dirname "$0")/simulated_readers.sh"
if [ "$mode" = sim ]; then
  readers_start sim "$build" pkcs15-model3.card pkcs15-many-objects.card
else
  readers_start pcsc "$build" "$5" pkcs15-model3.card pkcs15-many-objects.card
fi
readers_wait "$tool" "$module" 2
fail=0
out=
run() {
  out=$("$tool" --module "$module" "$@" 2>&1)
  rc=$?
  echo "\$ pkcs11-tool $*"
  echo "$out"
  [ $rc -eq 0 ] || { echo "failed with status $rc"; fail=1; }
}
has() { echo "$out" | grep -qF -- "$1" || { echo "missing: $1"; fail=1; }; }
hasnt() { ! echo "$out" | grep -qF -- "$1" || { echo "unexpected: $1"; fail=1; }; }
count() { echo "$out" | grep -c -- "$1"; }
card="$home/cards/pkcs15-model3.card"
# The card's certificate as the image holds it, and its identifier (the key's).
image_cert=$(sed -n 's|^ef 3F00/5015/4301 .*data=\([0-9A-F]*\).*|\1|p' "$card")
[ -n "$image_cert" ] || { echo "no certificate in the card image"; exit 1; }

# Public objects before login, the private key after it.
run --slot 0 -O
has 'Public Key Object; RSA 2048 bits'
has 'Certificate Object; type = X.509 cert'
has "label:          'Data object'"
hasnt 'Private Key Object'
id=$(echo "$out" | sed -n 's/^  ID:[ ]*\([0-9a-f]*\)$/\1/p' | head -n 1)
[ ${#id} -eq 40 ] || { echo "no 20-byte identifier"; fail=1; }
run --slot 0 -O --login --pin 1234
has 'Private Key Object; RSA'
has 'Usage:      decrypt, sign'
has 'Public Key Object; RSA 2048 bits'
[ "$(count 'ID:         '"$id")" -eq 3 ] || { echo "key pair and certificate do not share the identifier"; fail=1; }

# The certificate, byte for byte, and OpenSSL reads it.
run --slot 0 --read-object --type cert --id "$id" --output-file "$home/cert.der"
[ "$(od -An -v -tx1 "$home/cert.der" | tr -d ' \n' | tr a-f A-F)" = "$image_cert" ] || { echo "certificate differs"; fail=1; }
openssl x509 -inform DER -in "$home/cert.der" -noout -subject | grep -q 'CN = CardSim Token' \
  || { echo "openssl does not read the certificate"; fail=1; }
# The data object by its label.
run --slot 0 --read-object --type data --label 'Data object' --output-file "$home/data.bin"
[ "$(cat "$home/data.bin")" = "CardSim data object of CardSim Token" ] || { echo "data object differs"; fail=1; }

# A certificate and a data object written, read back and deleted: the card
# holds afterwards what it held before (where a record went, FF filler may
# stand where 00 stood).
records_of() { sed -E ':a; s/( data=[0-9A-F]*)(00|FF)( |$)/\1\3/; ta' "$1"; }
cp "$card" "$home/before.card"
cert_file="$(dirname "$0")/data/label-cn.der"
run --slot 0 --login --pin 1234 --write-object "$cert_file" --type cert --id 4242 --label 'New certificate'
has 'label:      New certificate'
has 'subject:    DN: C=PL, O=Firma Testowa, CN=Jan Kowalski'
printf 'written by pkcs11-tool' > "$home/new.bin"
run --slot 0 --login --pin 1234 --write-object "$home/new.bin" --type data --label 'New data'
has "label:          'New data'"
run --slot 0 -O --type cert
[ "$(count '^Certificate Object')" -eq 2 ] || { echo "not two certificates"; fail=1; }
run --slot 0 --read-object --type cert --id 4242 --output-file "$home/back.der"
cmp -s "$home/back.der" "$cert_file" || { echo "written certificate reads back differently"; fail=1; }
run --slot 0 --read-object --type data --label 'New data' --output-file "$home/back.bin"
cmp -s "$home/back.bin" "$home/new.bin" || { echo "written data object reads back differently"; fail=1; }
run --slot 0 --login --pin 1234 --delete-object --type cert --id 4242
run --slot 0 --login --pin 1234 --delete-object --type data --label 'New data'
run --slot 0 -O
hasnt 'New certificate'
hasnt 'New data'
[ "$(records_of "$card")" = "$(records_of "$home/before.card")" ] || { echo "the card image differs from before"; fail=1; }

# Fifty data objects; the certificate without a label gets its subject's common name.
run --slot 3 -O
[ "$(count '^Data object')" -eq 50 ] || { echo "not fifty data objects"; fail=1; }
has "label:          'Data object 50'"
run --slot 3 -O --type cert
has 'label:      CardSim Token'
exit $fail
