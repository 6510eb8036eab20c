#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need,
# only those that are missing. Safe to run again and again.
set -euo pipefail
pkgs=(
  build-essential cmake ninja-build clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libp11-kit-dev p11-kit gnutls-bin
  opensc pcscd libpcsclite-dev libpcsclite1 vsmartcard-vpcd softhsm2
  python3 python3-asn1crypto python3-pyasn1 python3-pykcs11
  libengine-pkcs11-openssl  # OpenSSL signing through the module (tests)
  libnss3-tools             # NSS's modutil and certutil on the module (tests)
  softhsm2                  # a software token beside the module (benchmarks only)
  coreutils procps
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
