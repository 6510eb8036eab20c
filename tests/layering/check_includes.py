#!/usr/bin/env python3
"""Fails when a product file includes a header of a layer it may not use.

Includes are written from the repository root ("pkcs15/scpkcs15app.h"), so the
folder of the included file names its layer. The allowed edges are those of the
project's layering: every layer may include its own files and those below it.
"""
import os
import re
import sys

# Layer -> the layers it may include besides itself. The X.500/X.509 types of
# lib/libasn and the key structures of keys/ form one library and use each other;
# the codec core of lib/libasn uses neither.
ALLOWED = {
    "support": set(),
    "libtorvapp": set(),
    "asn-core": {"support", "libtorvapp"},
    "asn-x509": {"asn-core", "keys", "support", "libtorvapp"},
    "keys": {"asn-x509", "asn-core", "support", "libtorvapp"},
    "libpkcs15": {"asn-core", "asn-x509", "keys", "support"},
    "smartcard": {"support", "libtorvapp", "keys"},
    "pkcs15": {"smartcard", "libpkcs15", "asn-core", "asn-x509", "keys",
               "libtorvapp", "support"},
    "pkcs11impl": {"pkcs15", "smartcard", "libpkcs15", "asn-core", "asn-x509",
                   "keys", "libtorvapp", "support"},
}
FOLDERS = ["support", "libtorvapp", "lib/libasn", "lib/libpkcs15", "keys",
           "smartcard", "pkcs15", "pkcs11impl"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    """The layer of a repository-relative path, or None outside the product."""
    if path.startswith("lib/libasn/x509/"):
        return "asn-x509"
    if path.startswith("lib/libasn/"):
        return "asn-core"
    if path.startswith("lib/libpkcs15/"):
        return "libpkcs15"
    top = path.split("/", 1)[0]
    return top if top in ALLOWED else None


def main(root):
    faults, edges = [], 0
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".hpp", ".cpp", ".c", ".inc")):
                    continue
                full = os.path.join(dirpath, name)
                rel = os.path.relpath(full, root)
                src = layer_of(rel)
                with open(full, encoding="utf-8", errors="replace") as f:
                    for lineno, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = m.group(1)
                        if "/" not in target:
                            # A sibling header of the same folder.
                            target = os.path.join(os.path.dirname(rel), target)
                        dst = layer_of(os.path.normpath(target))
                        if dst is None:
                            continue
                        edges += 1
                        if dst != src and dst not in ALLOWED[src]:
                            faults.append(f"{rel}:{lineno}: {src} includes {dst} ({m.group(1)})")
    for fault in faults:
        print(fault)
    print(f"{edges} includes checked, {len(faults)} against the layering")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
