#!/bin/sh
# The C host of the vendor calls (vendor_host.c) on a simulated model-1 card
# whose termination rule names its token's user PIN: every answer as expected,
# and the card image terminated at the end.
#   run_vendor_host.sh HOST MODULE BUILD
set -u
host=$1
module=$2
build=$3
home=$(mktemp -d /tmp/mirtal-vendorhost-XXXXXX) || exit 1
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.MIRTAL" "$home/cards"
image="$home/cards/qualified-model1-visible.card"
# The card may be ended by the user PIN of its token, made global.
sed -e '/^df 3F00 /s/terminate:pin:04/terminate:pin:81/' -e 's#^pin 3F00/5015 ref=81#pin 3F00 ref=81#' \
  "$build/cards/qualified-model1-visible.card" > "$image" || exit 1
grep -q 'terminate:pin:81' "$image" || { echo "the image has no termination rule to change"; exit 1; }
printf 'reader CardSim Reader 0\ncard qualified-model1-visible.card\n' > "$home/cards/sim.conf"
export CARDSIM_CONFIG="$home/cards/sim.conf"
printf 'EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = "%s/libcardsim.so;Sim"\n' "$build" \
  > "$home/.MIRTAL/pkcs11.conf"

out=$(HOME="$home" "$host" "$module" 1234 2>&1)
status=$?
echo "$out"
fail=0
[ $status -eq 0 ] || { echo "exit status $status"; fail=1; }
for line in \
  'characteristics: 0x0 00007ff5' \
  'session: 0x0' \
  'veldor length: 0x0 1' \
  'veldor: 0x0 1' \
  'not activated: 0x0 0' \
  'system key: 0x11' \
  'set read-only: 0x10' \
  'set unknown: 0x12' \
  'activate: 0x54' \
  'may terminate: 0x0' \
  'wrong pin: 0xa0' \
  'terminate: 0x0' \
  'session and token gone: 0xb3 0xe1' \
  'finalize: 0x0' \
  'host done'; do
  echo "$out" | grep -qxF "$line" || { echo "missing: $line"; fail=1; }
done
grep -qx 'terminated 1' "$image" || { echo "the card image is not terminated"; fail=1; }
grep -qx 'lifecycle FF' "$image" || { echo "the card's life cycle is not terminated"; fail=1; }
exit $fail
