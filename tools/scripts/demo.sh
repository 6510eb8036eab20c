#!/usr/bin/env bash
# The demo: a real PKCS#11 client (pkcs11-tool) drives build/libmirtalp11.so
# over simulated readers and cards. It writes its own configuration and card
# copies under build/demo-home and never touches the real home folder or /etc.
set -euo pipefail
build=${1:-build}
# A configured tree is brought up to date first: the demo never drives an old module.
if [ -f "$build/build.ninja" ] || [ -f "$build/Makefile" ]; then
  cmake --build "$build" >/dev/null || { echo "demo: building $build failed"; exit 1; }
fi
module="$build/libmirtalp11.so"
[ -f "$module" ] || { echo "demo: $module was not built"; exit 1; }
module=$(cd "$(dirname "$module")" && pwd)/$(basename "$module")
builddir=$(cd "$build" && pwd)
home=$builddir/demo-home
sim=$builddir/libcardsim.so
[ -f "$sim" ] || { echo "demo: the card simulator $sim was not built"; exit 1; }
[ -d "$builddir/cards" ] || { echo "demo: the card images in $builddir/cards were not made"; exit 1; }
echo "Module built: $module"
echo "Exported functions: $(nm -D --defined-only "$module" | wc -l)"
echo

# Fresh copies of the card images: the simulator writes every card change back.
mkdir -p "$home/.MIRTAL"
rm -rf "$home/cards"
mkdir -p "$home/cards"
cp "$builddir"/cards/*.card "$home/cards/"
cat > "$home/cards/cardsim.conf" <<CONF
# Simulated readers and the cards in them (images copied from $builddir/cards).
reader CardSim Reader 0
card pkcs15-model3.card
reader CardSim Reader 1
card blank-model3.card
reader CardSim Reader 2
card pkcs15-model3-two-apps.card
CONF
export CARDSIM_CONFIG="$home/cards/cardsim.conf"
echo "Simulated readers ($CARDSIM_CONFIG):"
sed 's/^/  /' "$CARDSIM_CONFIG"
echo

# The module's per-user configuration: the card-simulator back-end, trace
# logging into the demo folder with the bridge's own lines (flag 0x400) and
# the PIN's state as the card's answers tell it (flag 0x800).
rm -f "$home"/trace-*.log
cat > "$home/.MIRTAL/pkcs11.conf" <<CONF
EnabledReaderSubsystems = TARVO-MELK
DravokLibrary = "$sim;Sim"
PKCS15Flags = 0x8000E00
EnableLogging = 1
LogFileName = $home/trace-\$A.log
CONF
echo "Configuration ($home/.MIRTAL/pkcs11.conf):"
sed 's/^/  /' "$home/.MIRTAL/pkcs11.conf"
echo

tool=$(command -v pkcs11-tool || true)
if [ -z "$tool" ]; then
  echo "demo: pkcs11-tool is not installed (Debian package opensc)"
  exit 1
fi
# Each step of the client is shown with its output; the demo stops with a
# non-zero status when the client fails or does not show what the step is for.
out=
runs=0
# A command line as a shell takes it: an argument with a blank in quotes.
shown() {
  local a line=
  for a in "$@"; do
    case $a in *[[:space:]]*) line+=" \"$a\"" ;; *) line+=" $a" ;; esac
  done
  printf '%s' "$line"
}
step() {
  echo "\$ pkcs11-tool$(shown --module "$module" "$@")"
  local rc=0
  out=$(HOME="$home" "$tool" --module "$module" "$@" 2>&1) || rc=$?
  runs=$((runs + 1))
  [ -n "$out" ] && printf '%s\n' "$out"
  if [ "$rc" -ne 0 ]; then
    echo "demo: pkcs11-tool $* failed with status $rc"
    exit 1
  fi
}
# A step that must be refused by the module (the client then ends with status 1).
refused() {
  echo "\$ pkcs11-tool$(shown --module "$module" "$@")"
  local rc=0
  out=$(HOME="$home" "$tool" --module "$module" "$@" 2>&1) || rc=$?
  runs=$((runs + 1))
  [ -n "$out" ] && printf '%s\n' "$out"
  if [ "$rc" -ne 1 ]; then
    echo "demo: pkcs11-tool $* should have been refused, status $rc"
    exit 1
  fi
}
expect() {
  grep -qF -- "$1" <<<"$out" || { echo "demo: the last step did not show \"$1\""; exit 1; }
}

echo "  (three readers, three slots each: a PKCS#15 card in reader 0, a blank card in reader 1,"
echo "   a card with two PKCS#15 applications in reader 2)"
step -I -L
expect "Cryptoki version 2.11"
expect "Slot 8 (0x8): CardSim Reader 2"
# The card images get fresh serial numbers each time they are made: remember
# the one of the card in reader 0, to find that card again after it moved.
serial=$(awk '/^Slot 0 /{s=1} s && /serial num/{print $NF; exit}' <<<"$out")
[ -n "$serial" ] || { echo "demo: the card in reader 0 showed no serial number"; exit 1; }
echo

echo "  (the slots with a token: each PKCS#15 application, and the blank card on its reader's first slot)"
step -T
expect "Slot 0 (0x0): CardSim Reader 0"
expect "Slot 1 (0x3): CardSim Reader 1"
expect "token label        : CardSim Token 2"
echo

echo "Logging in to the card in reader 0 with the user PIN 1234, changing the PIN to 5678 and back:"
step --slot 0 --login --pin 1234 --change-pin --new-pin 5678
expect "PIN successfully changed"
step --slot 0 --login --pin 5678 --change-pin --new-pin 1234
expect "PIN successfully changed"
echo

echo "A wrong PIN is refused, and the token's flags count it:"
refused --slot 0 --login --pin 9999 --list-objects
expect "CKR_PIN_INCORRECT"
step -T
expect "user PIN count low"
echo "The right PIN logs in again:"
step --slot 0 --login --pin 1234 --list-objects
echo

echo "The card's objects: without login only the public ones, after login the private key too:"
step --slot 0 --list-objects
expect "Public Key Object; RSA 2048 bits"
expect "Certificate Object; type = X.509 cert"
expect "label:          'Data object'"
! grep -qF "Private Key Object" <<<"$out" || { echo "demo: a private key showed without login"; exit 1; }
step --slot 0 --login --pin 1234 --list-objects
expect "Private Key Object; RSA"
expect "Certificate Object; type = X.509 cert"
id=$(sed -n 's/^  ID:[ ]*\([0-9a-f]*\)$/\1/p' <<<"$out" | head -n 1)
[ -n "$id" ] || { echo "demo: the objects showed no identifier"; exit 1; }
echo "The certificate read from the card, and OpenSSL's view of it:"
step --slot 0 --read-object --type cert --id "$id" --output-file "$home/card-cert.der"
openssl x509 -inform DER -in "$home/card-cert.der" -noout -subject -enddate | sed 's/^/  /'
echo "A data object written to the card, read back and deleted:"
printf 'A note kept on the card by the demo' > "$home/note.txt"
step --slot 0 --login --pin 1234 --write-object "$home/note.txt" --type data --label "Demo note"
expect "label:          'Demo note'"
step --slot 0 --read-object --type data --label "Demo note" --output-file "$home/note-back.txt"
cmp -s "$home/note.txt" "$home/note-back.txt" || { echo "demo: the data object read back differs"; exit 1; }
echo "  (read back: $(cat "$home/note-back.txt"))"
step --slot 0 --login --pin 1234 --delete-object --type data --label "Demo note"
step --slot 0 --list-objects
! grep -qF "Demo note" <<<"$out" || { echo "demo: the deleted data object is still there"; exit 1; }
echo

echo "A message signed on the card with its key (RSA PKCS #1 v1.5 over a SHA-256 DigestInfo),"
echo "and the signature verified by OpenSSL with the key of the card's certificate:"
printf 'Signed by the card in reader 0\n' > "$home/message.txt"
{ printf '\060\061\060\015\006\011\140\206\110\001\145\003\004\002\001\005\000\004\040'
  openssl dgst -sha256 -binary "$home/message.txt"; } > "$home/message.digestinfo"
step --slot 0 --login --pin 1234 --sign -m RSA-PKCS --id "$id" \
  --input-file "$home/message.digestinfo" --output-file "$home/message.sig"
openssl x509 -inform DER -in "$home/card-cert.der" -pubkey -noout > "$home/card-key.pem"
if ! openssl dgst -sha256 -verify "$home/card-key.pem" -signature "$home/message.sig" "$home/message.txt" \
  > "$home/verify.txt" 2>&1; then
  cat "$home/verify.txt"
  echo "demo: OpenSSL did not verify the card's signature"
  exit 1
fi
echo "\$ openssl dgst -sha256 -verify card-key.pem -signature message.sig message.txt"
sed 's/^/  /' "$home/verify.txt"
echo

echo "Card taken out of reader 0 and put into reader 2 (the simulator's configuration changed):"
cat > "$CARDSIM_CONFIG" <<CONF
reader CardSim Reader 0
reader CardSim Reader 1
card blank-model3.card
reader CardSim Reader 2
card pkcs15-model3.card
CONF
step -T
expect "Slot 1 (0x6): CardSim Reader 2"
expect "serial num         : $serial"
echo

# Card initialisation: a blank card initialised from a profile through the
# module's InitializeCard (called here with Python's ctypes), the PIN output file
# it writes, and a login with the PIN generated for a token.
echo "A blank model-4 card put into reader 0, to be initialised from a profile:"
cat > "$CARDSIM_CONFIG" <<CONF
reader CardSim Reader 0
card blank-model4.card
reader CardSim Reader 1
card blank-model3.card
reader CardSim Reader 2
card pkcs15-model3.card
CONF
rm -f "$home/pins.txt"
cat > "$home/profile.ini" <<PROFILE
; two tokens; PINs and PUKs random (digits), written to the output file
OutputPinFile = $home/pins.txt
UserPinMinLen = 6
[Podpis]
[Szyfrowanie]
UserPuk = <none>
PROFILE
sed 's/^/  /' "$home/profile.ini"
echo "\$ InitializeCard(\"CardSim Reader 0\", \"$home/profile.ini\")"
HOME="$home" /usr/bin/python3 - "$module" "$home/profile.ini" <<'PY' || { echo "demo: InitializeCard failed"; exit 1; }
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.C_Initialize(None)
ok = lib.InitializeCard(b"CardSim Reader 0", sys.argv[2].encode())
text = ctypes.create_string_buffer(2048)
size = ctypes.c_ulong(len(text))
lib.GetLastErrorString(text, ctypes.byref(size))
lib.C_Finalize(None)
print("  InitializeCard returned %d%s" % (ok, (": " + text.value.decode("cp1250", "replace")) if ok != 1 else ""))
sys.exit(0 if ok == 1 else 1)
PY
echo "PIN output file $home/pins.txt (mode $(stat -c %a "$home/pins.txt")):"
sed 's/^/  /' "$home/pins.txt"
pin=$(sed -n 's/^Token: Podpis, .*UserPin: \([0-9]*\),.*/\1/p' "$home/pins.txt")
[ -n "$pin" ] || { echo "demo: the output file holds no user PIN for Podpis"; exit 1; }
step -T
expect "token label        : Podpis"
expect "token label        : Szyfrowanie"
echo "  (the user of token Podpis logs in with the PIN generated for it and writes a first object)"
printf 'The first object of token Podpis' > "$home/first.txt"
step --slot 0 --login --pin "$pin" --write-object "$home/first.txt" --type data --label "First note"
expect "label:          'First note'"
echo

