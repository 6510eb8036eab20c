#!/bin/sh
# Initialising a token again and again with pkcs11-tool as the host, on blank
# cards of models 1, 3, 4 and 7 and on the model-3 token the SO may not empty.
# Three rounds on each card: --init-token, the SO's --init-pin, the user writes
# a private data object, generates a key pair and signs (OpenSSL checks the
# signature with the public key read back); after each round the previous
# round's objects are gone and its PIN no longer logs in. Every pkcs11-tool
# call is a new process, so every step also follows a restart of the module.
#   run_pkcs11_tool_reinit.sh TOOL MODULE BUILD sim
#   run_pkcs11_tool_reinit.sh TOOL MODULE BUILD pcsc VPCD   (status 77: the simulator's control is needed)
set -u
tool=$1
module=$2
build=$3
mode=$4
[ "$mode" = sim ] || { echo "the simulator back-end only"; exit 77; }
home=$(mktemp -d /tmp/mirtal-p11reinit-XXXXXX) || exit 1
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.MIRTAL" "$home/cards"
conf=
i=0
for card in blank-model1 blank-model3 blank-model4 blank-model7 pkcs15-model3-user-owned; do
  cp "$build/cards/$card.card" "$home/cards/"
  conf="${conf}reader CardSim Reader $i
card $card.card
"
  i=$((i + 1))
done
printf '%s' "$conf" > "$home/cards/sim.conf"
export CARDSIM_CONFIG="$home/cards/sim.conf"
printf 'EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = "%s/libcardsim.so;Sim"\n' "$build" \
  > "$home/.MIRTAL/pkcs11.conf"
fail=0
so=87654321
p11() { HOME="$home" "$tool" --module "$module" "$@" 2>&1; }
says() { echo "$out" | grep -q "$1" || { echo "slot $slot, round $round: $2"; fail=1; }; }

# One round on a slot: label, user PIN, the previous round's PIN and label.
round() {
  slot=$1 round=$2 pin=$3 old=$4
  out=$(p11 --slot "$slot" --init-token --label "Runda $round" --so-pin $so)
  echo "$out"
  says 'Token successfully initialized' "init-token failed"
  out=$(p11 --slot "$slot" --login --login-type so --so-pin $so --init-pin --new-pin "$pin")
  echo "$out"
  says 'User PIN successfully initialized' "init-pin failed"
  if [ -n "$old" ]; then
    out=$(p11 --slot "$slot" --login --pin "$old" --list-objects)
    echo "$out" | grep -q 'CKR_PIN_INCORRECT\|CKR_PIN_LOCKED' ||
      { echo "slot $slot, round $round: the previous PIN still logs in"; fail=1; }
  fi
  out=$(p11 --slot "$slot" --login --pin "$pin" --list-objects)
  echo "$out"
  echo "$out" | grep -q "label:" && { echo "slot $slot, round $round: objects of an earlier round left"; fail=1; }
  printf 'data of round %s\n' "$round" > "$home/data"
  out=$(p11 --slot "$slot" --login --pin "$pin" --write-object "$home/data" --type data --label "d$round" --private)
  echo "$out"
  out=$(p11 --slot "$slot" --login --pin "$pin" --keypairgen --key-type rsa:1024 --id 0$round --label "k$round")
  echo "$out"
  says 'Key pair generated' "no key pair"
  p11 --slot "$slot" --read-object --type pubkey --id 0$round --output-file "$home/key.der" >/dev/null
  openssl pkey -pubin -inform der -in "$home/key.der" -out "$home/key.pem" 2>/dev/null ||
    { echo "slot $slot, round $round: no public key read back"; fail=1; return; }
  printf 'signed in round %s\n' "$round" > "$home/msg"
  { printf '\060\061\060\015\006\011\140\206\110\001\145\003\004\002\001\005\000\004\040'
    openssl dgst -sha256 -binary "$home/msg"; } > "$home/digestinfo"
  p11 --slot "$slot" --login --pin "$pin" --sign -m RSA-PKCS --id 0$round --input-file "$home/digestinfo" \
    --output-file "$home/sig" >/dev/null
  openssl dgst -sha256 -verify "$home/key.pem" -signature "$home/sig" "$home/msg" ||
    { echo "slot $slot, round $round: the signature does not verify"; fail=1; }
}

# Three tokens per reader: the first slot of reader n is 3n.
for slot in 0 3 6 9; do
  round "$slot" 1 2468 ""
  round "$slot" 2 1357 2468
  round "$slot" 3 9753 1357
done

# The token the SO may not empty: refused, and the card as it was.
slot=12 round=-
before=$(sed 's/ left=[0-9]*//' "$home/cards/pkcs15-model3-user-owned.card")
out=$(p11 --slot 12 --init-token --label Nowy --so-pin $so)
echo "$out"
says 'CKR_FUNCTION_FAILED' "the token was not refused"
after=$(sed 's/ left=[0-9]*//' "$home/cards/pkcs15-model3-user-owned.card")
[ "$before" = "$after" ] || { echo "the refused init-token changed the card"; fail=1; }
out=$(p11 --slot 12 --login --pin 1234 --list-objects)
says 'CardSim Token' "the old token's objects are not there any more"
exit $fail
