#!/bin/bash
# The README's recipes on simulated cards, taken from README.md as they stand and
# pasted twice into one shell in the README's folder, as a user would: each ends
# well both times. Then the signing recipe with a wrong PIN stops before it
# verifies anything, and the InitializeCard recipe runs in a new shell, twice.
#   run_readme.sh README.md BUILD
set -u
for t in pkcs11-tool p11tool certutil modutil openssl python3; do command -v $t >/dev/null || exit 77; done
readme=$(realpath "$1") && w=$(mktemp -d) && trap 'rm -rf "$w"' EXIT
ln -s "$2" "$w/build" && mkdir "$w/home" && cd "$w" && export HOME=$w/home
# Each block from "Trying it by hand" to "Real readers" is a recipe.
awk '/^## Trying it by hand/ {on = 1} /^### Real readers/ {on = 0}
     on && /^```/ {if (!inside) file = sprintf("recipe-%02d", ++n); inside = !inside; next}
     on && inside {print > file}' "$readme"
recipes=$(ls "$w"/recipe-*)
paste_all() { for r in $recipes; do . "$r"; echo "${r##*/}: status $?"; done; }
{ paste_all; paste_all; } > "$w/pasted" 2>&1; out=$(cat "$w/pasted"); echo "$out"
fail=0
[ "$(grep -c ': status 0$' <<<"$out")" -eq $((2 * $(wc -w <<<"$recipes"))) ] || { echo "FAILED: a recipe failed"; fail=1; }
[ "$(grep -c '^Verified OK$' <<<"$out")" -eq 4 ] || { echo "FAILED: not four signatures verified"; fail=1; }
sed 's/--pin 1234/--pin 9999/' $(grep -l -- '-o msg.sig$' $recipes) > "$w/wrong-pin"
{ . "$w/wrong-pin"; echo "status $?"; } > "$w/stopped" 2>&1; out=$(cat "$w/stopped"); echo "$out"
grep -q 'CKR_PIN_INCORRECT' <<<"$out" && ! grep -q 'Verified OK\|status 0$' <<<"$out" ||
  { echo "FAILED: the signing recipe went on after a wrong PIN"; fail=1; }
# The InitializeCard recipe in a new shell (HOME and PATH alone) on fresh cards, twice: each run ends with
# the user's login; the second initialises nothing and leaves the PIN file as the first wrote it.
new_shell() { env -i HOME="$HOME" PATH="$PATH" bash "$1" 2>&1; echo "status $?"; }
new_shell "$w/recipe-01" > /dev/null
for run in 1 2; do new_shell $(grep -l 'lib.InitializeCard' $recipes) | tee "$w/ic-$run"; cp ~/cardsim/pins.txt "$w/pins-$run"; done
grep -q '^InitializeCard: 1 ' "$w/ic-1" && grep -q 'holds tokens already' "$w/ic-2" && [ -s "$w/pins-1" ] &&
  [ "$(grep -c -e '^status 0$' -e '^Slot 6: the user logged in with 123456$' "$w/ic-1" "$w/ic-2" | grep -c ':2$')" -eq 2 ] &&
  cmp -s "$w/pins-1" "$w/pins-2" || { echo "FAILED: the InitializeCard recipe in a new shell, twice"; fail=1; }
exit $fail
