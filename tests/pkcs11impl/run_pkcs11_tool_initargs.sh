#!/bin/sh
# pkcs11-tool, in the C locale, initialises tokens and sets PINs as an
# administrator would: the SO sets the user PIN of the shipped tokens, a label
# outside ASCII is kept as the UTF-8 given, and a label that is not UTF-8 or a
# wrong SO PIN is refused with the card image unchanged (retry counters aside).
#   run_pkcs11_tool_initargs.sh TOOL MODULE BUILD sim
#   run_pkcs11_tool_initargs.sh TOOL MODULE BUILD pcsc VPCD   (status 77 when pcscd cannot run)
set -u
tool=$1
module=$2
build=$3
mode=$4
. "$(dirname "$0")/simulated_readers.sh"
export LC_ALL=C
fail=0
# The simulator: readers 0 to 3, three slots each: the shipped token (slot 0), a
# blank model-3 card (slot 3), the two-application card (slots 6 and 7), the
# token whose user PIN has a PUK and whose SO PIN has stored length 8 (slot 9).
# vpcd serves two readers: the two-application card (slots 0 and 1) and the blank card.
if [ "$mode" = sim ]; then
  so_slots="0 6 7"
  puk_slot=9
  readers_start sim "$build" pkcs15-model3.card blank-model3.card pkcs15-model3-two-apps.card pkcs15-model3-puk.card
else
  so_slots="0 1"
  puk_slot=
  readers_start pcsc "$build" "$5" pkcs15-model3-two-apps.card blank-model3.card
  readers_wait "$tool" "$module" 2
fi
blank_slot=3

# The image of a card with the PINs' retry counters left out.
image() { sed 's/ left=[0-9]*//' "$home/cards/$1"; }
unchanged() { image "$1" | cmp -s - "$home/$1.before"; }
keep() { image "$1" > "$home/$1.before"; }

# The SO sets the user PIN of the shipped tokens; the user logs in with it.
for slot in $so_slots; do
  p11_run ok --slot $slot --login --login-type so --so-pin 87654321 --init-pin --new-pin 5555
  expect 'User PIN successfully initialized'
  p11_run ok --slot $slot --login --pin 5555 --list-objects
  expect 'Private Key Object'
  p11_run fails --slot $slot --login --pin 1234 --list-objects
  expect CKR_PIN_INCORRECT
done
# Where only the PUK unblocks the user PIN the card refuses the SO, and nothing changes.
if [ -n "$puk_slot" ]; then
  keep pkcs15-model3-puk.card
  p11_run fails --slot $puk_slot --login --login-type so --so-pin 87654321 --init-pin --new-pin 5555
  expect CKR_DEVICE_ERROR
  check "the refused --init-pin leaves the card as it was" unchanged pkcs15-model3-puk.card
  p11_run ok --slot $puk_slot --login --pin 1234 --list-objects
fi

# A wrong SO PIN on the blank card: refused, the card as it was (no EF.DIR left behind).
keep blank-model3.card
p11_run fails --slot $blank_slot --init-token --label Podpis --so-pin 11111111
expect CKR_PIN_INCORRECT
check "a wrong SO PIN leaves the blank card as it was" unchanged blank-model3.card
# Labels that are not UTF-8 (Windows-1250 text, a lone continuation octet): refused before the card is asked.
for label in "$(printf 'Zaz\363\263\346')" "$(printf '\200')"; do
  p11_run fails --slot $blank_slot --init-token --label "$label" --so-pin 87654321
  expect CKR_ARGUMENTS_BAD
  refuse 'INTERNAL LIBRARY ERROR'
done
check "labels that are not UTF-8 leave the blank card as it was" unchanged blank-model3.card
# A label outside ASCII, in the C locale: kept as the UTF-8 given, on the card and after a restart.
p11_run ok --slot $blank_slot --init-token --label "Zażółć" --so-pin 87654321
expect 'Token successfully initialized'
refuse 'INTERNAL LIBRARY ERROR'
p11_run ok --list-token-slots
expect 'token label        : Zażółć'
check "the card holds the label's UTF-8 octets" grep -q 5A61C5BCC3B3C582C487 "$home/cards/blank-model3.card"
exit $fail
