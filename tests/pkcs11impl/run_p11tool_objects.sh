#!/bin/sh
# GnuTLS's p11tool lists a simulated card's objects through a p11-kit module
# file, before and after login.
#   run_p11tool_objects.sh P11TOOL MODULE BUILD
# p11-kit reads a user's module files only for a program that does not run as
# root: as root, p11tool runs as nobody. GnuTLS initialises modules saying that
# they cannot make threads, so the reader workers are switched off
# (PKCS15Flags without 0x08000000) and the module accepts that.
set -u
p11tool=$1
module=$2
build=$3
. "$(dirname "$0")/simulated_readers.sh"
readers_start sim "$build" pkcs15-model3.card
printf 'PKCS15Flags = 0x200\n' >> "$home/.MIRTAL/pkcs11.conf"
mkdir -p "$home/.config/pkcs11/modules"
printf 'module: %s\n' "$module" > "$home/.config/pkcs11/modules/mirtal.module"
as_user=
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null || { echo "setpriv missing"; exit 77; }
  chmod -R a+rwX "$home"
  as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
fi
fail=0
out=
run() {
  echo "\$ p11tool $*"
  out=$($as_user env HOME="$home" CARDSIM_CONFIG="$CARDSIM_CONFIG" GNUTLS_PIN=1234 "$p11tool" "$@" 2>&1)
  echo "$out"
}
has() { echo "$out" | grep -qF -- "$1" || { echo "missing: $1"; fail=1; }; }
hasnt() { ! echo "$out" | grep -qF -- "$1" || { echo "unexpected: $1"; fail=1; }; }

run --list-tokens
has 'Label: CardSim Token'
has "Module: $module"
token='pkcs11:token=CardSim%20Token'
run --list-all "$token"
has 'Type: Public key (RSA-2048)'
has 'Type: X.509 Certificate (RSA-2048)'
has 'Label: Data object'
hasnt 'Type: Private key'
run --list-all --login "$token"
has 'Type: Private key (RSA-2048)'
has 'Flags: CKA_WRAP/UNWRAP; CKA_PRIVATE; CKA_NEVER_EXTRACTABLE; CKA_SENSITIVE;'
has 'Type: Public key (RSA-2048)'
has 'Label: Certificate'
[ "$(echo "$out" | grep -c '^Object ')" -eq 4 ] || { echo "not four objects"; fail=1; }
run --export "$token;object=Certificate;type=cert"
has '-----BEGIN CERTIFICATE-----'
exit $fail
