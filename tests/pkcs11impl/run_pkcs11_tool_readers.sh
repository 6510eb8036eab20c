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
home=$(mktemp -d /tmp/mirtal-p11readers-XXXXXX) || exit 1
pcscd_pid=
vpcd_pid=
cleanup() {
  [ -n "$vpcd_pid" ] && kill "$vpcd_pid" 2>/dev/null && wait "$vpcd_pid" 2>/dev/null
  [ -n "$pcscd_pid" ] && kill "$pcscd_pid" 2>/dev/null && wait "$pcscd_pid" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT
mkdir -p "$home/.MIRTAL" "$home/cards"
cp "$build"/cards/*.card "$home/cards/"
fail=0
if [ "$mode" = sim ]; then
  printf 'reader CardSim Reader 0\ncard pkcs15-model3.card\nreader CardSim Reader 1\ncard unknown-atr.card\nreader CardSim Reader 2\n' \
    > "$home/cards/sim.conf"
  export CARDSIM_CONFIG="$home/cards/sim.conf"
  printf 'EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = "%s/libcardsim.so;Sim"\nPKCS15MaxTokenCount = 2\n' \
    "$build" > "$home/.MIRTAL/pkcs11.conf"
  out=$(HOME="$home" "$tool" --module "$module" --list-slots 2>&1)
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
  out=$(HOME="$home" "$tool" --module "$module" --list-token-slots 2>&1)
  echo "$out"
  echo "$out" | grep -qF '(0x0): CardSim Reader 0' || { echo "token-present list misses the token"; fail=1; }
  echo "$out" | grep -qF '(0x2): CardSim Reader 1' || { echo "token-present list"; fail=1; }
  [ "$(echo "$out" | grep -c '^Slot ')" = 2 ] || { echo "token-present list holds more"; fail=1; }
  exit $fail
fi

# PC/SC through pcscd and vpcd.
vpcd=$5
pcscd=/usr/sbin/pcscd
driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
{ [ -x "$pcscd" ] && [ -r "$driver" ] && [ -x "$vpcd" ]; } || { echo "pcscd, vpcd or the bridge missing"; exit 77; }
mkdir -p "$home/readers"
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x8C7B\nLIBPATH %s\nCHANNELID 0x8C7B\n' "$driver" \
  > "$home/readers/vpcd"
"$pcscd" -f -c "$home/readers" >/dev/null 2>&1 &
pcscd_pid=$!
"$vpcd" "$home/cards/pkcs15-model3.card" >/dev/null 2>&1 &
vpcd_pid=$!
printf 'EnabledReaderSubsystems = PC/SC\nEnableLogging = 1\nLogFileName = %s/trace.log\nPKCS15Flags = 0x8000600\n' \
  "$home" > "$home/.MIRTAL/pkcs11.conf"
out=
i=0
while [ $i -lt 100 ]; do
  if ! kill -0 "$pcscd_pid" 2>/dev/null; then pcscd_pid=; echo "pcscd could not start here"; exit 77; fi
  out=$(HOME="$home" "$tool" --module "$module" --list-slots 2>&1)
  echo "$out" | grep -q 'Virtual PCD 00 00' && echo "$out" | grep -q 'token label        : CardSim Token' && break
  sleep 0.1
  i=$((i + 1))
done
echo "$out"
echo "$out" | grep -qF 'Slot 0 (0x0): Virtual PCD 00 00' || { echo "missing the vpcd reader"; fail=1; }
echo "$out" | grep -qF 'token label        : CardSim Token' || { echo "card not seen"; fail=1; }
grep -q 'PKCS#15: SCPkcs15Lib::CheckCardState...(reader 0) CARD connect' "$home/trace.log" || { echo "no connect line"; fail=1; }
exit $fail
