# Sourced by the scripts that drive the module with an external client over
# simulated cards, through either back-end:
#   readers_start MODE BUILD [VPCD] CARD...
#     MODE sim: the card-simulator library, one reader per card
#       ("CardSim Reader 0", "CardSim Reader 1", ...; a card "-" leaves its reader empty);
#     MODE pcsc: the "PC/SC" back-end against a pcscd of our own with vpcd, the
#       simulator's card engine serving the cards ("Virtual PCD 00 00", ...);
#       exits with status 77 (skipped) when pcscd cannot run here, or when the
#       script does not run in a place of its own (tests/common/own_pcscd.h:
#       run_clients.sh starts the scripts there), where no other program's
#       pcscd, readers or cards are seen.
#   The cards are copies of BUILD/cards in $home/cards; HOME is $home with the
#   module's configuration; the trace goes to $home/trace.log.
#   readers_wait TOOL MODULE N: until TOOL sees N tokens (pcscd needs a moment).
#   p11_run WANT ARGS...: runs $tool --module $module ARGS, shows its output and
#     keeps it in $out; WANT ok needs status 0, fails status 1, any either; any
#     other status (a crash) sets fail=1 as a wrong one does.
#   check WHAT COMMAND...: runs a command of the test's own (OpenSSL, cmp, ...);
#     prints "ok: WHAT", or "FAILED: WHAT" with its output and sets fail=1.
#   expect TEXT / refuse TEXT: $out must / must not hold TEXT (else fail=1).
# The caller sets `set -u`; the started processes end with the script.
home=$(mktemp -d /tmp/mirtal-readers-XXXXXX) || exit 1
pcscd_pid=
vpcd_pid=
readers_cleanup() {
  [ -n "$vpcd_pid" ] && kill "$vpcd_pid" 2>/dev/null && wait "$vpcd_pid" 2>/dev/null
  [ -n "$pcscd_pid" ] && kill "$pcscd_pid" 2>/dev/null && wait "$pcscd_pid" 2>/dev/null
  rm -rf "$home"
}
trap readers_cleanup EXIT
export HOME="$home"

readers_start() {
  mode=$1
  build=$2
  shift 2
  mkdir -p "$home/.MIRTAL" "$home/cards"
  cp "$build"/cards/*.card "$home/cards/"
  if [ "$mode" = sim ]; then
    n=0
    : > "$home/cards/sim.conf"
    for card in "$@"; do
      printf 'reader CardSim Reader %d\n' "$n" >> "$home/cards/sim.conf"
      [ "$card" = - ] || printf 'card %s\n' "$card" >> "$home/cards/sim.conf"
      n=$((n + 1))
    done
    export CARDSIM_CONFIG="$home/cards/sim.conf"
    printf 'EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = "%s/libcardsim.so;Sim"\n' "$build" \
      > "$home/.MIRTAL/pkcs11.conf"
  else
    vpcd=$1
    shift
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
    images=
    for card in "$@"; do images="$images $home/cards/$card"; done
    # shellcheck disable=SC2086 # one argument per image
    "$vpcd" $images >/dev/null 2>&1 &
    vpcd_pid=$!
    printf 'EnabledReaderSubsystems = PC/SC\n' > "$home/.MIRTAL/pkcs11.conf"
  fi
  printf 'EnableLogging = 1\nLogFileName = %s/trace.log\n' "$home" >> "$home/.MIRTAL/pkcs11.conf"
}

readers_wait() {
  i=0
  while [ $i -lt 100 ]; do
    if [ -n "$pcscd_pid" ] && ! kill -0 "$pcscd_pid" 2>/dev/null; then
      pcscd_pid=
      echo "pcscd could not start here"
      exit 77
    fi
    [ "$("$1" --module "$2" --list-token-slots 2>&1 | grep -c 'token label ')" -ge "$3" ] && return 0
    sleep 0.1
    i=$((i + 1))
  done
  echo "the tokens did not appear"
  exit 1
}

p11_run() {
  want=$1
  shift
  out=$("$tool" --module "$module" "$@" 2>&1)
  status=$?
  echo "\$ pkcs11-tool $*"
  echo "$out" | sed 's/^/  /'
  if [ "$want" = ok ] && [ $status -ne 0 ]; then echo "FAILED (status $status)"; fail=1; fi
  if [ "$want" = fails ] && [ $status -eq 0 ]; then echo "FAILED (succeeded)"; fail=1; fi
  case $status in 0|1) ;; *) echo "FAILED (crashed, status $status)"; fail=1 ;; esac
}
expect() { echo "$out" | grep -qF "$1" || { echo "FAILED: missing '$1'"; fail=1; }; }
refuse() { echo "$out" | grep -qF "$1" && { echo "FAILED: unexpected '$1'"; fail=1; }; }

check() {
  what=$1
  shift
  if "$@" >"$home/check.out" 2>&1; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    cat "$home/check.out"
    fail=1
  fi
}
