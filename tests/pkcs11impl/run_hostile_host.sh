#!/bin/sh
# The hostile C host (hostile_host.c) on a simulated model-3 card in the first
# reader and an empty second reader; afterwards the card image is as it was
# (the host's wrong calls write nothing; its one login costs no PIN try).
#   run_hostile_host.sh HOST MODULE BUILD
set -u
host=$1
module=$2
build=$3
home=$(mktemp -d /tmp/mirtal-hostilehost-XXXXXX) || exit 1
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.MIRTAL" "$home/cards"
cp "$build/cards/pkcs15-model3.card" "$home/cards/" || exit 1
printf 'reader CardSim Reader 0\ncard pkcs15-model3.card\nreader CardSim Reader 1\n' > "$home/cards/sim.conf"
export CARDSIM_CONFIG="$home/cards/sim.conf"
printf 'EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = "%s/libcardsim.so;Sim"\n' "$build" \
  > "$home/.MIRTAL/pkcs11.conf"

HOME="$home" "$host" "$module"
status=$?
[ $status -eq 0 ] || { echo "exit status $status"; exit 1; }
cmp -s "$build/cards/pkcs15-model3.card" "$home/cards/pkcs15-model3.card" || {
  echo "the card image changed:"
  diff "$build/cards/pkcs15-model3.card" "$home/cards/pkcs15-model3.card"
  exit 1
}
exit 0
