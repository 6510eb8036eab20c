// Who, with no PIN, may do what on a card: the card's rules as its file headers
// show them, read the way the card applies them. A file in a life-cycle state
// before activation (01, 03) has no rule enforced; a rule names always, never, a
// key (a secure channel's) or a PIN. A rule's PIN is the one the card finds: the
// nearest that stands from the file's DF up (a global reference: the master
// file's). Whether one stands is asked with an empty VERIFY, which spends no try;
// only where none stands nearer does it matter who may make one, in a DF whose
// create rule lets anyone. The card shows no PIN's own rules: what it does not
// show counts for nothing in either direction.
//
// Deleting is not relying: a file is no one's (Planted) only by its own header;
// what a token relies on must in addition be something no one else could have
// made or may create in (Open).
//
// One object serves one call: each header is asked once and kept, so the
// judgements of the call agree with one another. Absence is believed only where
// the card says so twice; a header that does not parse fails the question.
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
    SCCard* Card() const { return m_card; }

    // A PIN whose value only the call's owners know: the SO PIN the call verified,
    // a PIN it made. `df` is the DF that holds it (ignored for a global reference:
    // the master file's).
    void Trust(uint8_t ref, const SCPath& df = SCPath());
    bool Trusted(uint8_t ref, const SCPath& df) const;
    // Every PIN `other` trusts (the call's, to a fresh look of the same call).
    void TrustAsIn(const SCCardRules& other) {
        for (const auto& t : other.m_trusted) Trust(t.second, t.first);
        for (uint8_t ref : other.m_owners) OwnersHold(ref);
        m_ownersMade = m_ownersMade || other.m_ownersMade;
    }
    // A global PIN only the card's owners hold though the call did not verify it (the
    // SO PIN the blank card came with): what only it may change is theirs where a
    // header shows no life cycle to judge by.
    void OwnersHold(uint8_t ref) { m_owners.push_back(ref); }
    // Where the card shows a token of the owners' (not on a card that shows none,
    // whose files are made anew): what only the owners' PINs may change is theirs
    // though its header shows no life cycle.
    void OwnersMade(bool on) { m_ownersMade = on; }
    // What the call itself made (`path` and everything under it): its owners', whatever
    // its header leaves out.
    void Made(const SCPath& path) { m_made.push_back(path); }

    // The header of the file at `path` (absolute), as the card showed it in this
    // call: SC_E_FILE_NOT_FOUND where nothing stands, another failure where the
    // card did not answer. *header stays owned by this object.
    SCRESULT Header(const SCPath& path, const SCFileHeader** header);
    // Whether "not found" is asked again before it is believed (by default it is):
    // not where absence decides nothing.
    void SecondLook(bool again) { m_secondLook = again; }
    // Drops what is kept of `path` and everything under it (a file deleted or made).
    void Forget(const SCPath& path);
    // The header of the file at `path` that this call judged, asked of no card:
    // null where it asked none, found nothing there, forgot it or made the file since.
    const SCFileHeader* Judged(const SCPath& path) const;

    // Whether someone with no PIN meets the rule of `op` (SC_AC_OP_*) on the file
    // at `path`: 1 yes, 0 no (also where the header shows no rules), or a failure.
    SCRESULT AnyoneMay(const SCPath& path, uint32_t op);
    // Whether the SO, its PIN `soRef` verified, meets it: 1, 0 or a failure.
    SCRESULT SoMay(const SCPath& path, uint32_t op, uint8_t soRef);
    // Whether the file or DF at `path` is no one's by its own header: it shows a
    // state before activation, or someone with no PIN may update or delete it (an
    // EF, a key's components; a key generated anew), or delete it (a DF). Where the
    // card leaves it open whose PIN a rule finds, it is someone's. Deactivating and
    // terminating only deny service; a card offers no command for an EF's "write"
    // rule. 1, 0 or a failure (SC_E_FILE_NOT_FOUND where nothing stands).
    SCRESULT Planted(const SCPath& path);
    // Whether a token may not rely on it: anyone may change or delete it (where the
    // card leaves it open, they may), create in it (a DF), use it (a key they may
    // sign or decipher with, an EF whose read rule is not "always" that they may
    // read), or could have made it before activation: its header shows no state
    // and its parent lets anyone create there. 1, 0 or a failure.
    SCRESULT Open(const SCPath& path);
    // Whether a PIN `ref` stands where the card finds it from the DF `df` (a global
    // reference: the master file's): 1, 0 (said twice) or a failure; asked once a call.
    SCRESULT Stands(uint8_t ref, const SCPath& df = SCPath()) { return ScPinPresenceOf(State(ref, df)); }
    // The answer that told it: the empty VERIFY's result (0 verified, a count of tries
    // left, SC_E_PIN_BLOCKED, SC_E_PIN_NOT_INITIALIZED, SC_E_NO_REFERENCED_DATA) or a failure.
    SCRESULT State(uint8_t ref, const SCPath& df = SCPath());
    // Whether someone with no PIN can come to hold the PIN `ref` that a rule of a
    // file in the DF `from` names: 1, 0 or a failure. Where a PIN stands above a
    // DF that lets anyone create and the card does not show whether one stands
    // nearer, anyone may (Planted takes it as someone's).
    SCRESULT PinAnyone(uint8_t ref, const SCPath& from);

private:
    struct Kept {
        SCPath path;
        SCRESULT result = 0;
        std::unique_ptr<SCFileHeader> header;
    };
    // Whether someone with no PIN meets any condition of `refs`, asked from `df`.
    SCRESULT AnyoneMeets(const SCValueSet& refs, const SCPath& df);
    // Whether every rule of `h` (the header at `path`) that changes the file names
    // only PINs the call trusts, or "never".
    bool OwnersChangeOnly(const SCPath& path, const SCFileHeader& h) const;
    // Planted, with `doubt` the answer where the card does not show whose PIN a rule finds.
    SCRESULT PlantedAs(const SCPath& path, bool doubt);
    // Whether a PIN `ref` stands from `df` up (the DF selected, an empty VERIFY):
    // 1, 0 (the card said "no such PIN" twice) or a failure. Kept per (DF, ref).
    SCRESULT StandsFrom(uint8_t ref, const SCPath& df);

    SCCard* m_card;
    std::vector<Kept> m_kept;
    std::vector<std::pair<SCPath, uint8_t>> m_trusted;
    std::vector<std::pair<SCPath, uint8_t>> m_asking;  // PINs being judged: a chain never counts itself
    struct Presence {
        SCPath df;
        uint8_t ref;
        SCRESULT stands;
        SCRESULT state;
    };
    static SCRESULT ScPinPresenceOf(SCRESULT state);
    std::vector<Presence> m_stands;
    std::vector<SCPath> m_made;
    std::vector<uint8_t> m_owners;
    bool m_ownersMade = false;
    bool m_secondLook = true;
    // Where the card stood in the master file after an empty VERIFY of StandsFrom:
    // the hold serial and command count then (0: nowhere known).
    uint64_t m_mfSerial = 0, m_mfCount = 0;
    bool m_doubt = true;  // the answer of a PIN question the card leaves open, for the question being asked
};
