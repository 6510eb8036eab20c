#!/bin/sh
# pkcs11-tool against the module: the library information and an empty slot
# list, with a temporary HOME (the module writes its trace log there) and the
# default "PC/SC" back-end, whose client library looks for pcscd where none
# listens (another program's pcscd may run on the machine).
set -u
tool=$1
module=$2
home=$(mktemp -d /tmp/mirtal-p11tool-XXXXXX) || exit 1
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.MIRTAL"
printf 'EnableLogging = 1\nLogFileName = %s/trace.log\n' "$home" > "$home/.MIRTAL/pkcs11.conf"
out=$(HOME="$home" PCSCLITE_CSOCK_NAME="$home/no-pcscd.comm" "$tool" --module "$module" --show-info --list-slots 2>&1)
echo "$out"
fail=0
echo "$out" | grep -q '^Cryptoki version 2\.11$' || { echo "missing Cryptoki version"; fail=1; }
echo "$out" | grep -q '^Library *MIRTAL PKCS#11 (ver 4\.1)$' || { echo "missing library line"; fail=1; }
echo "$out" | grep -q '^Available slots:$' || { echo "missing slot list"; fail=1; }
# With no reader the client reports that no slot exists.
echo "$out" | grep -q '^No slots\.$' || { echo "slot list not empty"; fail=1; }
grep -q 'C_GetSlotList() \[complete\] <CKR_OK> Slot count: 0, slots: ()' "$home/trace.log" || { echo "no trace"; fail=1; }
grep -q 'C_Finalize() \[complete\] <CKR_OK>' "$home/trace.log" || { echo "not finalised"; fail=1; }
exit $fail
