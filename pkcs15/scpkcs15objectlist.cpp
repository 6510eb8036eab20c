#include "pkcs15/scpkcs15objectlist.h"

#include <new>

#include "pkcs15/scpkcs15odf.h"
#include "support/memfile.h"

SCPkcs15ObjectList::SCPkcs15ObjectList(SCCard* card, uint32_t kind, bool trusted)
    : SCPkcs15PathObjectInfo(card), m_kind(kind), m_trusted(trusted), m_rawRecords(8, true) {}

SCPkcs15ObjectList::~SCPkcs15ObjectList() { m_rawRecords.DeleteAll(); }

bool SCPkcs15ObjectList::HoldsHandle(const void*) const { return false; }

SCRESULT SCPkcs15ObjectList::TakeRecord(const ASNany& record) {
    ASNany* raw = new (std::nothrow) ASNany(record);
    if (!raw) return SC_E_NO_MEMORY;
    if (!m_rawRecords.AddTail(raw)) {
        delete raw;
        return SC_E_NO_MEMORY;
    }
    return 0;
}

SCRESULT SCPkcs15ObjectList::Parse(MemFile* in, uint32_t len) {
    ClearContents();
    SCRESULT r = ScPkcs15ReadRecords(in, len, [this](const ASNany& rec) -> SCRESULT { return TakeRecord(rec); });
    if (r < 0) {
        // Half a directory is worse than none: nothing of a malformed file stays.
        ClearContents();
        return r;
    }
    return 0;
}

void SCPkcs15ObjectList::ClearContents() { m_rawRecords.DeleteAll(); }

SCRESULT SCPkcs15ObjectList::Encode(MemFile* out) {
    SCRESULT total = EncodeRecords(out);
    if (total < 0) return total;
    for (POSITION p = m_rawRecords.GetHeadPosition(); p;) {
        SCRESULT w = EncodeAsn(*m_rawRecords.GetNext(p), out);
        if (w < 0) return w;
        total += w;
    }
    return total;
}

// ---- authentication objects ----

SCPkcs15AuthObjectList::SCPkcs15AuthObjectList(SCCard* card) : SCPkcs15ObjectList(card, 0x700), m_records(8, true) {}

SCPkcs15AuthObjectList::~SCPkcs15AuthObjectList() { m_records.DeleteAll(); }

bool SCPkcs15AuthObjectList::HoldsHandle(const void* handle) const {
    return handle != nullptr && m_records.Find(static_cast<const ASNPkcs15AuthObject*>(handle)) != nullptr;
}

SCRESULT SCPkcs15AuthObjectList::GetObjectKind(void* handle) {
    // Every record of this list is a PIN object.
    return HoldsHandle(handle) ? 0x1000700 : SC_E_PKCS15_INVALID_HANDLE;
}

SCRESULT SCPkcs15AuthObjectList::FindObjects(const SCPkcs15ObjectAttributeList* tmpl, uint32_t* found,
                                             void** handle) {
    if (!found || !handle) return SC_E_BAD_PARAMS;
    *found = 0;
    void* prev = *handle;
    *handle = nullptr;
    if (tmpl) {
        for (size_t i = 0; i < tmpl->GetCount(); ++i) {
            const SCPkcs15ObjectAttribute* a = tmpl->GetAt(i);
            uint32_t kind = 0;
            if (a->GetType() != 1 || !a->GetInteger(&kind)) return 0;
            if (!SCPkcs15ObjectAttribute::KindMatches(kind, 0x1000700)) return 0;
        }
    }
    POSITION pos = m_records.GetHeadPosition();
    if (prev) {
        pos = m_records.Find(static_cast<ASNPkcs15AuthObject*>(prev));
        if (!pos) return SC_E_PKCS15_INVALID_HANDLE;
        m_records.GetNext(pos);
    }
    if (!pos) return 0;
    *handle = m_records.GetAt(pos);
    *found = 1;
    return 0;
}

SCRESULT SCPkcs15AuthObjectList::GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) {
    if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    if (attr->GetType() != 1) return SC_E_PKCS15_ATTR_NOT_FOUND;
    return attr->SetInteger(1, 0x1000700) ? 0 : SC_E_NO_MEMORY;
}

void SCPkcs15AuthObjectList::ClearContents() {
    m_records.DeleteAll();
    SCPkcs15ObjectList::ClearContents();
}

SCRESULT SCPkcs15AuthObjectList::TakeRecord(const ASNany& record) {
    // Only PIN objects (SEQUENCE) are decoded; other authentication types stay raw.
    if (record.tag == 0x30) {
        ASNPkcs15AuthObject* pin = new (std::nothrow) ASNPkcs15AuthObject(0x30);
        if (!pin) return SC_E_NO_MEMORY;
        int a = 0;
        try {
            a = pin->assign(record);
        } catch (...) {
            a = 0;
        }
        if (a == 1) {
            if (!m_records.AddTail(pin)) {
                delete pin;
                return SC_E_NO_MEMORY;
            }
            return 0;
        }
        delete pin;
        if (a == -2) return SC_E_NO_MEMORY;
    }
    return SCPkcs15ObjectList::TakeRecord(record);
}

SCRESULT SCPkcs15AuthObjectList::EncodeRecords(MemFile* out) {
    SCRESULT total = 0;
    for (POSITION p = m_records.GetHeadPosition(); p;) {
        SCRESULT w = EncodeAsn(*m_records.GetNext(p), out);
        if (w < 0) return w;
        total += w;
    }
    return total;
}
