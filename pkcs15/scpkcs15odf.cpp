#include "pkcs15/scpkcs15odf.h"

#include <new>

#include "support/memfile.h"

SCPkcs15ODF::SCPkcs15ODF(SCCard* card) : SCPkcs15PathObjectInfo(card), m_entries(8, true), m_other(8, true) {
    // Room for an entry of each kind of directory, written in place.
    SetRecordsLayout(false, 256, 48);
}

SCPkcs15ODF::~SCPkcs15ODF() {
    m_entries.DeleteAll();
    m_other.DeleteAll();
}

void SCPkcs15ODF::ClearContents() {
    m_entries.DeleteAll();
    m_other.DeleteAll();
}

SCRESULT SCPkcs15ODF::Parse(MemFile* in, uint32_t len) {
    ClearContents();
    SCRESULT r = ScPkcs15ReadRecords(in, len, [this](const ASNany& rec) -> SCRESULT {
        SCPkcs15OdfEntry* e = new (std::nothrow) SCPkcs15OdfEntry(rec.tag);
        if (!e) return SC_E_NO_MEMORY;
        int a = e->assign(rec);
        if (a == 1) {
            m_entries.AddTail(e);
            return 0;
        }
        delete e;
        if (a == -2) return SC_E_NO_MEMORY;
        ASNany* raw = new (std::nothrow) ASNany(rec);
        if (!raw) return SC_E_NO_MEMORY;
        m_other.AddTail(raw);
        return 0;
    });
    if (r < 0) return r;
    for (POSITION p = m_entries.GetHeadPosition(); p;) {
        uint8_t t = m_entries.GetNext(p)->getTag();
        if (t < SC_ODF_PRKDF || t > SC_ODF_AODF) return SC_E_INVALID_DATA_FORMAT;
    }
    return r;
}

SCRESULT SCPkcs15ODF::Encode(MemFile* out) {
    SCRESULT total = 0;
    for (POSITION p = m_entries.GetHeadPosition(); p;) {
        SCRESULT w = EncodeAsn(*m_entries.GetNext(p), out);
        if (w < 0) return w;
        total += w;
    }
    for (POSITION p = m_other.GetHeadPosition(); p;) {
        SCRESULT w = EncodeAsn(*m_other.GetNext(p), out);
        if (w < 0) return w;
        total += w;
    }
    return total;
}

SCPkcs15OdfEntry* SCPkcs15ODF::NewEntry(uint8_t tag, const uint16_t* ids, uint16_t count) {
    try {
        SCPkcs15OdfEntry* e = new SCPkcs15OdfEntry(static_cast<uint32_t>(tag | 0x20));
        if (!e->value.set(ids, count, 0, 0)) {
            delete e;
            return nullptr;
        }
        return e;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

SCPkcs15OdfEntry* SCPkcs15ODF::AddEntryHead(uint8_t tag, const uint16_t* ids, uint16_t count) {
    SCPkcs15OdfEntry* e = NewEntry(tag, ids, count);
    if (e) m_entries.AddHead(e);
    return e;
}

SCPkcs15OdfEntry* SCPkcs15ODF::AddEntryTail(uint8_t tag, const uint16_t* ids, uint16_t count) {
    SCPkcs15OdfEntry* e = NewEntry(tag, ids, count);
    if (e) m_entries.AddTail(e);
    return e;
}

SCPkcs15OdfEntry* SCPkcs15ODF::FindEntryByTag(uint8_t tag, POSITION& pos) const {
    POSITION p = pos;
    if (p)
        m_entries.GetNext(p);
    else
        p = m_entries.GetHeadPosition();
    while (p) {
        POSITION here = p;
        SCPkcs15OdfEntry* e = m_entries.GetNext(p);
        if (e->getTag() == tag) {
            pos = here;
            return e;
        }
    }
    pos = nullptr;
    return nullptr;
}
