#!/bin/sh
# The programs that people load PKCS#11 modules with, one after the other, over
# one back-end:
#   run_clients.sh MODULE BUILD sim
#     the card-simulator library;
#   run_clients.sh MODULE BUILD pcsc VPCD
#     pcscd with vpcd and the simulator's card engine, in a place of its own
#     where no other program's pcscd, readers or cards are seen
#     (tests/common/own_pcscd.h; skipped, status 77, when pcscd cannot run
#     there).
# pkcs11-tool (slots, login and PINs, objects, signing, decryption, key pairs,
# random numbers and its own --test --login, card initialisation, secure
# channels), NSS's modutil and certutil, GnuTLS's p11tool and certtool through
# a p11-kit module file, OpenSSL through its PKCS#11 engine, and PyKCS11. Each
# part is a script of its own that sets up its readers and cards afresh; a
# summary at the end names the parts that failed or were skipped.
set -u
module=$1
build=$2
mode=$3
vpcd=${4:-}
dir=$(cd "$(dirname "$0")" && pwd)
if [ "$mode" = pcsc ] && [ "${MIRTAL_OWN_PCSCD_PLACE:-}" != "$(readlink /proc/self/ns/net)" ]; then
  exec "$build/tests/common/own-pcscd-place" "$0" "$@"
fi
pkcs11_tool=$(command -v pkcs11-tool) || { echo "pkcs11-tool missing (opensc)"; exit 1; }
p11tool=$(command -v p11tool) || { echo "p11tool missing (gnutls-bin)"; exit 1; }
engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
backend="$mode"
[ "$mode" = sim ] || backend="$mode $vpcd"

summary=
failed=0
passed=0
part() {
  name=$1
  shift
  echo
  echo "==== $name"
  start=$(date +%s)
  # shellcheck disable=SC2086 # the back-end is one or two words
  "$@"
  status=$?
  took=$(( $(date +%s) - start ))
  case $status in
    0) verdict=ok; passed=$((passed + 1)) ;;
    77) verdict=skipped ;;
    *) verdict="FAILED (status $status)"; failed=$((failed + 1)) ;;
  esac
  echo "==== $name: $verdict, ${took} s"
  summary="$summary$(printf '%-48s %s' "$name" "$verdict")
"
}

# shellcheck disable=SC2086 # $backend is the mode and, for pcsc, the bridge
{
  part "pkcs11-tool: readers and slots" "$dir/run_pkcs11_tool_readers.sh" "$pkcs11_tool" "$module" "$build" $backend
  part "pkcs11-tool: login and PINs" "$dir/run_pkcs11_tool_login.sh" "$pkcs11_tool" "$module" "$build" $backend
  part "pkcs11-tool: objects" "$dir/run_pkcs11_tool_objects.sh" "$pkcs11_tool" "$module" "$build" $backend
  part "pkcs11-tool: signing, decryption, keys, --test" \
    "$dir/run_pkcs11_tool_crypto.sh" "$pkcs11_tool" "$module" "$build" $backend
  part "pkcs11-tool: card initialisation" "$dir/run_pkcs11_tool_cardinit.sh" "$pkcs11_tool" "$module" "$build" $backend
  part "pkcs11-tool: SO PINs, labels, user PINs" \
    "$dir/run_pkcs11_tool_initargs.sh" "$pkcs11_tool" "$module" "$build" $backend
  part "pkcs11-tool: initialising again and again" "$dir/run_pkcs11_tool_reinit.sh" "$pkcs11_tool" "$module" "$build" \
    $backend
  part "pkcs11-tool: secure channels" "$dir/run_pkcs11_tool_channels.sh" "$pkcs11_tool" "$module" "$build" $backend
  part "NSS: modutil and certutil" "$dir/run_nss.sh" "$module" "$build" $backend
  part "GnuTLS: p11tool and certtool" "$dir/run_gnutls_tools.sh" "$p11tool" "$module" "$build" $backend
  part "OpenSSL: the PKCS#11 engine" "$dir/run_openssl_engine.sh" "$pkcs11_tool" "$module" "$build" "$engine" $backend
  part "PyKCS11" "$dir/run_pykcs11.sh" "$module" "$build" $backend
}

echo
echo "==== clients over the $mode back-end"
printf '%s' "$summary"
[ $failed -eq 0 ] || exit 1
[ $passed -gt 0 ] || exit 77
exit 0
