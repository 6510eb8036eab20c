// The spare copy of a file of records. A file that describes the token (an
// object directory, the ODF, TokenInfo, EF.DIR) grows by being deleted and made
// again larger; its new records stand first in a spare file of the same DF, which
// a reader takes in the file's place while the spare is whole. So at every
// command of a growth the card holds the old records or the new ones.
//
// The spare's identifier follows from the file's, so a reader finds it without
// listing the DF. It opens with a mark that names the file it stands for and the
// SHA-1 digest of the records that follow it up to its last octet: a spare cut
// short is never taken for a whole one. The mark is one that anybody can write,
// so only the spare's header vouches for it: a spare is made in a life-cycle
// state of its own (kScPkcs15SpareState), straight from its first command, with
// its file's rules or the spare rules made from them (ScPkcs15SpareRules), so
// nobody wrote it who may not update the file. One found in that state, with
// those rules and every octet as the card created it, is a spare this module
// never wrote. Anything else under a spare's identifier (a file of the card's
// issuer, or of somebody who may make files in the DF) is never read in the
// file's place, written or deleted; the next identifier is used instead.
#pragma once

#include <cstdint>
#include <vector>

#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_path.h"

// The identifiers a spare of the file with this identifier may take, in the
// order they are tried: the next one only while the one before holds a file that
// is no spare of this file.
constexpr int kScPkcs15SpareSlots = 2;
uint16_t ScPkcs15SpareFid(uint16_t fid, int slot = 0);

// The spare's contents for these records of the file at this absolute path: the
// mark (path and digest, as every version that made spares reads it), then the
// records. False when memory runs out or the mark would not fit its length octet.
bool ScPkcs15SpareContents(const SCPath& file, const uint8_t* records, uint32_t len, std::vector<uint8_t>* out);

// The access rules of a header (the value of its template AB), empty where it carries none.
std::vector<uint8_t> ScPkcs15Rules(const SCFileHeader& h);
// The rules of a spare that stands while its file is rewritten in place: the
// file's, but that the rule which lets the file be updated lets the spare be
// deleted too (who may rewrite a directory may take away a copy of it; nothing
// else is granted). False where the rules cannot be read that way.
bool ScPkcs15SpareRules(const std::vector<uint8_t>& fileRules, std::vector<uint8_t>* out);
// Rules read from a file's contents (claimed), bounded by those the card enforced
// on the file (enforced): the claimed ones where they ask, operation by
// operation, what the enforced ones ask or never (97 00), and name the same
// operations; else the enforced ones.
// Contents may narrow what a header grants, never widen it.
std::vector<uint8_t> ScPkcs15BoundedRules(const std::vector<uint8_t>& claimed, const std::vector<uint8_t>& enforced);

enum class SCPkcs15Spare {
    kNone,     // no file under the spare's identifier
    kWhole,    // a whole spare of this file: its records stand in the file's place
    kCut,      // a spare of this file cut short or never written: it goes at the next write
    kForeign,  // no spare of this file, or one its header does not vouch for: never touched
};

// The life-cycle byte a spare is made with: operational and activated (ISO/IEC
// 7816-4 codes that state 05 or 07) in the code that no other file of this module
// takes and card issuers do not give; the card enforces the spare's rules alike.
constexpr uint8_t kScPkcs15SpareState = 0x07;
// The header `like` with this life-cycle byte (and, where given, these access
// rules), to make a file from; false when it cannot be rebuilt (the file is then
// made like `like` itself).
bool ScPkcs15WithState(const SCFileHeader& like, uint8_t state, SCFileHeader* out,
                       const std::vector<uint8_t>* rules = nullptr);
// Who could have written a file under a spare's identifier (header `found`),
// beside the file it would stand for (header `fileHeader`).
enum class SCPkcs15SpareMaker {
    kThisModule,  // made in the spare's state with the file's rules or the spare's made from them
    kEarlier,     // made like the file itself (its state and rules), as the first spares were
    kAnybody,     // anything else: made by somebody the file's rules do not vouch for
};
SCPkcs15SpareMaker ScPkcs15SpareMadeBy(const SCFileHeader& found, const SCFileHeader& fileHeader);
// Whether a header that shows no life-cycle byte shows the spare rules made from
// its file's: all such a header tells of who made the file. Who may create files
// beside it tells the rest; the caller that takes such a file judges that.
bool ScPkcs15SpareRulesWithoutState(const SCFileHeader& found, const SCFileHeader& fileHeader);
// Whether a file under a spare's identifier of `file` (header `found`, octets
// d[0, n), read whole) is a spare of it that a cut left before its first write:
// made by this module (above; or, where `stateUnshown` and the header shows no
// state, with the spare rules), at least as long as a mark, every octet the same
// filler the card creates files with.
bool ScPkcs15NeverWrittenSpare(const SCPath& file, const SCFileHeader& found, const SCFileHeader& fileHeader,
                               const uint8_t* d, uint32_t n, bool stateUnshown = false);

// What the octets of a file found under the spare's identifier are, by its mark
// alone; for a whole spare, *at and *len frame its records, and *fileRules gets
// the file's rules where the mark carries them (spares of one earlier version
// did; else it is emptied).
SCPkcs15Spare ScPkcs15ReadSpare(const SCPath& file, const uint8_t* d, uint32_t n, uint32_t* at, uint32_t* len,
                                std::vector<uint8_t>* fileRules = nullptr);
