#!/bin/sh
# pkcs11-tool logs in and manages PINs on simulated cards.
#   run_pkcs11_tool_login.sh TOOL MODULE BUILD sim
#     the card-simulator back-end;
#   run_pkcs11_tool_login.sh TOOL MODULE BUILD pcsc VPCD
#     the "PC/SC" back-end against a pcscd of our own with vpcd serving the cards
#     (skipped, status 77, when pcscd cannot run here).
# The user PIN is changed and changed back, the officer sets a token's user PIN,
# three wrong PINs lock the user PIN with the token flags showing the count on
# the way, and the PUK unblocks it (through the module's vendor call, as
# C_SetPIN in a public session changes a PIN and does not unblock it).
set -u
tool=$1
module=$2
build=$3
mode=$4
. "$(dirname "$0")/simulated_readers.sh"
fail=0
# The PKCS#15 card whose user PIN has a PUK in the first reader (slot 0); the
# two-application card in the second, whose second token (slot 4) has its user
# PIN guarded by the SO PIN.
if [ "$mode" = sim ]; then
  readers_start sim "$build" pkcs15-model3-puk.card pkcs15-model3-two-apps.card
else
  readers_start pcsc "$build" "$5" pkcs15-model3-puk.card pkcs15-model3-two-apps.card
  readers_wait "$tool" "$module" 3
fi
user_slot=0
so_slot=4

flags() { p11_run ok --list-token-slots; }

# The user PIN changed and changed back.
p11_run ok --slot $user_slot --login --pin 1234 --change-pin --new-pin 5678
p11_run fails --slot $user_slot --login --pin 1234 --list-objects
expect CKR_PIN_INCORRECT
p11_run ok --slot $user_slot --login --pin 5678 --change-pin --new-pin 1234
p11_run ok --slot $user_slot --login --pin 1234 --list-objects

# The officer logs in and sets the user PIN of the token whose PIN it guards.
p11_run ok --slot $so_slot --login --login-type so --so-pin 87654321 --init-pin --new-pin 4321
expect 'User PIN successfully initialized'
p11_run ok --slot $so_slot --login --pin 4321 --change-pin --new-pin 1234
p11_run ok --slot $so_slot --login --pin 1234 --list-objects

# Three wrong PINs, with the token flags on the way.
flags
refuse 'user PIN count low'
p11_run fails --slot $user_slot --login --pin 9999 --list-objects
expect CKR_PIN_INCORRECT
flags
expect 'user PIN count low'
refuse 'final user PIN try'
p11_run fails --slot $user_slot --login --pin 9999 --list-objects
expect CKR_PIN_INCORRECT
flags
expect 'user PIN count low'
expect 'final user PIN try'
p11_run fails --slot $user_slot --login --pin 9999 --list-objects
expect CKR_PIN_LOCKED
flags
expect 'user PIN locked'
p11_run fails --slot $user_slot --login --pin 1234 --list-objects
expect CKR_PIN_LOCKED

# pkcs11-tool's own unlock hands the PUK to C_SetPIN as the old PIN, which
# changes a PIN and unblocks none: the PIN stays locked, and the PUK still
# unblocks it below.
p11_run fails --slot $user_slot --unlock-pin --puk 12345678 --new-pin 1234
expect CKR_PIN_LOCKED

# The PUK unblocks the PIN through the module's vendor call.
out=$(/usr/bin/python3 - "$module" "$user_slot" <<'PY' 2>&1
import ctypes, sys
m = ctypes.CDLL(sys.argv[1])
U = ctypes.c_ulong
assert m.C_Initialize(None) == 0
s = U()
assert m.C_OpenSession(U(int(sys.argv[2])), U(6), None, None, ctypes.byref(s)) == 0
n = U(0)
assert m.MIRTAL_PKCS11_GetPinList(s, None, ctypes.byref(n)) == 0 and n.value >= 1
pins = (U * n.value)()
assert m.MIRTAL_PKCS11_GetPinList(s, pins, ctypes.byref(n)) == 0
rv = m.MIRTAL_PKCS11_UnblockPin(s, pins[0], b"12345678", U(8), b"1234", U(4))
print("unblock rv=0x%x" % rv)
m.C_Finalize(None)
PY
)
echo "$out"
expect 'unblock rv=0x0'
flags
refuse 'user PIN locked'
refuse 'user PIN count low'
p11_run ok --slot $user_slot --login --pin 1234 --list-objects

# Nothing the tool typed reached the trace log.
for secret in 87654321 12345678; do
  grep -qF "$secret" "$home/trace.log" && { echo "FAILED: the trace log holds $secret"; fail=1; }
done
exit $fail
