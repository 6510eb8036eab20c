// A file of records (an object directory, the ODF, EF.DIR, TokenInfo) as one
// call sees it. The file object that describes the token hands its reading and
// writing here; this class owns what the card holds of the file for as long as
// the reader's transaction lasts (the copy, the file's spare, what the last
// write changed), decides before it acts (the records fit, the file grows, it
// cannot grow, a spare a cut left is taken up first), selects the file itself in
// every step that reads or writes it, and says how a write ended instead of
// leaving it in the file object.
//
// The records are read from the file's start to its end (ScPkcs15FrameRecords
// says where they stand), with the file's spare looked for first: a whole spare
// stands in the file's place. A write rewrites what the same transaction read;
// new records that fit are written in place, one record move per command
// (ScPkcs15PlanRewrite), and records that do not fit grow the file through a
// spare, so that a card pulled at any command holds the old records or the new.
// Commands planned from a copy are never sent again after a reset by another
// application: the records are read again and the write carried over to them
// (ScPkcs15MergeRecords).
#pragma once

#include <cstdint>
#include <vector>

#include "pkcs15/scpkcs15rewrite.h"
#include "pkcs15/scpkcs15spare.h"
#include "smartcard/sc_errors.h"
#include "smartcard/sc_path.h"
#include "smartcard/sc_types.h"

class SCCard;
class SCFileHeader;
class SCPkcs15PathObjectInfo;

// How a write of a file of records ended.
struct SCPkcs15WriteOutcome {
    SCRESULT result = 0;
    // After a failure: the records a reader of the card finds are those from
    // before the write (nothing written, or what was written put back).
    bool cardUnchanged = true;
    // After a failure: the records did not fit, the file could not grow, and
    // nothing was sent that changes the card.
    bool mustGrow = false;
};

class SCPkcs15RecordFile {
public:
    // owner: the file object (card, path, rules, creation parameters, PINs).
    // oneRecord: a file of one record (TokenInfo); createRoom: the least size of a
    // file made anew; firstRead: the octets the first read of a file of one record asks for.
    SCPkcs15RecordFile(SCPkcs15PathObjectInfo& owner, bool oneRecord, uint32_t createRoom, uint32_t firstRead);
    ~SCPkcs15RecordFile();
    SCPkcs15RecordFile(const SCPkcs15RecordFile&) = delete;
    SCPkcs15RecordFile& operator=(const SCPkcs15RecordFile&) = delete;

    // The records a reader of the token finds (the file's from its start to where
    // its last record ends, or a whole spare's), under the caller's transaction:
    // the copy this transaction read or wrote unless fresh, else read now. The
    // number of octets, or a failure (SC_E_FILE_NOT_FOUND: neither file nor spare).
    SCRESULT Read(std::vector<uint8_t>* out, bool fresh);
    // Writes these records (packed, as a file object encodes them) over what the
    // card holds under the caller's transaction; mayCreate: a missing file is made.
    SCPkcs15WriteOutcome Write(const uint8_t* data, uint32_t len, bool mayCreate);
    // Puts back, octet for octet, what the last successful write changed, while the
    // transaction that wrote lasts: a call that fails after it takes it back.
    SCRESULT Undo();
    // Whether len octets of records can be written with these access conditions
    // (0xC000 | PIN reference) verified: 1 when they fit or the file may grow, 0
    // when not, or a failure. Nothing is written.
    SCRESULT CanHold(uint32_t len, const SCValueSet& conditions);
    // Finishes the growth a cut left (a whole spare), when there is one now, and
    // takes away the spares of the file that a cut left never whole.
    SCRESULT FinishCutGrowth();
    // Whether the last reading found a whole spare in the file's place.
    bool SawWholeSpare() const { return m_sawWholeSpare; }
    // Whether the last reading found a spare of the file cut short or never written.
    bool SawDeadSpare() const { return m_sawDeadSpare; }
    // Forgets the copy (the next step reads the card again).
    void Forget();

private:
    // A place where the file's spare may stand (ScPkcs15SpareFid), as the last reading found it.
    struct Slot {
        SCPkcs15Spare kind = SCPkcs15Spare::kNone;
        bool looked = false;             // the place was looked at in this reading
        SCFileHeader* header = nullptr;  // owned
        std::vector<uint8_t> records;    // of a whole spare
        std::vector<uint8_t> fileRules;  // the file's rules, where a whole spare's mark carries them
        std::vector<uint8_t> octets;     // an unmarked file in the spare's state, until judged
    };
    // What the card holds of the file while the reader's transaction lasts.
    struct Copy {
        bool known = false;
        uint64_t serial = 0;   // the reader's hold serial when it was read
        bool exists = false;
        uint32_t size = 0;
        bool framed = false;          // the file's octets frame as records
        std::vector<uint8_t> bytes;   // the file from its start, as far as the card gave it
        Slot slots[kScPkcs15SpareSlots];
        int spare = -1;               // the slot holding this file's spare (whole or cut)
        int free = -1;                // the first slot with no file in it
        std::vector<uint8_t> seen;    // the records a reader finds, packed
    };
    // What the last successful write changed.
    struct Change {
        enum Kind { kNone, kInPlace, kMade, kGrown } kind = kNone;
        uint64_t serial = 0;
        std::vector<uint8_t> bytes;  // in place: the octets [0, n) as they were; grown: the old file whole
    };

