// Security-environment records: the reference bytes of the card profiles and
// their storage as TokenInfo seInfo entries; the key set that a structure built
// anew keeps from the TokenInfo it replaces.
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "keys/pkcs3dh.h"
#include "lib/libasn/x509/x942dh.h"
#include "pkcs15/scpkcs15app.h"
#include "smartcard/sc_card_ias.h"
#include "smartcard/sc_fileheader_ias.h"
#include "smartcard/sc_transactguard.h"
#include "support/debuglog.h"
#include "support/memfile.h"

namespace {

const char kOidSeNumber[] = "1.3.6.1.4.1.32473.2.9.1.1";
const char kOidIasSe[] = "1.3.6.1.4.1.32473.2.9.1.2";
const char kOidX942[] = "1.3.6.1.4.1.32473.2.9.5.1.1";
const char kOidPkcs3[] = "1.3.6.1.4.1.32473.2.9.5.3.1";

// The reference byte of the officer's key (a key, not a PIN: access value 0x8000 | r).
constexpr int kOfficerKeyByte = 6;

// Owner identifiers of single reference bytes.
const struct {
    int byte;
    const char* oid;
} kByteOids[] = {
    {6, "1.3.6.1.4.1.32473.2.9.3.1"},  {12, "1.3.6.1.4.1.32473.2.9.4.1"}, {13, "1.3.6.1.4.1.32473.2.9.4.2"},
    {14, "1.3.6.1.4.1.32473.2.9.4.8"}, {15, "1.3.6.1.4.1.32473.2.9.4.9"}, {16, "1.3.6.1.4.1.32473.2.9.4.3"},
    {17, "1.3.6.1.4.1.32473.2.9.4.4"}, {18, "1.3.6.1.4.1.32473.2.9.4.6"}, {19, "1.3.6.1.4.1.32473.2.9.4.5"},
};

const uint8_t kIasSe[4][30] = {
    {0xBF, 0xFB, 0x02, 0x1A, 0xA0, 0x0B, 0x80, 0x02, 0x00, 0x01, 0xA1, 0x05, 0x8C, 0x03, 0x85,
     0xFF, 0x00, 0x7B, 0x0B, 0xA4, 0x09, 0x80, 0x01, 0x00, 0x95, 0x01, 0x08, 0x83, 0x01, 0x01},
    {0xBF, 0xFB, 0x03, 0x1A, 0xA0, 0x0B, 0x80, 0x02, 0x00, 0x01, 0xA1, 0x05, 0x8C, 0x03, 0x85,
     0xFF, 0x00, 0x7B, 0x0B, 0xA4, 0x09, 0x80, 0x01, 0x00, 0x95, 0x01, 0x08, 0x83, 0x01, 0x02},
    {0xBF, 0xFB, 0x05, 0x1A, 0xA0, 0x0B, 0x80, 0x02, 0x00, 0x01, 0xA1, 0x05, 0x8C, 0x03, 0x85,
     0xFF, 0x00, 0x7B, 0x0B, 0xA4, 0x09, 0x80, 0x01, 0x00, 0x95, 0x01, 0x08, 0x83, 0x01, 0x04},
    {0xBF, 0xFB, 0x07, 0x1A, 0xA0, 0x0B, 0x80, 0x02, 0x00, 0x01, 0xA1, 0x05, 0x8C, 0x03, 0x85,
     0xFF, 0x00, 0x7B, 0x0B, 0xA4, 0x09, 0x80, 0x01, 0x00, 0x95, 0x01, 0x08, 0x83, 0x01, 0x06},
};

void TokenBytes(SCFileHeaderList* h, int profile, int i, int mask) {
    if (i < 0) {
        static const int kNeg[][2] = {{1, 2},   {2, 3},   {4, 18},  {5, 19},  {13, 30}, {14, 29},
                                      {15, 14}, {16, 12}, {17, 13}, {18, 28}, {19, 11}};
        for (const auto& b : kNeg) h->SetRef(b[0], static_cast<uint8_t>(b[1]));
        return;
    }
    h->SetRef(19, 11);
    h->SetRef(1, static_cast<uint8_t>((2 * i + 2) & mask));
    h->SetRef(SC_REFIDX_USER_PUK, static_cast<uint8_t>((2 * i + 18) & mask));
    if (i == 0) {
        h->SetRef(13, 30);
        h->SetRef(14, 30);
        h->SetRef(15, 30);
        h->SetRef(18, 28);
    } else {
        const int v = profile == 4 ? ((2 * i + 19) & 31) : ((2 * i + 18) & 127);
        h->SetRef(13, static_cast<uint8_t>(v));
        h->SetRef(14, static_cast<uint8_t>(v));
        h->SetRef(15, static_cast<uint8_t>(v));
        h->SetRef(18, static_cast<uint8_t>((2 * i + 3) & mask));
    }
}

// The magnitude octets of an INTEGER (leading zero octets dropped).
const uint8_t* Magnitude(const ASNinteger& v, size_t* len) {
    const uint8_t* d = v.ASNoctstr::getData();
    long n = v.ASNoctstr::getLength();
    while (n > 0 && d && *d == 0) {
        ++d;
        --n;
    }
    *len = n > 0 ? static_cast<size_t>(n) : 0;
    return d;
}

// An algorithm entry's reference (0 to 255), or -1 where it names none.
long AlgRefOf(const ASNPkcs15AlgorithmInfo* a) {
    if (!a->wasAlgRef) return -1;
    long ref = -1;
    try {
        ref = a->getAlgRef();
    } catch (...) {
        return -1;
    }
    return ref < 0 || ref >= 256 ? -1 : ref;
}

// An algorithm entry's number, or -1.
long AlgNumberOf(const ASNPkcs15AlgorithmInfo* a) {
    try {
        return a->getAlgorithm();
    } catch (...) {
        return -1;
    }
}

bool IsX942(const ASNPkcs15AlgorithmInfo* a, long alg) {
    return alg == 49 || (a->wasAlgId && (a->algId.isEqual(kOidX942) || a->algId.isEqual("1.2.840.10046.2.1")));
}

bool IsPkcs3(const ASNPkcs15AlgorithmInfo* a, long alg) {
    return alg == 33 || (a->wasAlgId && (a->algId.isEqual(kOidPkcs3) || a->algId.isEqual("1.2.840.113549.1.3.1")));
}

// Key set and local PIN reference from the TokenInfo's supportedAlgorithms; the
// entry that gave the key set, when it is valid (null otherwise).
const ASNPkcs15AlgorithmInfo* KeySetFromAlgorithms(const ASNsequenceList<ASNPkcs15AlgorithmInfo>& algorithms,
                                                   SCFileHeaderList* h, long x942Se, long pkcs3Se) {
    bool pkcs3Done = false;
    const ASNPkcs15AlgorithmInfo* decided = nullptr;
    for (POSITION p = algorithms.GetHeadPosition(); p;) {
        const ASNPkcs15AlgorithmInfo* a = algorithms.GetNext(p);
        const long ref = AlgRefOf(a);
        const long alg = AlgNumberOf(a);
        if (IsX942(a, alg)) {
            X942DomainParameters dp;
            if (dp.assign(a->parameters) != 1 || ref < 0 || x942Se < 0) continue;
            size_t lp = 0, lq = 0, lg = 0;
            const uint8_t* P = Magnitude(dp.p, &lp);
            const uint8_t* Q = Magnitude(dp.q, &lq);
            const uint8_t* G = Magnitude(dp.g, &lg);
            decided = nullptr;
            if (h->SetKeySet(P, lp, Q, lq, G, lg)) {
                h->SetLocalPinRef(static_cast<uint8_t>(ref));
                return a;
            }
            continue;
        }
        if (!IsPkcs3(a, alg) || pkcs3Done) continue;
        Pkcs3DHParameter dh;
        if (dh.assign(a->parameters) != 1 || a->wasAlgRef || pkcs3Se < 0) continue;
        long bits = 160;
        if (dh.wasPrivateValueLength) {
            try {
                bits = dh.privateValueLength.getLong();
            } catch (...) {
                continue;
            }
            if (bits > 8191) continue;
        }
        std::vector<uint8_t> mask(static_cast<size_t>((bits + 7) / 8), 0xFF);
        if (!mask.empty()) mask[0] = static_cast<uint8_t>(0xFF >> (8 * mask.size() - static_cast<size_t>(bits)));
        size_t lp = 0, lg = 0;
        const uint8_t* P = Magnitude(dh.prime, &lp);
        const uint8_t* G = Magnitude(dh.base, &lg);
        const uint8_t* M = mask.empty() ? reinterpret_cast<const uint8_t*>("") : mask.data();
        decided = nullptr;
        if (h->SetKeySet(P ? P : M, lp, M, mask.size(), G ? G : M, lg)) {
            // The local PIN of a key set in this form is the number of its seInfo entry.
            h->SetLocalPinRef(static_cast<uint8_t>(pkcs3Se));
            pkcs3Done = true;
            decided = a;
        }
    }
    return decided;
}

// Appends an entry decoded from its DER; false when it does not decode or there is no room.
bool AddEntry(ASNsequenceList<ASNPkcs15AlgorithmInfo>* list, const std::vector<uint8_t>& der) {
    ASNPkcs15AlgorithmInfo* a = new (std::nothrow) ASNPkcs15AlgorithmInfo(0x30);
    if (!a) return false;
    MemFile in(der.data(), der.size(), false);
    try {
        if (a->read(&in, static_cast<long>(der.size())) > 0 && list->AddTail(a)) return true;
    } catch (const std::bad_alloc&) {
    }
    delete a;
    return false;
}

// The key set one entry gives (its group: the seInfo number both forms name), with the
// local PIN reference; whether it is valid.
bool ApplyKeySet(const std::vector<uint8_t>& entry, int group, SCFileHeaderList* h) {
    ASNsequenceList<ASNPkcs15AlgorithmInfo> one;
    if (!AddEntry(&one, entry)) return false;
    return KeySetFromAlgorithms(one, h, group, group) && h->GetLocalPinRef() == group;
}

// An entry of supportedAlgorithms as the card had it (DER) with the group it gives.
bool EncodeKeySetEntry(const ASNPkcs15AlgorithmInfo& a, int group, SCPkcs15App::KeySet* out) {
    MemFile der;
    if (a.write(&der) < 1) return false;
    const unsigned char* b = der.GetPointer(0);
    if (!b) return false;
    try {
        out->entry.assign(b, b + der.Size());
    } catch (const std::bad_alloc&) {
        return false;
    }
    out->group = group;
    return true;
}

bool IsSet(const SCFileHeaderList& h, int i) { return h.GetRef(i) < 255; }

long SeNumber(const ASNPkcs15SecEnvInfo& e) {
    try {
        return e.se.getLong();
    } catch (...) {
        return -1;
    }
}

// The numbers of the first seInfo entries of the two key-agreement owners (below 255; -1: none).
void KeyAgreementSe(const ASNPkcs15TokenInfo& ti, long* x942, long* pkcs3) {
    *x942 = *pkcs3 = -1;
    if (!ti.wasSeInfo) return;
    for (POSITION p = ti.seInfo.GetHeadPosition(); p;) {
        const ASNPkcs15SecEnvInfo* e = ti.seInfo.GetNext(p);
        const long n = SeNumber(*e);
        if (!e->wasOwner || n < 0 || n >= 255) continue;
        if (*x942 < 0 && e->owner.isEqual(kOidX942)) *x942 = n;
        if (*pkcs3 < 0 && e->owner.isEqual(kOidPkcs3)) *pkcs3 = n;
    }
}

}  // namespace