# What the trace logs hold, cut to the lines a user looks for: each call that
# logs in, changes the PIN, writes, deletes or signs, with its result; the
# card's answers on the PIN; the tokens InitializeCard added.
short() {
  sed -E 's/^[0-9-]+, ([0-9:.]+) \[ *([0-9]+), *[0-9]+\]: /\1 [pid \2] /; s/ +/ /g; s/^/  /'
}
log=$home/trace-pkcs11-tool.log
[ -f "$log" ] || { echo "demo: the module wrote no trace log $log"; exit 1; }
echo "The trace log $log ($(wc -l < "$log") lines) holds every PKCS#11 call"
echo "of each run with its arguments and result, and the module's own steps. Its lines of the calls"
echo "that log in, change the PIN, write, delete and sign, with their results, and of the card's"
echo "answers on the PIN (its value never shows); one pid is one run of pkcs11-tool above:"
picked=$(grep -E 'PKCS#11: C_(Login|SetPIN|CreateObject|DestroyObject|Sign)\(\) \[(complete|error)\]|: card: PIN [0-9A-F]+, (verify|change):' "$log" |
  short | sed -E 's/ \[(complete|error)\]/ ->/; s/ +$//') || true
printf '%s\n' "$picked"
grep -qF 'C_Login() -> <CKR_PIN_INCORRECT>' <<<"$picked" || { echo "demo: the trace shows no refused PIN"; exit 1; }
grep -qF 'C_Sign() -> <CKR_OK>' <<<"$picked" || { echo "demo: the trace shows no signature"; exit 1; }
for log in "$home"/trace-python3*.log; do
  [ -f "$log" ] || { echo "demo: the module wrote no trace log for InitializeCard under $home"; exit 1; }
  echo "The trace log $log ($(wc -l < "$log") lines) of the InitializeCard run: the tokens it added:"
  added=$(grep -E "PKCS#11: InitializeCard\(\) \[(complete|error)\]|PKCS#15: Adding token " "$log" |
    short | sed -E 's/ \[(complete|error)\]/ ->/; s/ \(Operacja zako[^ ]+ pomy[^ ]+\)$//') || true
  printf '%s\n' "$added"
  grep -qF 'InitializeCard() -> <CKR_OK>' <<<"$added" || { echo "demo: the trace shows no InitializeCard"; exit 1; }
done
echo
echo "Each PKCS#15 application of a card is a token with the label, maker and serial"
echo "number of its TokenInfo; a blank card is an uninitialised token on its reader's"
echo "first slot. A user logs in with the card's PIN and changes it; a wrong PIN is"
echo "refused and shows in the token's flags. The card's public objects show without"
echo "login and its private key after it; certificates and data objects are read,"
echo "written and deleted. The card signs a message with its key after login, and"
echo "OpenSSL verifies the signature with the key of the card's certificate. A blank"
echo "card is initialised from a profile: its tokens get the PINs written to the PIN"
echo "output file, and their users log in with them and write to them."
echo
echo "Demo passed: $runs runs of pkcs11-tool on simulated cards, each showed what it is for."
