#!/usr/bin/env python3
"""Fails when a product file includes a header of a layer it may not use.

Every #include, with quotes or angle brackets, is resolved to a file the way the
compiler finds it: a quoted name first beside the including file, then (both
forms) in each include directory of the build (the repository root unless -I
names others). An include that resolves to a product file is an edge from the
including file's layer to the included file's layer; an edge that the layering
does not allow is a fault. Includes that resolve to no product file (system and
standard headers) are not edges.

Directives are read as the compiler reads them: lines continued with a backslash
are joined and comments removed first (a comment may stand anywhere in the
directive; an include inside a comment or a string is none). An include named by
a macro is followed when the file itself defines that macro as a header name; a
directive that names its header any other way is a fault, as the check cannot
tell where it leads.

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
# A directive's name after the '#' (or its digraph "%:") and what follows it.
DIRECTIVE = re.compile(r'^\s*(?:#|%:)\s*(include(?:_next)?|define)\b\s*(.*)$')
# A header name between quotes or angle brackets.
HEADER_NAME = re.compile(r'^(?:"([^"]+)"|<([^>]+)>)')
# An object-like macro: a name not followed at once by '('.
MACRO = re.compile(r'^([A-Za-z_]\w*)(?!\()\s*(.*)$')
IDENTIFIER = re.compile(r'^[A-Za-z_]\w*$')


def raw_prefix(text, i):
    """True when the R at i begins a raw string literal: it stands alone or after
    an encoding prefix (u8, u, U, L), not at the end of a longer name."""
    start = i
    while start and (text[start - 1].isalnum() or text[start - 1] == "_"):
        start -= 1
    return text[start:i] in ("", "u8", "u", "U", "L")


def logical_lines(text):
    """(line number, text) of each logical line of a C or C++ source: lines
    continued with a backslash joined, each comment replaced by one blank, the
    contents of raw string literals left out (their line breaks kept). The number
    is that of the line where the logical line begins."""
    out, line_of = [], []
    i, n, line = 0, len(text), 1
    state = "code"  # code, string or char

    def emit(c):
        out.append(c)
        line_of.append(line)

    while i < n:
        c = text[i]
        # Line splicing comes before everything else.
        if c == "\\" and text.startswith("\n", i + 1):
            i += 2
            line += 1
            continue
        if c == "\\" and text.startswith("\r\n", i + 1):
            i += 3
            line += 1
            continue
        if state == "code":
            if text.startswith("/*", i):
                end = text.find("*/", i + 2)
                end = n if end < 0 else end + 2
                line += text.count("\n", i, end)
                emit(" ")
                i = end
                continue
            if text.startswith("//", i):
                # Up to the end of the line, which a backslash may continue.
                j = i + 2
                while j < n and text[j] != "\n":
                    if text[j] == "\\" and text.startswith("\n", j + 1):
                        line += 1
                        j += 2
                        continue
                    j += 1
                emit(" ")
                i = j
                continue
            if text.startswith('R"', i) and raw_prefix(text, i):
                open_paren = text.find("(", i + 2)
                if open_paren >= 0 and open_paren - i - 2 <= 16:
                    quote_end = ")" + text[i + 2:open_paren] + '"'  # )delimiter"
                    end = text.find(quote_end, open_paren + 1)
                    end = n if end < 0 else end + len(quote_end)
                    emit('"')
                    for k in range(i, end):
                        if text[k] == "\n":
                            line += 1
                            emit("\n")
                    emit('"')
                    i = end
                    continue
            if c in "\"'":
                state = "string" if c == '"' else "char"
                emit(c)
                i += 1
                continue
            emit(c)
            if c == "\n":
                line += 1
            i += 1
            continue
        # Inside a string or character literal: escapes, and the end of the line.
        if c == "\\" and i + 1 < n:
            emit(c)
            emit(text[i + 1])
            i += 2
            continue
        if c == "\n":
            state = "code"  # an unterminated literal ends with its line
            emit(c)
            line += 1
            i += 1
            continue
        if (state == "string" and c == '"') or (state == "char" and c == "'"):
            state = "code"
        emit(c)
        i += 1

    result, start = [], 0
    joined = "".join(out)
    for k, ch in enumerate(joined):
        if ch == "\n":
            result.append((line_of[start] if start < len(line_of) else line, joined[start:k]))
            start = k + 1
    if start < len(joined):
        result.append((line_of[start], joined[start:]))
    return result


def includes(text):
    """(line number, name, quoted, how) of each include directive, how being the
    text a fault names; name is None for a directive whose header cannot be read."""
    macros, found = {}, []
    for lineno, line in logical_lines(text):
        m = DIRECTIVE.match(line)
        if not m:
            continue
        rest = m.group(2).strip()
        if m.group(1) == "define":
            d = MACRO.match(rest)
            if d:
                macros[d.group(1)] = d.group(2).strip()
            continue
        operand, via = rest, ""
        if IDENTIFIER.match(operand) and operand in macros:
            via, operand = f" by {operand}", macros[operand]
        h = HEADER_NAME.match(operand)
        if not h:
            found.append((lineno, None, False, rest))
            continue
        quoted = h.group(1) is not None
        name = h.group(1) if quoted else h.group(2)
        found.append((lineno, name, quoted, name + via))
    return found


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
                    text = f.read()
                for lineno, target, quoted, how in includes(text):
                    if target is None:
                        faults.append(f"{rel}:{lineno}: cannot read the include ({how})")
                        continue
                    resolved = resolve(root, full, target, quoted, include_dirs)
                    dst = layer_of(resolved) if resolved else None
                    if dst is None:
                        continue
                    edges += 1
                    if dst != src and dst not in ALLOWED[src]:
                        faults.append(f"{rel}:{lineno}: {src} includes {dst} ({how})")
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
        # Directives that compile, written in the forms a line-by-line reading misses.
        "pkcs15/forms.cpp": [
            '#include /* moved */ "pkcs11impl/app.h"',  # 1: a comment inside the directive
            '#/* why */include "pkcs11impl/app.h"',     # 2: a comment before its name
            '#include \\',                             # 3: a directive continued on the next line
            '  "pkcs11impl/app.h"',
            '#define APP_HEADER <pkcs11impl/app.h>',     # 5
            '#include APP_HEADER',                       # 6: a header named by a macro
            '#include ELSEWHERE_HEADER',                 # 7: a macro the file does not define
            '%:include "pkcs11impl/app.h"',              # 8: the digraph of '#'
            '// #include "pkcs11impl/app.h"',            # commented out: no include
            '/* #include "pkcs11impl/app.h"',            # nor in a comment of several lines
            '#include "pkcs11impl/app.h" */',
            'const char* s = "/* not a comment";',       # a string is no comment
            '#include "pkcs11impl/app.h" // 13',         # 13: read after that string
            'const char* r = R"(',                       # nor is a raw string's line an include
            '#include "pkcs11impl/app.h"',
            ')";',
            '#include "../smartcard/card.h"',            # allowed
        ],
    }
    expected = [
        "lib/libasn/core.h:1: asn-core includes asn-x509 (x509/name.h)",
        "lib/libpkcs15/p.h:2: libpkcs15 includes smartcard (../../smartcard/card.h)",
        "libtorvapp/t.cpp:1: libtorvapp includes support (support/s.h)",
        "libtorvapp/t.cpp:2: libtorvapp includes support (../support/s.h)",
        "pkcs15/forms.cpp:13: pkcs15 includes pkcs11impl (pkcs11impl/app.h)",
        "pkcs15/forms.cpp:1: pkcs15 includes pkcs11impl (pkcs11impl/app.h)",
        "pkcs15/forms.cpp:2: pkcs15 includes pkcs11impl (pkcs11impl/app.h)",
        "pkcs15/forms.cpp:3: pkcs15 includes pkcs11impl (pkcs11impl/app.h)",
        "pkcs15/forms.cpp:6: pkcs15 includes pkcs11impl (pkcs11impl/app.h by APP_HEADER)",
        "pkcs15/forms.cpp:7: cannot read the include (ELSEWHERE_HEADER)",
        "pkcs15/forms.cpp:8: pkcs15 includes pkcs11impl (pkcs11impl/app.h)",
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
    ok = sorted(faults) == expected and edges == 21
    ok = ok and "smartcard/inc/x.h:1: smartcard includes pkcs11impl (app.h)" in extra
    if not ok:
        print("self-test failed:", *sorted(faults), f"({edges} edges)", *extra, sep="\n  ")
        return 1
    print(f"self-test: {len(expected)} forbidden or unreadable includes of every form found")
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