int SCPkcs15App::GetProfileSecurityTemplate(int profile, SCFileHeaderList* h, int tokenIndex) {
    if (!h) return 0;
    h->Reset();
    switch (profile) {
        case 1: {
            static const int b[][2] = {{0, 2}, {1, 0x81}, {6, 1}, {7, 2}, {8, 3}, {9, 4}};
            for (const auto& x : b) h->SetRef(x[0], static_cast<uint8_t>(x[1]));
            return 1;
        }
        case 3: {
            static const int b[][2] = {{0, 4}, {1, 1}, {2, 0x82}, {5, 0x82}};
            for (const auto& x : b) h->SetRef(x[0], static_cast<uint8_t>(x[1]));
            return tokenIndex < 0 ? 1 : 0;
        }
        case 4: {
            static const int b[][2] = {{0, 1}, {3, 17}, {6, 16}, {7, 16}, {8, 15},
                                       {9, 15}, {10, 16}, {11, 17}, {12, 31}};
            for (const auto& x : b) h->SetRef(x[0], static_cast<uint8_t>(x[1]));
            TokenBytes(h, 4, tokenIndex, 31);
            h->SetSeNumber(0);
            return tokenIndex > 4 ? 0 : 1;
        }
        case 7: {
            static const int b[][2] = {{0, 1}, {3, 17}, {6, 1}, {7, 1}, {12, 18}};
            for (const auto& x : b) h->SetRef(x[0], static_cast<uint8_t>(x[1]));
            TokenBytes(h, 7, tokenIndex, 127);
            h->SetSeNumber(0);
            for (const auto& t : kIasSe) h->AddHeader(t, sizeof t);
            return tokenIndex > 4 ? 0 : 1;
        }
        default: return 0;
    }
}

