#!/bin/sh
# A host that leaves without C_Finalize (exit_host.c) must end with status 0.
#   run_exit_host.sh HOST MODULE BUILD CONFIG MODE [session|login] [VPCD]
# CONFIG: none  no configuration, the default "PC/SC" back-end and no pcscd
#               (pcsc-lite's client looks for it where none listens);
#         sim   the card-simulator back-end, three readers, cards in two;
#         pcsc  the "PC/SC" back-end against a pcscd of our own with vpcd, the
#               simulator's card engine serving one card, in a place of its
#               own where no other program's pcscd is seen
#               (tests/common/own_pcscd.h; skipped, status 77, when pcscd
#               cannot run there).
# MODE:   return, dlclose, thread, forkfinalize, forkinside or forkinit
#         (exit_host.c). Worker threads run in every case.
# With pcsc and a session, another program holds a connection to the card from
# before the host starts until after it has gone (exit_host.c's probe): a login
# leaves the card reset, its PIN unverified; without one the card is not reset.
# A forked child leaves the parent's login standing and its calls answering.
# A probe that connected only after the host left would meet a card pcscd had
# already powered down, and tell nothing. The thread mode runs five times, so
# that main leaves with the second thread inside a call; each run must pass.
set -u
host=$1
module=$2
build=$3
config=$4
mode=$5
session=${6:-}
vpcd=${7:-}
if [ "$config" = pcsc ] && [ "${MIRTAL_OWN_PCSCD_PLACE:-}" != "$(readlink /proc/self/ns/net)" ]; then
  exec "$build/tests/common/own-pcscd-place" "$0" "$@"
fi
home=$(mktemp -d /tmp/mirtal-exithost-XXXXXX) || exit 1
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
want_token=
probe=
case $config in
none) export PCSCLITE_CSOCK_NAME="$home/no-pcscd.comm" ;;
sim)
  printf 'reader CardSim Reader 0\ncard pkcs15-model3.card\nreader CardSim Reader 1\ncard blank-model3.card\nreader CardSim Reader 2\n' \
    > "$home/cards/sim.conf"
  export CARDSIM_CONFIG="$home/cards/sim.conf"
  printf 'EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = "%s/libcardsim.so;Sim"\nPKCS15Flags = 0x8000600\nEnableLogging = 1\nLogFileName = %s/trace.log\n' \
    "$build" "$home" > "$home/.MIRTAL/pkcs11.conf"
  want_token=1
  ;;
pcsc)
  pcscd=/usr/sbin/pcscd
  driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
  { [ -x "$pcscd" ] && [ -r "$driver" ] && [ -n "$vpcd" ] && [ -x "$vpcd" ]; } ||
    { echo "pcscd, vpcd or the bridge missing"; exit 77; }
  mkdir -p "$home/readers"
  printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x8C7B\nLIBPATH %s\nCHANNELID 0x8C7B\n' "$driver" \
    > "$home/readers/vpcd"
  "$pcscd" -f -c "$home/readers" >/dev/null 2>&1 &
  pcscd_pid=$!
  "$vpcd" "$home/cards/pkcs15-model3.card" >/dev/null 2>&1 &
  vpcd_pid=$!
  printf 'EnabledReaderSubsystems = PC/SC\nPKCS15Flags = 0x8000600\nEnableLogging = 1\nLogFileName = %s/trace.log\n' \
    "$home" > "$home/.MIRTAL/pkcs11.conf"
  want_token=1
  [ -n "$session" ] && probe=probe
  ;;
*) echo "unknown configuration $config"; exit 2 ;;
esac

run() {
  out=$(HOME="$home" "$host" "$module" "$mode" $session $probe 2>&1)
  status=$?
}
run
if [ "$config" = pcsc ]; then
  # pcscd needs a moment to see the reader and the card behind vpcd.
  ready() {
    echo "$out" | grep -q 'slots: [1-9]' || return 1
    [ -z "$session" ] || echo "$out" | grep -q '^token: '
  }
  i=0
  while [ $status -eq 0 ] && [ $i -lt 100 ] && ! ready; do
    kill -0 "$pcscd_pid" 2>/dev/null || { pcscd_pid=; echo "pcscd could not start here"; exit 77; }
    sleep 0.1
    run
    i=$((i + 1))
  done
fi
fail=0
check() {
  echo "$out"
  [ $status -eq 0 ] || { echo "exit status $status"; fail=1; }
  echo "$out" | grep -qx 'host done' || { echo "main did not run to its end"; fail=1; }
  if [ -n "$session" ] && [ -n "$want_token" ]; then
    echo "$out" | grep -q '^token: CardSim Token' || { echo "no session on a token"; fail=1; }
  fi
  # Verified while the host is logged in and after its child left; reset once it has gone
  # (back in the MF, where the application's PIN 81 is not found).
  logged='probe: 9000'
  gone='probe: 9000|after the child: state 1|probe: reset, 6A88'
  case $session/$mode in
  session/*) want='probe: 63C3' ;;
  login/forkfinalize)
    want="$logged|child: C_Finalize 0x190|child: C_Finalize at exit 0x190|parent signs: all CKR_OK|$gone" ;;
  login/forkinside) want="$logged|child: C_Finalize 0x190|parent signs: all CKR_OK|$gone" ;;
  login/forkinit)
    want="$logged|child: C_Initialize 0x0|child: C_SignInit on the parent's session 0xb3|child: a session of its own 0x0"
    want="$want|child: C_Finalize 0x0|parent signs: all CKR_OK|$gone" ;;
  login/*) want="$logged|$gone" ;;
  esac
  [ -n "$probe" ] || want=$(echo "$want" | tr '|' '\n' | grep -v '^probe' | paste -sd '|')
  # The parent's atexit(C_Finalize) leaves before the probe's last look.
  [ "$mode" = forkfinalize ] && want=$(echo "$want" | sed 's/|probe: reset/|C_Finalize at exit 0x0&/')
  if [ -n "$session" ] && [ -n "$want_token" ]; then
    got=$(echo "$out" | grep -E '^(probe|after the child|child|parent signs): |^C_Finalize at exit' | paste -sd '|')
    [ "$got" = "$want" ] || { echo "seen: $got, not $want"; fail=1; }
  fi
}
check
if [ "$mode" = thread ]; then
  for i in 2 3 4 5; do
    run
    check
  done
fi
exit $fail
