#!/usr/bin/env python3
"""Fails when a product file includes a header of a layer it may not use.

Every #include, with quotes or angle brackets, is resolved to a file the way the
compiler finds it: a quoted name first beside the including file, then (both
forms) in each include directory of the build (the repository root unless -I
names others). An include that resolves to a product file is an edge from the
including file's layer to the included file's layer; an edge that the layering
does not allow is a fault. Includes that resolve to no product file (system and
standard headers) are not edges.

  check_includes.py [ROOT] [-I DIR]...   check the product under ROOT
  check_includes.py --edges              print the allowed edges
  check_includes.py --self-test          check this checker on a small tree
"""
import os
import re
import sys
import tempfile

# Layer -> the layers it may include besides itself. The X.500/X.509 types of
# lib/libasn and the key structures of keys/ form one library and use each other;
# the codec core of lib/libasn uses neither. support and libtorvapp stand apart:
# neither uses the other.
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
SOURCES = (".h", ".hpp", ".cpp", ".c", ".inc")
# The name between quotes or angle brackets; a macro name is not followed.
INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)')


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


def resolve(root, including, name, quoted, include_dirs):
    """Repository-relative path of the file the include names, or None."""
    places = ([os.path.dirname(including)] if quoted else []) + include_dirs
    for place in places:
        candidate = os.path.realpath(os.path.join(place, name))
        if os.path.isfile(candidate):
            rel = os.path.relpath(candidate, root)
            return None if rel.startswith("..") else rel.replace(os.sep, "/")
    return None


def check(root, include_dirs=None):
    """(faults, number of edges) of the product under root."""
    root = os.path.realpath(root)
    include_dirs = [os.path.realpath(d) for d in (include_dirs or [root])]
    faults, edges = [], 0
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith(SOURCES):
                    continue
                full = os.path.realpath(os.path.join(dirpath, name))
                rel = os.path.relpath(full, root).replace(os.sep, "/")
                src = layer_of(rel)
                with open(full, encoding="utf-8", errors="replace") as f:
                    for lineno, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        quoted = m.group(1) is not None
                        target = m.group(1) if quoted else m.group(2)
                        resolved = resolve(root, full, target, quoted, include_dirs)
                        dst = layer_of(resolved) if resolved else None
                        if dst is None:
                            continue
                        edges += 1
                        if dst != src and dst not in ALLOWED[src]:
                            faults.append(f"{rel}:{lineno}: {src} includes {dst} ({target})")
    return faults, edges


def print_edges():
    for src in ALLOWED:
        print(f"{src} -> {', '.join(sorted(ALLOWED[src])) or '(none)'}")


def self_test():
    """The checker on a small tree: each form of a forbidden include is found,
    allowed ones and system headers are not faults."""
    files = {
        "smartcard/card.cpp": [
            '#include <pkcs11impl/app.h>',            # angle brackets from the root
            '#include "../pkcs15/app15.h"',            # relative to the including file
            '#include "pkcs11impl/app.h"',             # quotes from the root
            '#  include   "sub/deep.h"',               # beside the file, then on
            '#include "keys/key.h"',                   # allowed
            '#include "card.h"',                       # its own folder
            '#include <string>',                       # system header
            '#include "nowhere.h"',                    # resolves to nothing
        ],
        "smartcard/card.h": [],
        "smartcard/sub/deep.h": ['#include "../../pkcs15/app15.h"'],
        "pkcs15/app15.h": ['#include "../smartcard/card.h"'],  # allowed
        "pkcs11impl/app.h": [],
        "keys/key.h": [],
        "libtorvapp/t.cpp": ['#include "support/s.h"', '#include "../support/s.h"'],
        "support/s.h": [],
        "lib/libpkcs15/p.h": ['#include <keys/key.h>', '#include "../../smartcard/card.h"'],
        "lib/libasn/core.h": ['#include "x509/name.h"'],
        "lib/libasn/x509/name.h": ['#include "../core.h"'],
    }
    expected = [
        "lib/libasn/core.h:1: asn-core includes asn-x509 (x509/name.h)",
        "lib/libpkcs15/p.h:2: libpkcs15 includes smartcard (../../smartcard/card.h)",
        "libtorvapp/t.cpp:1: libtorvapp includes support (support/s.h)",
        "libtorvapp/t.cpp:2: libtorvapp includes support (../support/s.h)",
        "smartcard/card.cpp:1: smartcard includes pkcs11impl (pkcs11impl/app.h)",
        "smartcard/card.cpp:2: smartcard includes pkcs15 (../pkcs15/app15.h)",
        "smartcard/card.cpp:3: smartcard includes pkcs11impl (pkcs11impl/app.h)",
        "smartcard/sub/deep.h:1: smartcard includes pkcs15 (../../pkcs15/app15.h)",
    ]
    with tempfile.TemporaryDirectory() as root:
        for path, lines in files.items():
            full = os.path.join(root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w", encoding="utf-8") as f:
                f.write("".join(line + "\n" for line in lines))
        faults, edges = check(root)
        # An include directory of the build other than the root is searched too.
        os.makedirs(os.path.join(root, "smartcard/inc"))
        with open(os.path.join(root, "smartcard/inc/x.h"), "w", encoding="utf-8") as f:
            f.write('#include <app.h>\n')
        extra, _ = check(root, [root, os.path.join(root, "pkcs11impl")])
    ok = sorted(faults) == expected and edges == 14
    ok = ok and "smartcard/inc/x.h:1: smartcard includes pkcs11impl (app.h)" in extra
    if not ok:
        print("self-test failed:", *sorted(faults), f"({edges} edges)", *extra, sep="\n  ")
        return 1
    print(f"self-test: {len(expected)} forbidden includes of every form found")
    return 0


def main(argv):
    if "--edges" in argv:
        print_edges()
        return 0
    if "--self-test" in argv:
        return self_test()
    root, include_dirs, i = ".", [], 0
    while i < len(argv):
        if argv[i] == "-I" and i + 1 < len(argv):
            include_dirs.append(argv[i + 1])
            i += 2
            continue
        root = argv[i]
        i += 1
    faults, edges = check(root, include_dirs or None)
    for fault in faults:
        print(fault)
    print(f"{edges} includes checked, {len(faults)} against the layering")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