int SCPkcs15App::SetSecurityEnvironment(ASNPkcs15TokenInfo* ti, const char* owner, int number, bool matchNumber) {
    if (!ti || !owner || number < 0) return 0;
    ASNPkcs15SecEnvInfo* entry = nullptr;
    for (POSITION p = ti->seInfo.GetHeadPosition(); p;) {
        ASNPkcs15SecEnvInfo* e = ti->seInfo.GetNext(p);
        if (!e->wasOwner || !e->owner.isEqual(owner)) continue;
        if (matchNumber && SeNumber(*e) != number) continue;
        entry = e;
        break;
    }
    if (!entry) {
        entry = new (std::nothrow) ASNPkcs15SecEnvInfo(0x30);
        if (!entry) return 0;
        if (!entry->owner.setText(owner) || !ti->seInfo.AddTail(entry)) {
            delete entry;
            return 0;
        }
        entry->wasOwner = 1;
    }
    ti->wasSeInfo = 1;
    try {
        entry->se.setValue(static_cast<uint32_t>(number));
    } catch (...) {
        return 0;
    }
    return 1;
}

int SCPkcs15App::GetTokenIndex() const {
    if (m_hasDirRecord && m_dirRecord.wasDdo && m_dirRecord.ddo.wasOid &&
        m_dirRecord.ddo.oid.isEqual("1.3.6.1.4.1.32473.2.7.3"))
        return -1;
    if (m_pOwner && m_pOwner->GetApplicationCount() > 1) {
        int i = m_pOwner->IndexOfApplication(const_cast<SCPkcs15App*>(this));
        return i < 0 ? 0 : i;
    }
    return 0;
}

