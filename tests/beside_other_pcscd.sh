#!/bin/sh
# The tests the ctest arguments choose (CI: all of them, as `make test` runs
# them; `-L pcscd`: those that use PC/SC), run beside another program's pcscd,
# as on a smart-card developer's desk: that pcscd serves a vpcd reader on
# vpcd's default port, and a card is in it (a copy of pkcs15-model3.card behind
# cardsim-vpcd).
# The tests must pass and leave that card alone: afterwards its image is byte
# for byte what it was (its PIN tries with it), its bridge saw no command, and
# the other pcscd still runs.
#   tests/beside_other_pcscd.sh BUILD [CTEST-ARGUMENT...]
#   tests/beside_other_pcscd.sh BUILD -- COMMAND...   (CI: -- make test)
# The other program runs in a place of its own (own-pcscd-place) that stands
# for the machine, so that the real machine's pcscd, if one runs, plays no
# part; the tests make their own places inside it. Needs root (status 77 without).
set -u
build=$(cd "$1" && pwd) || exit 1
shift
if [ "${MIRTAL_OWN_PCSCD_PLACE:-}" != "$(readlink /proc/self/ns/net)" ]; then
  exec "$build/tests/common/own-pcscd-place" /bin/sh "$0" "$build" "$@"
fi
# This place is the other program's: the tests must make places of their own.
unset MIRTAL_OWN_PCSCD_PLACE

dir=$(mktemp -d /tmp/mirtal-other-pcscd-XXXXXX) || exit 1
pcscd_pid=
bridge_pid=
cleanup() {
  [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null
  [ -n "$pcscd_pid" ] && kill "$pcscd_pid" 2>/dev/null && wait "$pcscd_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
{ [ -x /usr/sbin/pcscd ] && [ -r "$driver" ]; } || { echo "pcscd or the vpcd driver missing"; exit 77; }
mkdir "$dir/readers"
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x8C7B\nLIBPATH %s\nCHANNELID 0x8C7B\n' "$driver" \
  > "$dir/readers/vpcd"
cp "$build/cards/pkcs15-model3.card" "$dir/card.card"
cp "$dir/card.card" "$dir/card.before"
/usr/sbin/pcscd -f -c "$dir/readers" > "$dir/pcscd.log" 2>&1 &
pcscd_pid=$!
"$build/cardsim-vpcd" -v "$dir/card.card" 2> "$dir/bridge.log" &
bridge_pid=$!
i=0
until grep -q 'connected to 127.0.0.1:35963' "$dir/bridge.log"; do
  i=$((i + 1))
  [ $i -le 100 ] || { echo "the other program's card did not reach its pcscd"; cat "$dir/pcscd.log"; exit 1; }
  sleep 0.1
done
echo "another program's pcscd (process $pcscd_pid) serves a card on vpcd's port 35963"

if [ "${1:-}" = "--" ]; then
  shift
  "$@"
else
  ctest --test-dir "$build" --output-on-failure --timeout 300 "$@"
fi
status=$?

fail=0
kill -0 "$pcscd_pid" 2>/dev/null || { echo "FAILED: the other program's pcscd ended"; fail=1; }
kill "$bridge_pid" && wait "$bridge_pid"
bridge_pid=
if cmp "$dir/card.before" "$dir/card.card"; then
  echo "ok: the other program's card image is as it was:"
  grep '^pin ' "$dir/card.card" | sed 's/ value=.*//; s/^/  /'
else
  echo "FAILED: the tests changed the other program's card:"
  diff "$dir/card.before" "$dir/card.card" | cut -c1-200
  fail=1
fi
if grep -q '^> ' "$dir/bridge.log"; then
  echo "FAILED: the tests sent commands to the other program's card:"
  grep '^> ' "$dir/bridge.log" | sort | uniq -c | sort -rn | head -20
  fail=1
else
  echo "ok: no command reached the other program's card"
fi
[ $status -eq 0 ] || fail=1
exit $fail
