#!/usr/bin/env bash
# The demo: a real PKCS#11 client (pkcs11-tool) drives build/libmirtalp11.so.
# It writes its own configuration under build/demo-home and never touches the
# real home folder or /etc.
set -euo pipefail
build=${1:-build}
module="$build/libmirtalp11.so"
[ -f "$module" ] || { echo "demo: $module was not built"; exit 1; }
module=$(cd "$(dirname "$module")" && pwd)/$(basename "$module")
home=$(cd "$build" && pwd)/demo-home
echo "Module built: $module"
echo "Exported functions: $(nm -D --defined-only "$module" | wc -l)"
echo

# The module's per-user configuration: trace logging into the demo folder.
mkdir -p "$home/.MIRTAL"
rm -f "$home"/trace-*.log
cat > "$home/.MIRTAL/pkcs11.conf" <<CONF
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
echo "\$ pkcs11-tool --module $module --show-info --list-slots"
# With no reader configured the slot list is empty, which pkcs11-tool reports
# as "No slots." with a non-zero status.
HOME="$home" "$tool" --module "$module" --show-info --list-slots || true
echo
for log in "$home"/trace-*.log; do
  [ -f "$log" ] || continue
  echo "Trace log written by the module ($log):"
  sed 's/^/  /' "$log"
done
echo
echo "Readers, tokens and signing join as the reader and card layers arrive: the"
echo "simulated readers will then appear as slots, and the demo will log in to a"
echo "simulated PKCS#15 card, list its certificate and keys and sign with its RSA key."