int SCPkcs15App::GetLayoutIndex(bool byDirectory) {
    const int index = GetTokenIndex();
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    if (index <= 0 || !m_pCard || m_pCard->GetCardInfo(&ci) < 0) return index;
    const int profile = static_cast<int>(ci.profile);
    SCFileHeaderList first, own;
    GetProfileSecurityTemplate(profile, &first, 0);
    GetProfileSecurityTemplate(profile, &own, index);
    // A template that gives every token the same PINs leaves nothing to decide.
    if (first.GetUserPinRef() == own.GetUserPinRef() && first.GetUserPukRef() == own.GetUserPukRef()) return index;
    ASNPkcs15AuthObject* user = nullptr;
    const uint8_t ref = byDirectory && FindPinObject(PIN_USER, &user) >= 0 && user ? GetPinReference(user) : 0xFF;
    for (int i = 0; ref < 0x80 && i < 8 && GetProfileSecurityTemplate(profile, &own, i) == 1; ++i)
        if (own.GetUserPinRef() == ref) return i;
    for (int32_t i = 0; m_pOwner && i < index; ++i) {
        const SCPkcs15App* before = m_pOwner->GetApplicationAt(static_cast<uint32_t>(i));
        if (before && before->IsKnownProfile()) return index;
    }
    return 0;
}