    SCCard* Card() const;
    uint64_t HoldSerial() const;
    uint64_t CardSession() const;
    bool Held() const;
    // Whether the copy found a whole spare of the file standing in its place.
    bool WholeSpareStands() const {
        return m_copy.spare >= 0 && m_copy.slots[m_copy.spare].kind == SCPkcs15Spare::kWhole;
    }
    SCRESULT ReadOnce();
    // Looks at the spare's places from `from` on, taking each file found by its mark.
    SCRESULT ProbeSpares(const SCPath& full, int from);
    // Judges the files found there by their headers beside the file's (read
    // since): a spare counts only where its header vouches for it, else it is
    // the card's issuer's (ScPkcs15SpareMadeBy). The place still to look at,
    // where a whole spare that ended the look no longer counts; else -1.
    int JudgeSpares(const SCPath& full);
    // Whether the file as read is what a cut of an earlier version left of a write
    // whose new records stand whole in this spare: no whole records, or the
    // spare's octets first and records after them that do not all decode.
    bool LeftPartWritten(const std::vector<uint8_t>& spare);
    // SawWholeSpare() and SawDeadSpare() from the places as read.
    void SawSpares();
    SCRESULT ReadFile(const SCPath& full);
    SCRESULT Hold();
    // The records a reader finds in the copy, after the file's octets changed.
    void Reframe();
    SCPkcs15WriteOutcome WriteOnce(const std::vector<uint8_t>& records, bool mayCreate);
    SCPkcs15WriteOutcome InPlace(const std::vector<uint8_t>& records);
    SCPkcs15WriteOutcome Create(const std::vector<uint8_t>& records);
    SCPkcs15WriteOutcome Grow(const std::vector<uint8_t>& records);
    SCRESULT TakeUpSpare();
    // One walk back of a change (Undo).
    SCRESULT UndoChange(const Change& undo);
    // Whether the file may grow for these conditions: its rules, a place for its
    // spare, the DF's memory where its header tells it (*noRoom: that is what
    // lacks). 1, 0 or a failure. With `rewrite` set, whether a spare of len octets
    // may stand while the file is rewritten in place: where the conditions may not
    // delete the file but may update it, the spare takes rules of its own
    // (ScPkcs15SpareRules) and *rewrite says so.
    SCRESULT MayGrow(uint32_t len, const SCValueSet& conditions, bool* noRoom, bool* rewrite = nullptr);
    SCRESULT SelectFile();
    // The copy extended to the file's first n octets (the file selected).
    SCRESULT ReadUpTo(uint32_t n);
    SCRESULT UpdateInSteps(const uint8_t* from, const uint8_t* to, uint32_t len);
    SCRESULT SendSteps(const std::vector<SCPkcs15WriteStep>& steps);
    // The file (selected) turned from `from` into `to`: in single-command steps that
    // keep the records whole, else with the new records standing in a spare meanwhile
    // (where the card's rules and memory allow one; else with a long record standing
    // twice on its way, or, where none can move, with the records left where they
    // stand, or refused: SC_E_FILE_TOO_SMALL). Never straight through without a
    // spare. After a failure, *standing tells that the spare could not go again:
    // readers find the new records.
    SCRESULT Rewrite(const std::vector<uint8_t>& from, const std::vector<uint8_t>& to, bool* standing);
    // A spare of the records at `slot`, made like the file (with a spare's rules of
    // its own: ownRules) and written (its last write commits).
    SCRESULT MakeSpare(const SCFileHeader& like, int slot, const std::vector<uint8_t>& records,
                       bool ownRules = false);
    // The file made again through a spare at `slot` (see the .cpp).
    SCRESULT ReplaceThroughSpare(const SCFileHeader& like, int slot, const std::vector<uint8_t>& records,
                                 uint32_t size, const std::vector<uint8_t>& contents,
                                 const std::vector<uint8_t>& back, bool* committed);
    SCRESULT RemakeFile(const SCFileHeader& like, uint32_t size, const std::vector<uint8_t>& contents, bool exists);
    SCRESULT DeleteSpare(int slot);
    // Every spare of the file found cut short or never written taken away.
    SCRESULT DeleteDeadSpares();
    SCRESULT SparePath(int slot, SCPath* out) const;
    template <class F>
    SCRESULT InDf(F op);

    SCPkcs15PathObjectInfo& m_owner;
    const bool m_oneRecord;
    const uint32_t m_createRoom;
    const uint32_t m_firstRead;
    Copy m_copy;
    Change m_undo;
    bool m_sawWholeSpare = false;
    // The card session in which the spare's places were looked at and the first
    // was free (no spare stands: none stands where the places before it are free);
    // 0 when not known. A cut ends the card session, so no growth is left since.
    uint64_t m_noSpareIn = 0;
    bool m_sawDeadSpare = false;
    // The octets an in-place write planned and what they replace, while the write
    // lasts: a write that a reset broke off ends as planned where nobody wrote since.
    std::vector<uint8_t> m_plannedTo, m_plannedFrom;
};
