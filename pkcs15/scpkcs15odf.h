// The application's object directory file: entries [0]..[8] around a PKCS#15
// path, each naming one object directory file.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnexpl.h"
#include "lib/libpkcs15/asnpkcs15path.h"
#include "pkcs15/scpkcs15pathobjectinfo.h"
#include "support/ptrlist.h"

typedef ASNexpl<ASNPkcs15Path> SCPkcs15OdfEntry;

// Entry tags of the directory files.
constexpr uint8_t SC_ODF_PRKDF = 0xA0;
constexpr uint8_t SC_ODF_PUKDF = 0xA1;
constexpr uint8_t SC_ODF_TRUSTED_PUKDF = 0xA2;
constexpr uint8_t SC_ODF_SKDF = 0xA3;
constexpr uint8_t SC_ODF_CDF = 0xA4;
constexpr uint8_t SC_ODF_TRUSTED_CDF = 0xA5;
constexpr uint8_t SC_ODF_USEFUL_CDF = 0xA6;
constexpr uint8_t SC_ODF_DODF = 0xA7;
constexpr uint8_t SC_ODF_AODF = 0xA8;

// Reads a directory-style file: DER records back to back, bytes 00 and FF
// between them are filler, a file that begins with filler holds nothing. Calls
// onRecord for every record (an ANY holding its TLV); onRecord returns 0 to go
// on or a negative result to stop. The result is the bytes consumed (len), 0
// for an empty file, or a failure.
template <class F>
SCRESULT ScPkcs15ReadRecords(GenericFile* in, uint32_t len, F onRecord);

class SCPkcs15ODF : public SCPkcs15PathObjectInfo {
public:
    explicit SCPkcs15ODF(SCCard* card);
    ~SCPkcs15ODF() override;

    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;
    void Reset(bool full) override { SCPkcs15PathObjectInfo::Reset(full); }

    SCPkcs15OdfEntry* AddEntryHead(uint8_t tag, const uint16_t* ids, uint16_t count);
    SCPkcs15OdfEntry* AddEntryTail(uint8_t tag, const uint16_t* ids, uint16_t count);
    POSITION GetFirstEntryPosition() const { return m_entries.GetHeadPosition(); }
    SCPkcs15OdfEntry* GetNextEntry(POSITION& pos) const { return pos ? m_entries.GetNext(pos) : nullptr; }
    SCPkcs15OdfEntry* GetPrevEntry(POSITION& pos) const { return pos ? m_entries.GetPrev(pos) : nullptr; }
    // The next entry with this tag after pos (from the first when pos is null); pos is set to it.
    SCPkcs15OdfEntry* FindEntryByTag(uint8_t tag, POSITION& pos) const;
    int GetEntryCount() const { return m_entries.GetCount(); }
    // Removes and deletes the entry at pos.
    void RemoveEntryAt(POSITION pos) {
        if (pos) delete m_entries.RemoveAt(pos);
    }
    int GetUnrecognisedCount() const { return m_other.GetCount(); }

private:
    SCPkcs15OdfEntry* NewEntry(uint8_t tag, const uint16_t* ids, uint16_t count);

    TypedPointerList<SCPkcs15OdfEntry> m_entries;
    TypedPointerList<ASNany> m_other;
};

// ---- template body ----
#include <vector>

#include "pkcs15/scpkcs15rewrite.h"
#include "support/genericfile.h"

template <class F>
SCRESULT ScPkcs15ReadRecords(GenericFile* in, uint32_t len, F onRecord) {
    if (!in) return SC_E_BAD_USAGE;
    const int64_t start = in->Tell();
    if (start < 0) return SC_E_PKCS15_FILE;
    std::vector<uint8_t> bytes;
    std::vector<SCPkcs15Record> framed;
    try {
        bytes.resize(len);
        size_t got = 0;
        if (len && (in->Read(len, bytes.data(), &got) != 0 || got != len)) return SC_E_PKCS15_FILE;
        uint32_t end = 0;
        if (ScPkcs15FrameRecords(bytes.data(), len, len, false, &framed, &end) != 0) return SC_E_INVALID_DATA_FORMAT;
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    if (framed.empty()) return 0;
    for (const SCPkcs15Record& at : framed) {
        if (in->Seek(static_cast<long>(start + at.at)) != 0) return SC_E_PKCS15_FILE;
        ASNany rec;
        long r = rec.read(in, static_cast<long>(at.len));
        if (r == 0) return SC_E_INVALID_DATA_FORMAT;
        if (r == -1) return SC_E_PKCS15_FILE;
        if (r < 0) return SC_E_NO_MEMORY;
        if (static_cast<uint64_t>(r) != at.len) return SC_E_INVALID_DATA_FORMAT;
        SCRESULT s = onRecord(rec);
        if (s < 0) return s;
    }
    return len;
}