int SCPkcs15App::WriteProfileRecords(ASNPkcs15TokenInfo* ti, const SCFileHeaderList& h) {
    if (!ti) return 0;
    int ok = 1;
    const uint32_t type = m_pCard ? m_pCard->GetCardType() : 0;
    if (type == SC_CARD_TYPE_CLASSIC) {
        SCFileHeaderList tmpl;
        const int idx = m_hasDirRecord && m_dirRecord.wasDdo && m_dirRecord.ddo.wasOid &&
                                m_dirRecord.ddo.oid.isEqual("1.3.6.1.4.1.32473.2.7.3")
                            ? -1
                            : 0;
        GetProfileSecurityTemplate(4, &tmpl, idx);
        if (h.GetSeNumber() != tmpl.GetSeNumber())
            ok &= SetSecurityEnvironment(ti, kOidSeNumber, h.GetSeNumber(), false);
        for (const auto& b : kByteOids)
            if (h.GetRef(b.byte) != tmpl.GetRef(b.byte)) ok &= SetSecurityEnvironment(ti, b.oid, h.GetRef(b.byte), false);
    } else if (type == SC_CARD_TYPE_IAS) {
        for (size_t i = 0; i < h.GetHeaderCount(); ++i) {
            const std::vector<uint8_t>& hd = h.GetHeader(i);
            if (hd.size() < 3 || hd[0] != 0xBF || hd[1] != 0xFB) continue;
            ASNPkcs15SecEnvInfo* e = new (std::nothrow) ASNPkcs15SecEnvInfo(0x30);
            if (!e || !e->owner.setText(kOidIasSe) || !ti->seInfo.AddTail(e)) {
                delete e;
                ok = 0;
                continue;
            }
            e->wasOwner = 1;
            e->se.setValue(hd[2] & 0x7Fu);
        }
    }
    if (h.GetLocalPinRef() != 255 && h.IsKeySetValid()) {
        ok &= SetSecurityEnvironment(ti, kOidX942, h.GetLocalPinRef(), false);
        ok &= SetSecurityEnvironment(ti, kOidPkcs3, h.GetLocalPinRef(), false);
    }
    ti->wasSeInfo = ti->seInfo.GetCount() > 0 ? 1 : 0;
    return ok;
}

void SCPkcs15App::ReadProfileRecords(SCFileHeaderList* h) {
    if (!h) return;
    int profile = 0;
    uint32_t type = 0;
    if (m_pCard) {
        SCCardInfo ci;
        std::memset(&ci, 0, sizeof ci);
        if (m_pCard->GetCardInfo(&ci) >= 0) profile = static_cast<int>(ci.profile);
        type = m_pCard->GetCardType();
    }
    GetProfileSecurityTemplate(profile, h, GetTokenIndex());

    // The PINs of the AODF.
    ASNPkcs15AuthObject* pin = nullptr;
    ASNPkcs15AuthObject* unblock = nullptr;
    h->SetRef(SC_REFIDX_USER_PIN, FindPinObject(PIN_USER, &pin) == 0 ? GetPinReference(pin) : 255);
    h->SetRef(SC_REFIDX_USER_PUK, pin && FindAuthObjectForObject(HandleOfPin(pin), &unblock, true) == 0 && unblock
                                      ? GetPinReference(unblock)
                                      : 255);
    pin = unblock = nullptr;
    h->SetRef(SC_REFIDX_SO_PIN, FindPinObject(PIN_SO, &pin) == 0 ? GetPinReference(pin) : 255);
    h->SetRef(SC_REFIDX_SO_PUK, pin && FindAuthObjectForObject(HandleOfPin(pin), &unblock, true) == 0 && unblock
                                    ? GetPinReference(unblock)
                                    : 255);

    if (!m_tokenInfo.IsLoaded()) return;
    ASNPkcs15TokenInfo& ti = m_tokenInfo.Contents();
    long seX942 = -1, sePkcs3 = -1;
    if (ti.wasSeInfo) {
        for (POSITION p = ti.seInfo.GetHeadPosition(); p;) {
            const ASNPkcs15SecEnvInfo* e = ti.seInfo.GetNext(p);
            const long n = SeNumber(*e);
            if (!e->wasOwner || n < 0 || n > 255) continue;
            const uint8_t v = static_cast<uint8_t>(n);
            if (e->owner.isEqual(kOidSeNumber)) h->SetSeNumber(v);
            for (const auto& b : kByteOids)
                if (e->owner.isEqual(b.oid)) h->SetRef(b.byte, v);
        }
        long localX942 = -1, localPkcs3 = -1;
        KeyAgreementSe(ti, &localX942, &localPkcs3);
        if (localX942 >= 0) h->SetLocalPinRef(static_cast<uint8_t>(localX942));
        else if (localPkcs3 >= 0) h->SetLocalPinRef(static_cast<uint8_t>(localPkcs3));
        seX942 = localX942;
        sePkcs3 = localPkcs3;
    }
    if (type == SC_CARD_TYPE_CLASSIC) {
        auto combined = [&]() -> uint8_t {
            if (!IsSet(*h, 0)) {
                if (IsSet(*h, 6) && IsSet(*h, 15) && IsSet(*h, 1)) return h->GetRef(15);
                return IsSet(*h, 6) ? h->GetRef(6) : h->GetRef(1);
            }
            if (IsSet(*h, 6)) {
                if (IsSet(*h, 13) && IsSet(*h, 1)) return h->GetRef(13);
                return IsSet(*h, 12) ? h->GetRef(12) : h->GetRef(0);
            }
            return IsSet(*h, 14) && IsSet(*h, 1) ? h->GetRef(14) : h->GetRef(0);
        };
        if (!IsSet(*h, 15)) h->SetRef(15, combined());
        if (!IsSet(*h, 14)) h->SetRef(14, combined());
    }
    const ASNPkcs15AlgorithmInfo* decided =
        ti.wasSupportedAlgorithms ? KeySetFromAlgorithms(ti.supportedAlgorithms, h, seX942, sePkcs3) : nullptr;
    if (h == &m_headers) {
        // The key set the card's TokenInfo gives is the one a structure built anew
        // keeps; one it does not give stays as the application had it.
        KeySet read;
        if (decided && EncodeKeySetEntry(*decided, h->GetLocalPinRef(), &read)) {
            m_keySet = std::move(read);
        } else if (m_keySet.Held()) {
            (void)ApplyKeySet(m_keySet.entry, m_keySet.group, h);
        }
    }
    // An officer key under which the TokenInfo file cannot be administered is not this
    // token's officer: files made later must not name it.
    const uint8_t officerKey = h->GetRef(kOfficerKeyByte);
    bool exists = false;
    if (officerKey < SC_REF_UNUSED && !m_tokenInfo.IsAccessAllowed(static_cast<uint16_t>(0x8000 | officerKey), &exists))
        h->SetRef(kOfficerKeyByte, SC_REF_UNUSED);
    if (type == SC_CARD_TYPE_IAS && ti.wasSeInfo) {
        for (POSITION p = ti.seInfo.GetHeadPosition(); p;) {
            const ASNPkcs15SecEnvInfo* e = ti.seInfo.GetNext(p);
            const long n = SeNumber(*e);
            if (!e->wasOwner || !e->owner.isEqual(kOidIasSe) || n < 0 || n > 255) continue;
            (void)ReadSecurityInfoEnvListFromCard(h, static_cast<int>(n), e->wasAid ? e->aid.getData() : nullptr,
                                                  e->wasAid ? static_cast<size_t>(e->aid.getLength()) : 0);
        }
    }
}

