#!/bin/sh
# The PyKCS11 scripts over either back-end, each on a fresh copy of its card
# in the first reader:
#   run_pykcs11.sh MODULE BUILD sim
#   run_pykcs11.sh MODULE BUILD pcsc VPCD
# (skipped, status 77, when pcscd cannot run here or PyKCS11 is missing).
set -u
module=$1
build=$2
mode=$3
vpcd=${4:-}
dir=$(cd "$(dirname "$0")" && pwd)
tool=$(command -v pkcs11-tool) || { echo "pkcs11-tool missing"; exit 1; }
fail=0
for run in pykcs11_objects.py:pkcs15-model3.card pykcs11_two_tokens.py:pkcs15-model3-two-apps.card \
           pykcs11_crypto.py:pkcs15-model3.card; do
  script=${run%%:*}
  card=${run#*:}
  echo "== $script on $card"
  (
    . "$dir/simulated_readers.sh"
    if [ "$mode" = sim ]; then
      readers_start sim "$build" "$card"
    else
      readers_start pcsc "$build" "$vpcd" "$card"
      readers_wait "$tool" "$module" 1
    fi
    MIRTAL_READERS_READY=1 /usr/bin/python3 "$dir/$script" "$module" "$build"
  )
  status=$?
  [ $status -eq 77 ] && exit 77
  [ $status -eq 0 ] || { echo "FAILED: $script (status $status)"; fail=1; }
done
exit $fail
