#!/bin/sh
# GnuTLS's p11tool and certtool use the module through a p11-kit module file:
# p11tool lists the tokens and a card's objects before and after login and
# exports its certificate; certtool makes a certificate request signed with
# the card's key, which OpenSSL verifies and finds to hold the card's public key.
#   run_gnutls_tools.sh P11TOOL MODULE BUILD [sim]
#   run_gnutls_tools.sh P11TOOL MODULE BUILD pcsc VPCD
# (skipped, status 77, when pcscd cannot run here).
# p11-kit reads a user's module files only for a program that does not run as
# root: as root, the tools run as nobody. GnuTLS initialises modules saying that
# they cannot make threads, so the reader workers are switched off
# (PKCS15Flags without 0x08000000) and the module accepts that. certtool gives
# up when any module p11-kit knows fails to start, so the other modules that
# the system registers (SoftHSM2 cannot read its configuration as nobody) are
# switched off for the two tools in the user's module files.
set -u
p11tool=$1
module=$2
build=$3
mode=${4:-sim}
certtool=$(command -v certtool) || { echo "certtool missing"; exit 1; }
tool=$(command -v pkcs11-tool) || { echo "pkcs11-tool missing"; exit 1; }
. "$(dirname "$0")/simulated_readers.sh"
if [ "$mode" = sim ]; then
  readers_start sim "$build" pkcs15-model3.card
else
  readers_start pcsc "$build" "$5" pkcs15-model3.card
  readers_wait "$tool" "$module" 1
fi
printf 'PKCS15Flags = 0x200\n' >> "$home/.MIRTAL/pkcs11.conf"
modules="$home/.config/pkcs11/modules"
mkdir -p "$modules"
printf 'module: %s\n' "$module" > "$modules/mirtal.module"
for f in /etc/pkcs11/modules/*.module /usr/share/p11-kit/modules/*.module; do
  [ -e "$f" ] || continue
  name=$(basename "$f")
  case $name in mirtal.module | p11-kit-trust.module) continue ;; esac
  printf 'disable-in: p11tool certtool\n' > "$modules/$name"
done
as_user=
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null || { echo "setpriv missing"; exit 77; }
  chmod -R a+rwX "$home"
  as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
fi
fail=0
out=
gnutls() {
  echo "\$ $*"
  out=$($as_user env HOME="$home" CARDSIM_CONFIG="${CARDSIM_CONFIG:-}" GNUTLS_PIN=1234 "$@" 2>&1)
  status=$?
  echo "$out"
  [ $status -eq 0 ] || { echo "FAILED (status $status)"; fail=1; }
}
has() { echo "$out" | grep -qF -- "$1" || { echo "missing: $1"; fail=1; }; }
hasnt() { ! echo "$out" | grep -qF -- "$1" || { echo "unexpected: $1"; fail=1; }; }

gnutls "$p11tool" --list-tokens
has 'Label: CardSim Token'
has "Module: $module"
token='pkcs11:token=CardSim%20Token'
gnutls "$p11tool" --list-all "$token"
has 'Type: Public key (RSA-2048)'
has 'Type: X.509 Certificate (RSA-2048)'
has 'Label: Data object'
hasnt 'Type: Private key'
gnutls "$p11tool" --list-all --login "$token"
has 'Type: Private key (RSA-2048)'
has 'Flags: CKA_WRAP/UNWRAP; CKA_PRIVATE; CKA_NEVER_EXTRACTABLE; CKA_SENSITIVE;'
has 'Type: Public key (RSA-2048)'
has 'Label: Certificate'
[ "$(echo "$out" | grep -c '^Object ')" -eq 4 ] || { echo "not four objects"; fail=1; }
gnutls "$p11tool" --export "$token;object=Certificate;type=cert"
has '-----BEGIN CERTIFICATE-----'
echo "$out" > "$home/cert.pem"

# A certificate request signed on the card.
printf 'cn = "Request signed on the card"\n' > "$home/request.tmpl"
chmod a+r "$home/request.tmpl"
gnutls "$certtool" --generate-request --load-privkey "$token;object=Private%20key;type=private" \
  --template "$home/request.tmpl" --outfile "$home/request.pem"
check "the request's signature verifies" openssl req -in "$home/request.pem" -noout -verify
openssl req -in "$home/request.pem" -noout -pubkey > "$home/request-key.pem" 2>/dev/null
openssl x509 -in "$home/cert.pem" -noout -pubkey > "$home/card-key.pem" 2>/dev/null
check "the request holds the card's key" sh -c "[ -s '$home/card-key.pem' ] && cmp '$home/request-key.pem' '$home/card-key.pem'"
openssl req -in "$home/request.pem" -noout -subject > "$home/subject" 2>&1
check "the request's subject" grep -q 'CN = Request signed on the card' "$home/subject"
exit $fail