int SCPkcs15App::ReadSecurityInfoEnvListFromCard(SCFileHeaderList* headers, int n, const uint8_t* aid, size_t aidLen) {
    static const uint8_t kIasAid[] = {0xA0, 0x00, 0x00, 0x00, 0x77, 0x01, 0x08, 0x00,
                                      0x07, 0x00, 0x00, 0xFE, 0x00, 0x00, 0x01, 0x00};
    SCCard_IAS* ias = dynamic_cast<SCCard_IAS*>(m_pCard);
    if (!headers || !ias) return 0;
    if (!aid || aidLen == 0) {
        aid = kIasAid;
        aidLen = sizeof kIasAid;
    }
    if (aidLen > 65535) aidLen = 65535;
    SCTransactGuard guard(m_pCard);
    SCRESULT r = ias->SelectByAid(aid, aidLen, 0, nullptr);
    SCFileHeader_IAS sdo(0xFB, static_cast<uint8_t>(n == 255 ? 0xFF : (n & 0x7F)));
    if (r >= 0) r = ias->GetSdoData(&sdo);
    if (r >= 0 && sdo.GetRaw().empty()) r = SC_E_INVALID_DATA_FORMAT;
    if (r < 0) {
        char name[96];
        DebugLogWrite(2, 0, "PKCS#15: SCPkcs15App::ReadSecurityInfoEnvListFromCard: failed to read SSE %.2x from IAS Card: %s (0x%08lx)",
                      static_cast<unsigned>(n & 0xFF), SCPkcs15GetErrorName(r, name, sizeof name),
                      static_cast<unsigned long>(static_cast<uint64_t>(r) & 0xFFFFFFFFu));
        return 0;
    }
    headers->AddHeader(sdo.GetRaw().data(), sdo.GetRaw().size());
    return 1;
}

// ---- the key set a structure built anew keeps ----

