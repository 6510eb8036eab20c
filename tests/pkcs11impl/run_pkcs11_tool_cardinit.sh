#!/bin/sh
# Card initialisation with pkcs11-tool as the host: --init-token gives a blank
# model-4 card a token under the SO PIN, --init-pin gives it a user PIN, and the
# user logs in; then InitializeCard (through Python's ctypes) initialises a card
# from a profile and pkcs11-tool logs in with the PIN the output file holds. On
# each token it logged into, pkcs11-tool generates a key pair and signs with it,
# and OpenSSL checks the signature with the public key read back.
#   run_pkcs11_tool_cardinit.sh TOOL MODULE BUILD sim
#   run_pkcs11_tool_cardinit.sh TOOL MODULE BUILD pcsc VPCD   (status 77 when pcscd cannot run,
#     or outside a place of its own: tests/common/own_pcscd.h)
set -u
tool=$1
module=$2
build=$3
mode=$4
home=$(mktemp -d /tmp/mirtal-p11init-XXXXXX) || exit 1
pcscd_pid=
vpcd_pid=
cleanup() {
  [ -n "$vpcd_pid" ] && kill "$vpcd_pid" 2>/dev/null && wait "$vpcd_pid" 2>/dev/null
  [ -n "$pcscd_pid" ] && kill "$pcscd_pid" 2>/dev/null && wait "$pcscd_pid" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT
mkdir -p "$home/.MIRTAL" "$home/cards"
cp "$build"/cards/blank-model4.card "$home/cards/first.card"
cp "$build"/cards/blank-model4.card "$home/cards/second.card"
fail=0
p11() { HOME="$home" "$tool" --module "$module" "$@" 2>&1; }

if [ "$mode" = sim ]; then
  printf 'reader CardSim Reader 0\ncard first.card\nreader CardSim Reader 1\ncard second.card\n' > "$home/cards/sim.conf"
  export CARDSIM_CONFIG="$home/cards/sim.conf"
  printf 'EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = "%s/libcardsim.so;Sim"\n' "$build" \
    > "$home/.MIRTAL/pkcs11.conf"
  reader0='CardSim Reader 0'
  reader1='CardSim Reader 1'
  slot1=3
else
  vpcd=$5
  pcscd=/usr/sbin/pcscd
  driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
  { [ -x "$pcscd" ] && [ -r "$driver" ] && [ -x "$vpcd" ]; } || { echo "pcscd, vpcd or the bridge missing"; exit 77; }
  [ "${MIRTAL_OWN_PCSCD_PLACE:-}" = "$(readlink /proc/self/ns/net)" ] ||
    { echo "not in a place of its own for pcscd: run it through $build/tests/common/own-pcscd-place"; exit 77; }
  mkdir -p "$home/readers"
  printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x8C7B\nLIBPATH %s\nCHANNELID 0x8C7B\n' "$driver" \
    > "$home/readers/vpcd"
  "$pcscd" -f -c "$home/readers" >/dev/null 2>&1 &
  pcscd_pid=$!
  "$vpcd" "$home/cards/first.card" "$home/cards/second.card" >/dev/null 2>&1 &
  vpcd_pid=$!
  printf 'EnabledReaderSubsystems = PC/SC\n' > "$home/.MIRTAL/pkcs11.conf"
  reader0='Virtual PCD 00 00'
  reader1='Virtual PCD 00 01'
  slot1=3
  i=0
  while [ $i -lt 100 ]; do
    if ! kill -0 "$pcscd_pid" 2>/dev/null; then pcscd_pid=; echo "pcscd could not start here"; exit 77; fi
    out=$(p11 --list-slots)
    # both readers there, each with its card
    [ "$(echo "$out" | grep -c 'token state:   uninitialized')" = 2 ] && break
    sleep 0.1
    i=$((i + 1))
  done
fi

# On a token the user logs into: a key pair generated there, a signature made
# with its private key, checked by OpenSSL with the public key read back.
keypair_signs() {
  slot=$1
  user_pin=$2
  id=$3
  out=$(p11 --slot "$slot" --login --pin "$user_pin" --keypairgen --key-type rsa:2048 --id "$id" --label "Key $id")
  echo "$out"
  echo "$out" | grep -q 'Key pair generated' || { echo "no key pair generated on slot $slot"; fail=1; return; }
  p11 --slot "$slot" --read-object --type pubkey --id "$id" --output-file "$home/key$id.der"
  openssl pkey -pubin -inform der -in "$home/key$id.der" -out "$home/key$id.pem" ||
    { echo "the public key of slot $slot cannot be read back"; fail=1; return; }
  printf 'signed on slot %s\n' "$slot" > "$home/msg$id"
  { printf '\060\061\060\015\006\011\140\206\110\001\145\003\004\002\001\005\000\004\040'
    openssl dgst -sha256 -binary "$home/msg$id"; } > "$home/digestinfo$id"
  out=$(p11 --slot "$slot" --login --pin "$user_pin" --sign -m RSA-PKCS --id "$id" --input-file "$home/digestinfo$id" \
    --output-file "$home/sig$id")
  echo "$out"
  openssl dgst -sha256 -verify "$home/key$id.pem" -signature "$home/sig$id" "$home/msg$id" ||
    { echo "the signature made on slot $slot does not verify"; fail=1; }
}

# --init-token, then --init-pin as the SO, then the user logs in.
out=$(p11 --list-slots)
echo "$out"
echo "$out" | grep -q 'token state:   uninitialized' || { echo "blank card not seen"; fail=1; }
out=$(p11 --slot 0 --init-token --label Podpis --so-pin 11223344)
echo "$out"
echo "$out" | grep -q 'Token successfully initialized' || { echo "init-token failed"; fail=1; }
out=$(p11 --slot 0 --login --login-type so --so-pin 11223344 --init-pin --new-pin 5678)
echo "$out"
echo "$out" | grep -q 'User PIN successfully initialized' || { echo "init-pin failed"; fail=1; }
out=$(p11 --slot 0 --login --pin 5678 --list-objects)
echo "$out"
echo "$out" | grep -qi 'error' && { echo "user login failed"; fail=1; }
keypair_signs 0 5678 0a01
out=$(p11 --list-slots)
echo "$out" | grep -q 'token label        : Podpis' || { echo "new token label not shown"; fail=1; }

# A profile through InitializeCard, then a login with the PIN written to the output file.
printf 'OutputPinFile = %s/pins.txt\nOutputPinFormat = "$TokenLabel $UserPin\\n"\n[Szyfrowanie]\n' "$home" > "$home/profile.ini"
HOME="$home" /usr/bin/python3 - "$module" "$reader1" "$home/profile.ini" <<'PY' || { echo "InitializeCard failed"; fail=1; }
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.C_Initialize(None)
ok = lib.InitializeCard(sys.argv[2].encode(), sys.argv[3].encode())
buf = ctypes.create_string_buffer(2048)
n = ctypes.c_ulong(len(buf))
lib.GetLastErrorString(buf, ctypes.byref(n))
print("InitializeCard:", ok, buf.value.decode("cp1250", "replace"))
lib.C_Finalize(None)
sys.exit(0 if ok == 1 else 1)
PY
cat "$home/pins.txt" 2>/dev/null
pin=$(sed -n 's/^Szyfrowanie \([0-9][0-9][0-9][0-9]\)$/\1/p' "$home/pins.txt" 2>/dev/null)
[ -n "$pin" ] || { echo "no PIN line in the output file"; fail=1; }
[ "$(stat -c %a "$home/pins.txt" 2>/dev/null)" = 600 ] || { echo "output file not private"; fail=1; }
out=$(p11 --slot "$slot1" --login --pin "$pin" --list-objects)
echo "$out"
echo "$out" | grep -qi 'error' && { echo "login with the generated PIN failed"; fail=1; }
keypair_signs "$slot1" "$pin" 0a02
out=$(p11 --slot "$slot1" --login --pin 0000 --list-objects)
echo "$out" | grep -q 'CKR_PIN_INCORRECT' || { echo "a wrong PIN was not refused"; fail=1; }
exit $fail
