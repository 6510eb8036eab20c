#!/usr/bin/env bash
# The demo: a real PKCS#11 client (pkcs11-tool) drives build/libmirtalp11.so
# against simulated cards. It writes its own configuration under
# build/demo-home and never touches the real home folder or /etc.
set -euo pipefail
build=${1:-build}
module="$build/libmirtalp11.so"
[ -f "$module" ] || { echo "demo: $module was not built"; exit 1; }
echo "Module built: $module"
echo "Exported functions:"
nm -D --defined-only "$module" | awk '{print "  " $3}' | sort | head -n 100
echo
echo "The module does not answer PKCS#11 calls yet. Once it does, this demo lists"
echo "the simulated readers as slots with pkcs11-tool, logs in to a simulated"
echo "PKCS#15 card, lists its certificate and keys and signs with its RSA key."