void SCPkcs15App::KeepKeySet(const KeySet& keySet) {
    if (m_keySet.Held() || !keySet.Held()) return;
    try {
        m_keySet = keySet;
    } catch (const std::bad_alloc&) {
        return;
    }
    (void)ApplyKeySet(m_keySet.entry, m_keySet.group, &m_headers);
}

SCRESULT SCPkcs15App::TakeKeySetAsRead(const KeySet& held, SCRESULT read) {
    // Nothing left to read (a structure already erased, a TokenInfo left unwritten):
    // the key set stays as the application had it.
    if (read == SC_E_FILE_NOT_FOUND || read == SC_E_INVALID_DATA_FORMAT) return 0;
    if (read < 0) return read;
    if (!m_tokenInfo.IsLoaded()) return 0;
    const ASNPkcs15TokenInfo& ti = m_tokenInfo.Contents();
    long x942 = -1, pkcs3 = -1;
    KeyAgreementSe(ti, &x942, &pkcs3);
    SCFileHeaderList h;
    const ASNPkcs15AlgorithmInfo* decided =
        ti.wasSupportedAlgorithms ? KeySetFromAlgorithms(ti.supportedAlgorithms, &h, x942, pkcs3) : nullptr;
    if (!decided) return 0;  // a TokenInfo without one takes nothing away
    KeySet now;
    if (!EncodeKeySetEntry(*decided, h.GetLocalPinRef(), &now)) return SC_E_NO_MEMORY;
    if (held.Held() && !(held == now)) {
        // Not the key set the token had: a TokenInfo the card did not give as it is.
        DebugLogWriteText(2, 0, "PKCS#15: TokenInfo names another key set than the token had - nothing deleted");
        try {
            m_keySet = held;  // a reading of it may have taken the other
        } catch (const std::bad_alloc&) {
            m_keySet = KeySet();
        }
        return SC_E_INVALID_DATA_FORMAT;
    }
    m_keySet = std::move(now);
    return 0;
}

bool SCPkcs15App::TokenInfoNamesKeySet() {
    if (!m_tokenInfo.IsLoaded()) return false;
    const ASNPkcs15TokenInfo& ti = m_tokenInfo.Contents();
    long x942 = -1, pkcs3 = -1;
    KeyAgreementSe(ti, &x942, &pkcs3);
    SCFileHeaderList h;
    return ti.wasSupportedAlgorithms && KeySetFromAlgorithms(ti.supportedAlgorithms, &h, x942, pkcs3) != nullptr;
}

bool SCPkcs15App::TokenInfoNamesGroup(uint8_t* ref) {
    *ref = 0;
    if (!m_tokenInfo.IsLoaded()) return false;
    const ASNPkcs15TokenInfo& ti = m_tokenInfo.Contents();
    long x942 = -1, pkcs3 = -1;
    KeyAgreementSe(ti, &x942, &pkcs3);
    if (x942 >= 0 || pkcs3 >= 0) {
        *ref = static_cast<uint8_t>(x942 >= 0 ? x942 : pkcs3);
        return true;
    }
    if (!ti.wasSupportedAlgorithms) return false;
    for (POSITION p = ti.supportedAlgorithms.GetHeadPosition(); p;) {
        const ASNPkcs15AlgorithmInfo* a = ti.supportedAlgorithms.GetNext(p);
        const long alg = AlgNumberOf(a);
        if (!IsX942(a, alg) && !IsPkcs3(a, alg)) continue;
        const long r = AlgRefOf(a);
        if (r > 0 && r < 255) *ref = static_cast<uint8_t>(r);
        return true;
    }
    return false;
}

bool SCPkcs15App::ApplyKeySetTo(const KeySet& keySet, SCFileHeaderList* headers) {
    return keySet.Held() && ApplyKeySet(keySet.entry, keySet.group, headers);
}

SCRESULT SCPkcs15App::CarryKeySet() {
    if (!m_keySet.Held()) return 0;
    ASNPkcs15TokenInfo& ti = m_tokenInfo.Contents();
    if (!AddEntry(&ti.supportedAlgorithms, m_keySet.entry)) return SC_E_NO_MEMORY;
    ti.wasSupportedAlgorithms = 1;
    // Its group's seInfo entries follow from the header list (WriteProfileRecords).
    return ApplyKeySet(m_keySet.entry, m_keySet.group, &m_headers) ? 0 : SC_E_INVALID_DATA_FORMAT;
}
