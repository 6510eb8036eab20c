#!/bin/sh
# NSS takes the module into a private database and shows the certificates and
# the keys of its tokens.
#   run_nss.sh MODULE BUILD sim
#   run_nss.sh MODULE BUILD pcsc VPCD
# (skipped, status 77, when pcscd cannot run here; NSS's tools are Debian's
# libnss3-tools). Reader 0 holds a card with one token, reader 1 a card with two:
# three tokens, each with a certificate and the private key of its identifier.
set -u
module=$1
build=$2
mode=$3
tool=$(command -v pkcs11-tool) || { echo "pkcs11-tool missing"; exit 1; }
for t in modutil certutil; do command -v $t >/dev/null || { echo "$t missing (libnss3-tools)"; exit 1; }; done
. "$(dirname "$0")/simulated_readers.sh"
if [ "$mode" = sim ]; then
  readers_start sim "$build" pkcs15-model3.card pkcs15-model3-two-apps.card
  reader0='CardSim Reader 0'
else
  reader0='Virtual PCD 00 00'
  readers_start pcsc "$build" "$4" pkcs15-model3.card pkcs15-model3-two-apps.card
  readers_wait "$tool" "$module" 3
fi
fail=0
db="sql:$home/nss"
mkdir -p "$home/nss"
printf '1234\n' > "$home/pin"
run() {
  echo "\$ $*"
  out=$("$@" 2>&1)
  status=$?
  echo "$out" | sed 's/^/  /'
  [ $status -eq 0 ] || { echo "FAILED (status $status)"; fail=1; }
}
count() { echo "$out" | grep -c -- "$1"; }

run certutil -N -d "$db" --empty-password
# -force: modutil would ask whether a browser is running.
run modutil -dbdir "$db" -add mirtal -libfile "$module" -force
run modutil -dbdir "$db" -list
expect "slot: $reader0"
expect 'token: CardSim Token 2'
expect 'uri: pkcs11:token=CardSim%20Token;manufacturer=CardSim;'
[ "$(count 'token: CardSim Token')" -eq 3 ] || { echo "FAILED: not three tokens"; fail=1; }

# The tokens' certificates are public: no PIN is asked.
run certutil -L -h all -d "$db"
expect 'CardSim Token 2:Certificate'
[ "$(count '^CardSim Token:Certificate  *u,u,u$')" -eq 2 ] || { echo "FAILED: not the two first tokens' certificates"; fail=1; }
run certutil -L -d "$db" -h "CardSim Token 2" -n "CardSim Token 2:Certificate" -a -f "$home/pin"
echo "$out" | openssl x509 -noout -subject > "$home/subject" 2>&1
check "the certificate that NSS read is the card's" grep -q 'CN = CardSim Token 2' "$home/subject"

# The private keys after login, one per token, each with its certificate's identifier.
run certutil -K -h all -d "$db" -f "$home/pin"
[ "$(count '^< 0> rsa  *[0-9a-f]\{40\}  *')" -eq 3 ] || { echo "FAILED: not three RSA keys"; fail=1; }
for token in "CardSim Token 2"; do
  run certutil -K -h "$token" -d "$db" -f "$home/pin"
  key_id=$(echo "$out" | sed -n 's/^< 0> rsa *\([0-9a-f]*\) .*/\1/p')
  "$tool" --module "$module" --slot 4 -O --type cert 2>/dev/null | grep -q "ID: *$key_id" \
    || { echo "FAILED: the key of $token does not carry its certificate's identifier"; fail=1; }
done
# A wrong PIN is refused, and nothing is listed.
printf '9999\n' > "$home/badpin"
out=$(certutil -K -h "CardSim Token 2" -d "$db" -f "$home/badpin" 2>&1)
echo "$out" | grep -q 'SEC_ERROR_BAD_PASSWORD' || { echo "FAILED: a wrong PIN was not refused: $out"; fail=1; }
exit $fail
