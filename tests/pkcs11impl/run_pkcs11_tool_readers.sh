#!/bin/sh
# pkcs11-tool lists the module's slots over simulated readers.
#   run_pkcs11_tool_readers.sh TOOL MODULE BUILD sim
#     the card-simulator back-end: three readers, cards in the first two;
#   run_pkcs11_tool_readers.sh TOOL MODULE BUILD pcsc VPCD
#     the "PC/SC" back-end against a pcscd of our own with vpcd, the simulator's
#     card engine serving one card (skipped, status 77, when pcscd cannot run here).
set -u
tool=$1
module=$2
build=$3
mode=$4
. "$(dirname "$0")/simulated_readers.sh"
fail=0
if [ "$mode" = sim ]; then
  readers_start sim "$build" pkcs15-model3.card unknown-atr.card -
  printf 'PKCS15MaxTokenCount = 2\n' >> "$home/.MIRTAL/pkcs11.conf"
  out=$("$tool" --module "$module" --list-slots 2>&1)
  echo "$out"
  for want in 'Slot 0 (0x0): CardSim Reader 0' 'Slot 1 (0x1): CardSim Reader 0' 'Slot 2 (0x2): CardSim Reader 1' \
              'Slot 4 (0x4): CardSim Reader 2' 'Slot 5 (0x5): CardSim Reader 2'; do
    echo "$out" | grep -qF "$want" || { echo "missing: $want"; fail=1; }
  done
  [ "$(echo "$out" | grep -c '^Slot ')" = 6 ] || { echo "not six slots"; fail=1; }
  # The PKCS#15 card's application is a token; the unknown card is shown but not recognised.
  [ "$(echo "$out" | grep -c 'token label        : CardSim Token')" = 1 ] || { echo "no PKCS#15 token"; fail=1; }
  [ "$(echo "$out" | grep -c 'token not recognized')" = 1 ] || { echo "unknown card not on its first slot"; fail=1; }
  [ "$(echo "$out" | grep -c '(empty)')" = 4 ] || { echo "not four empty slots"; fail=1; }
  # The token-present list: the PKCS#15 token and the unsupported card's first slot.
  out=$("$tool" --module "$module" --list-token-slots 2>&1)
  echo "$out"
  echo "$out" | grep -qF '(0x0): CardSim Reader 0' || { echo "token-present list misses the token"; fail=1; }
  echo "$out" | grep -qF '(0x2): CardSim Reader 1' || { echo "token-present list"; fail=1; }
  [ "$(echo "$out" | grep -c '^Slot ')" = 2 ] || { echo "token-present list holds more"; fail=1; }
  exit $fail
fi

# PC/SC through pcscd and vpcd.
readers_start pcsc "$build" "$5" pkcs15-model3.card
printf 'PKCS15Flags = 0x8000600\n' >> "$home/.MIRTAL/pkcs11.conf"
readers_wait "$tool" "$module" 1
out=$("$tool" --module "$module" --list-slots 2>&1)
echo "$out"
echo "$out" | grep -qF 'Slot 0 (0x0): Virtual PCD 00 00' || { echo "missing the vpcd reader"; fail=1; }
echo "$out" | grep -qF 'token label        : CardSim Token' || { echo "card not seen"; fail=1; }
grep -q 'PKCS#15: SCPkcs15Lib::CheckCardState...(reader 0) CARD connect' "$home/trace.log" || { echo "no connect line"; fail=1; }
exit $fail
