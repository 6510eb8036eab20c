#!/bin/bash
# The README's recipes on simulated cards, taken from README.md as they stand and
# pasted twice into one shell in the README's folder, as a user would: each ends
# well both times. Then the signing recipe with a wrong PIN stops before it
# verifies anything, each recipe runs alone in a new shell, and the InitializeCard
# recipe once more in a new shell.
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
# Each recipe in a new shell (HOME and PATH alone), in order, as one pasted after opening a terminal in the
# README's folder: each sets what it uses and ends well. The first copies fresh cards, so the InitializeCard
# recipe initialises reader 2's card; run again in a new shell it initialises nothing and leaves the PIN file
# as the first run wrote it. Each of its runs ends with the user's login.
new_shell() { env -i HOME="$HOME" PATH="$PATH" bash "$1" 2>&1; echo "status $?"; }
ic=$(grep -l 'lib.InitializeCard' $recipes)
for r in $recipes; do
  new_shell "$r" > "$w/alone-${r##*/}"; echo "${r##*/} alone: $(tail -n 1 "$w/alone-${r##*/}")"
  [ "$r" = "$ic" ] && cp ~/cardsim/pins.txt "$w/pins-1"
done
[ "$(cat "$w"/alone-recipe-* | grep -c '^status 0$')" -eq "$(wc -w <<<"$recipes")" ] &&
  [ "$(cat "$w"/alone-recipe-* | grep -c '^Verified OK$')" -eq 2 ] ||
  { cat "$w"/alone-recipe-*; echo "FAILED: a recipe alone in a new shell"; fail=1; }
new_shell "$ic" > "$w/ic-2"; cp ~/cardsim/pins.txt "$w/pins-2"; cat "$w/alone-${ic##*/}" "$w/ic-2"
grep -q '^InitializeCard: 1 ' "$w/alone-${ic##*/}" && grep -q 'holds tokens already' "$w/ic-2" && [ -s "$w/pins-1" ] &&
  [ "$(grep -c -e '^status 0$' -e '^Slot 6: the user logged in with 123456$' "$w/alone-${ic##*/}" "$w/ic-2" |
       grep -c ':2$')" -eq 2 ] &&
  cmp -s "$w/pins-1" "$w/pins-2" || { echo "FAILED: the InitializeCard recipe in a new shell, twice"; fail=1; }
exit $fail
