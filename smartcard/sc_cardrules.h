// Who, with no PIN, may do what on a card: the card's rules as its file headers
// show them, read the way the card applies them. A file in a life-cycle state
// before activation (01, 03) has no rule enforced; a rule names always, never, a
// key (a secure channel's) or a PIN. A PIN's value is known to whoever made it or
// may set it, and a card lets anyone make a PIN wherever a DF's create rule lets
// them: at a global reference in the master file where none stands, at a local
// one in any DF the card searches before the one that stands (it takes the
// nearest). The card shows no PIN's own rules, so a PIN counts as its owners'
// only where this call verified it (the SO PIN) or made it; any other is judged
// by who could have made one there.
//
// One object serves one call: each header is asked once (one SELECT) and kept,
// so the judgements of the call agree with one another.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "smartcard/sc_errors.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_path.h"

class SCCard;

class SCCardRules {
public:
    explicit SCCardRules(SCCard* card) : m_card(card) {}

    // A PIN whose value only the call's owners know: the SO PIN the call verified,
    // a PIN it made. `df` is the DF that holds it (ignored for a global reference:
    // the master file's).
    void Trust(uint8_t ref, const SCPath& df = SCPath());
    bool Trusted(uint8_t ref, const SCPath& df) const;

    // The header of the file at `path` (absolute), as the card showed it in this
    // call: SC_E_FILE_NOT_FOUND where nothing stands, another failure where the
    // card did not answer. *header stays owned by this object.
    SCRESULT Header(const SCPath& path, const SCFileHeader** header);
    // Drops what is kept of `path` and everything under it (a file deleted or made).
    void Forget(const SCPath& path);

    // Whether someone with no PIN meets the rule of `op` (SC_AC_OP_*) on the file
    // at `path`: 1 yes, 0 no (also where the header shows no rules), or a failure.
    SCRESULT AnyoneMay(const SCPath& path, uint32_t op);
    // Whether the SO, its PIN `soRef` verified, meets it: 1, 0 or a failure.
    SCRESULT SoMay(const SCPath& path, uint32_t op, uint8_t soRef);
    // Whether the file or DF at `path` is anyone's to change: it stands before
    // activation, or someone with no PIN may update or delete it (an EF, a key's
    // components), or create in or delete it (a DF). Deactivating and terminating
    // only deny service; a card offers no command for an EF's "write" rule. 1, 0
    // or a failure (SC_E_FILE_NOT_FOUND where nothing stands).
    SCRESULT Planted(const SCPath& path);
    // Planted, or something of its use is anyone's: a key they may sign or decipher
    // with, or an EF whose read rule is not "always" that they may read.
    SCRESULT Open(const SCPath& path);
    // Whether someone with no PIN can come to hold the PIN `ref` that a rule of a
    // file in the DF `from` names: 1, 0 or a failure.
    SCRESULT PinAnyone(uint8_t ref, const SCPath& from);

private:
    struct Kept {
        SCPath path;
        SCRESULT result = 0;
        std::unique_ptr<SCFileHeader> header;
    };
    // Whether someone with no PIN meets any condition of `refs`, asked from `df`.
    SCRESULT AnyoneMeets(const SCValueSet& refs, const SCPath& df);

    SCCard* m_card;
    std::vector<Kept> m_kept;
    std::vector<std::pair<SCPath, uint8_t>> m_trusted;
    std::vector<std::pair<SCPath, uint8_t>> m_asking;  // PINs being judged: a chain never counts itself
};
