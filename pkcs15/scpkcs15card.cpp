#include "pkcs15/scpkcs15card.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "pkcs15/scpkcs15odf.h"
#include "smartcard/sc_card_globalplatform.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"
#include "support/vtest.h"

namespace {

const char kSrc[] = "scpkcs15card";
const SCPkcs15CardAppServices* g_cardServices = nullptr;
constexpr SCRESULT kStatus6A86 = SC_RESULT_CODE(0xE000000000016A86ULL);
constexpr SCRESULT kStatus6B00 = SC_RESULT_CODE(0xE000000000016B00ULL);
const uint16_t kDirFid = 0x2F00;
// The size of an EF.DIR made anew: room for several application records.
const uint32_t kDirRoom = 256;

// Thrown inside the EF.DIR reader when an element cannot be decoded.
class invalid_format_exception : public std::exception {
public:
    const char* what() const noexcept override { return "invalid format"; }
};

bool IsNoProfileResult(SCRESULT r) {
    return r == SC_E_FILE_NOT_FOUND || r == kStatus6A86 || r == kStatus6B00 || r == SC_E_UNSUPPORTED_FEATURE;
}

// Decodes obj from exactly the bytes of one TLV: 1, 0 (not this type), or a negative result.
template <class T>
int DecodeWhole(T& obj, const std::vector<uint8_t>& tlv) {
    long r = obj.readBuffer(tlv.data(), static_cast<long>(tlv.size()));
    if (r == -1 || r == -2) return static_cast<int>(r);
    return r == static_cast<long>(tlv.size()) ? 1 : 0;
}

}  // namespace

void SCPkcs15SetCardAppServices(const SCPkcs15CardAppServices* services) { g_cardServices = services; }

// ---------------- EF.DIR ----------------

SCPkcs15CardDir::SCPkcs15CardDir(SCCard* card)
    : SCPkcs15PathObjectInfo(card), m_dirRecords(10, true), m_sigGPresent(false), m_otherRecords(10, true) {
    SetRecordsLayout(false, kDirRoom, 48);
    SetPath(&kDirFid, 1, 0, 0);
}

SCRESULT SCPkcs15CardDir::Write(const uint8_t* data, uint32_t len, SCPath* currentDf) {
    if (data != nullptr || currentDf != nullptr) return SCPkcs15PathObjectInfo::Write(data, len, currentDf);
    // No records on a card without EF.DIR: nothing to make (a card without one reads the same).
    m_noCreate = IsEmpty();
    const SCRESULT r = SCPkcs15PathObjectInfo::Write(nullptr, 0, nullptr);
    const bool absent = m_noCreate && r == SC_E_FILE_NOT_FOUND;
    m_noCreate = false;
    return absent ? 0 : r;
}

SCPkcs15CardDir::~SCPkcs15CardDir() { ClearContents(); }

void SCPkcs15CardDir::ClearContents() {
    m_dirRecords.DeleteAll();
    m_otherRecords.DeleteAll();
    m_sigGPresent = false;
}

std::vector<std::pair<std::vector<uint8_t>, SCPath>> SCPkcs15CardDir::OtherApplications() const {
    std::vector<std::pair<std::vector<uint8_t>, SCPath>> out;
    for (POSITION p = m_otherRecords.GetHeadPosition(); p;) {
        const ASNany* el = m_otherRecords.GetNext(p);
        if (el->tag != 0x61 || el->getData() == nullptr) continue;
        std::vector<uint8_t> aid;
        SCPath path;
        SCTlv t;
        for (size_t at = 0; scReadTlv(el->getData(), static_cast<size_t>(el->getLength()), &at, &t);) {
            if (t.tag == 0x4F) aid.assign(t.value, t.value + t.length);
            if (t.tag == 0x51 && t.length >= 2 && t.length % 2 == 0)
                for (size_t i = 0; i < t.length; i += 2) path.Append(static_cast<uint16_t>(t.value[i] << 8 | t.value[i + 1]));
        }
        if (!aid.empty() && path.Count() > 0) out.emplace_back(aid, path.BuildAbsolute(SCPath()));
    }
    return out;
}

void SCPkcs15CardDir::ClearKeepingOthers() {
    m_dirRecords.DeleteAll();
    m_sigGPresent = false;
}

bool SCPkcs15CardDir::FindDirRecordByAid(const uint8_t* aid, uint32_t len) const {
    for (POSITION p = m_dirRecords.GetHeadPosition(); p;) {
        const ASNPkcs15DIRRecord* r = m_dirRecords.GetNext(p);
        if (static_cast<uint32_t>(r->aid.getLength()) != len) continue;
        if (len == 0 || (aid && r->aid.getData() && memcmp(r->aid.getData(), aid, len) == 0)) return true;
    }
    return false;
}

SCRESULT SCPkcs15CardDir::Parse(MemFile* in, uint32_t len) {
    SCRESULT r;
    try {
        r = ParseElements(in, len);
    } catch (const invalid_format_exception&) {
        r = SC_E_INVALID_DATA_FORMAT;
    } catch (const std::bad_alloc&) {
        r = SC_E_NO_MEMORY;
    }
    if (r < 0) ClearContents();
    return r;
}

SCRESULT SCPkcs15CardDir::ParseElements(MemFile* in, uint32_t len) {
    ClearContents();
    if (len == 0) return 0;
    bool flat = false;
    SCRESULT r = ScPkcs15ReadRecords(in, len, [&](const ASNany& el) -> SCRESULT {
        std::vector<uint8_t> tlv;
        if (el.encodeToVector(tlv) < 1) throw invalid_format_exception();
        uint8_t tag = el.tag;
        if (tag == 0x61) {
            ASNPkcs15DIRRecord* rec = new ASNPkcs15DIRRecord(0x61);
            int d = DecodeWhole(*rec, tlv);
            if (d == 1) {
                m_dirRecords.AddTail(rec);
                return 0;
            }
            if (d == -1 || d == -2) {
                delete rec;
                return SC_E_NO_MEMORY;
            }
            ASNSigGDirRecord sig;
            d = DecodeWhole(sig, tlv);
            if (d == 1) {
                delete rec;
                m_sigG = sig;
                m_sigGPresent = true;
                return 0;
            }
            if (d == -1 || d == -2) {
                delete rec;
                return SC_E_NO_MEMORY;
            }
            ASNPkcs15DIRRecord_Pomerantix pom;
            d = DecodeWhole(pom, tlv);
            if (d == 1) {
                rec->clear();
                *rec = pom;
                m_dirRecords.AddTail(rec);
                return 0;
            }
            delete rec;
            if (d == -1 || d == -2) return SC_E_NO_MEMORY;
        }
        m_otherRecords.AddTail(new ASNany(el));
        if (tag == 0x4F) {
            flat = ASNPkcs15DIRRecord::isPkcs15Aid(el.getData(), static_cast<int>(el.getLength())) != 0;
        } else if (tag == 0x51 && flat) {
            long n = el.getLength();
            if (n % 2 != 0) throw invalid_format_exception();
            // A path of no file names no application (kept raw, like the pair).
            flat = n > 0;
            if (!flat) return 0;
            std::vector<uint16_t> ids(static_cast<size_t>(n / 2) + 1);
            const uint8_t* d = el.getData();
            for (long i = 0; i < n / 2; ++i) ids[static_cast<size_t>(i)] = static_cast<uint16_t>((d[2 * i] << 8) | d[2 * i + 1]);
            ASNPkcs15DIRRecord* rec = ASNPkcs15DIRRecord::createPkcs15(ids.data(), static_cast<int>(n / 2), nullptr);
            if (!rec) return SC_E_NO_MEMORY;
            flat = false;
            // Written back, the flat pair follows the template made from it: reading that
            // file again must not list the same application twice.
            for (POSITION q = m_dirRecords.GetHeadPosition(); q;) {
                const ASNPkcs15DIRRecord* o = m_dirRecords.GetNext(q);
                if (o->hasPkcs15Aid() && o->wasPath && o->path == rec->path) {
                    delete rec;
                    return 0;
                }
            }
            m_dirRecords.AddTail(rec);
        }
        return 0;
    });
    if (r < 0) return r;
    if (r != 0 && static_cast<uint32_t>(r) != len) return SC_E_INVALID_DATA_FORMAT;
    return r;
}

SCRESULT SCPkcs15CardDir::Encode(MemFile* out) {
    SCRESULT total = 0;
    for (POSITION p = m_dirRecords.GetHeadPosition(); p;) {
        SCRESULT w = EncodeAsn(*m_dirRecords.GetNext(p), out);
        if (w < 0) return w;
        total += w;
    }
    for (POSITION p = m_otherRecords.GetHeadPosition(); p;) {
        SCRESULT w = EncodeAsn(*m_otherRecords.GetNext(p), out);
        if (w < 0) return w;
        total += w;
    }
    if (m_sigGPresent) {
        SCRESULT w = EncodeAsn(m_sigG, out);
        if (w < 0) return w;
        total += w;
    }
    return total;
}

// ---------------- card ----------------

SCPkcs15Card::SCPkcs15Card(SCCard* card)
    : SCPkcs15PtrList<SCPkcs15App>(10), m_dir(card), m_pCard(card), m_flags(0), m_lastResult(0) {}

SCPkcs15Card::~SCPkcs15Card() {
    while (GetCount() > 0) DestroyApplication(RemoveTail());
}

const char* SCPkcs15Card::GetAppTypeOid(uint32_t cardType) {
    switch (cardType) {
    case SC_CARD_TYPE_SETCOS441: return "1.3.6.1.4.1.32473.2.7.1";
    case SC_CARD_TYPE_COSMOPOLIC: return "1.3.6.1.4.1.32473.2.7.2";
    case SC_CARD_TYPE_CLASSIC: return "1.3.6.1.4.1.32473.2.7.3.1";
    case SC_CARD_TYPE_IAS: return "1.3.6.1.4.1.32473.2.7.4";
    default: return nullptr;
    }
}

SCPkcs15App* SCPkcs15Card::GetApplicationAt(uint32_t index) const {
    if (index >= static_cast<uint32_t>(GetCount())) return nullptr;
    return GetAt(FindIndex(static_cast<int>(index)));
}

int32_t SCPkcs15Card::IndexOfApplication(SCPkcs15App* app) const {
    int32_t i = 0;
    for (POSITION p = GetHeadPosition(); p; ++i)
        if (GetNext(p) == app) return i;
    return -1;
}

void SCPkcs15Card::DestroyApplication(SCPkcs15App* app) {
    if (app && g_cardServices && g_cardServices->destroy) g_cardServices->destroy(app);
}

SCRESULT SCPkcs15Card::MakeApplication(ASNPkcs15DIRRecord* record, SCPkcs15App** out) {
    if (out) *out = nullptr;
    if (!g_cardServices || !g_cardServices->create) return 0;
    SCPkcs15App* app = g_cardServices->create(m_pCard, this, record, m_flags & OPTION_MASK);
    if (!app) return SC_E_NO_MEMORY;
    AddTail(app);
    if (GetCount() == 1) m_dir.SetApplication(app);
    if (out) *out = app;
    return 0;
}

void SCPkcs15Card::RemoveDirRecord(ASNPkcs15DIRRecord* record) {
    if (!record) return;
    POSITION p = m_dir.DirRecords().Find(record);
    if (p) delete m_dir.DirRecords().RemoveAt(p);
}

SCRESULT SCPkcs15Card::Load() {
    if (!m_pCard) return m_lastResult = SC_E_BAD_USAGE;
    m_flags |= FLAG_LOAD_TRIED;
    m_flags &= ~(FLAG_LOADED | 0x2000u);
    m_dir.ClearContents();
    SCRESULT r = m_dir.Load(false);
    if (m_pCard->GetCardType() == SC_CARD_TYPE_CLASSIC && (r == SC_E_FILE_NOT_FOUND || r == kStatus6A86) &&
        m_pCard->GetLifeCycleState() != 3)
        return m_lastResult = SC_E_CARD_UNSUPPORTED;
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return m_lastResult = r;
    if (r >= 0 && m_dir.DirRecords().GetCount() > 0) {
        for (POSITION p = m_dir.DirRecords().GetHeadPosition(); p;) {
            SCRESULT m = MakeApplication(m_dir.DirRecords().GetNext(p), nullptr);
            if (m < 0) return m_lastResult = m;
        }
        m_flags |= FLAG_LOADED;
        return m_lastResult = 0;
    }
    r = SearchByAid();
    if (r < 0) return m_lastResult = r;
    m_flags |= FLAG_LOADED;
    return m_lastResult = 0;
}

SCRESULT SCPkcs15Card::SearchByAid() {
    SCTransactGuard guard(m_pCard);
    SCRESULT mf = m_pCard->SelectMf(nullptr);
    int found = 0;
    uint16_t lastFid = 0;
    bool haveLast = false;
    SCFileHeader* hdr = nullptr;
    SCRESULT r = m_pCard->SelectByAid(ASNPkcs15DIRRecord::kPkcs15Aid, 12, 0, &hdr);
    while (r >= 0) {
        if (hdr && haveLast && hdr->GetFileId() == lastFid) break;
        ASNPkcs15DIRRecord* rec;
        if (hdr && mf >= 0) {
            uint16_t path[2] = {SC_FID_MF, hdr->GetFileId()};
            rec = ASNPkcs15DIRRecord::createPkcs15(path, 2, nullptr);
        } else {
            rec = ASNPkcs15DIRRecord::createPkcs15(nullptr, 0, nullptr);
        }
        if (!rec) {
            SCFileHeader::SafeRelease(hdr);
            return SC_E_NO_MEMORY;
        }
        m_dir.DirRecords().AddTail(rec);
        SCRESULT m = MakeApplication(rec, nullptr);
        if (m < 0) {
            SCFileHeader::SafeRelease(hdr);
            return m;
        }
        ++found;
        haveLast = hdr != nullptr;
        if (hdr) lastFid = hdr->GetFileId();
        SCFileHeader::SafeRelease(hdr);
        hdr = nullptr;
        // A card that cannot name the DF it selected would answer the same DF for ever.
        if (!haveLast) break;
        r = m_pCard->SelectByAid(ASNPkcs15DIRRecord::kPkcs15Aid, 12, 2, &hdr);
    }
    SCFileHeader::SafeRelease(hdr);
    if (found > 0 || IsNoProfileResult(r)) r = found > 0 ? 0 : SC_E_PKCS15_NO_PROFILES;
    if (r == 0 || r == SC_E_PKCS15_NO_PROFILES) {
        SCRESULT s = m_pCard->SelectByAid(ASNSigGDirRecord::kSigGAid, 6, 0, nullptr);
        if (s >= 0) {
            if (!m_dir.SigGRecord().setDefault(nullptr)) return SC_E_NO_MEMORY;
            m_dir.SetSigGPresent(true);
            r = 0;
        } else if (IsNoProfileResult(s)) {
            r = found > 0 ? 0 : SC_E_PKCS15_NO_PROFILES;
        } else {
            r = s;
        }
    }
    if (dynamic_cast<SCCard_GlobalPlatform*>(m_pCard)) m_pCard->SelectApplet();
    if (found > 0) return 0;
    if (r == 0) {
        // The SigG application alone: the card is read, but holds no PKCS#15 profile.
        m_flags |= FLAG_LOADED;
        return SC_E_PKCS15_NO_PROFILES;
    }
    return r;
}

SCRESULT SCPkcs15Card::CreateApplicationRecord(ASNPkcs15DIRRecord** out, const char* label, const char* appTypeOid) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    const char* oid = (appTypeOid && *appTypeOid) ? appTypeOid : GetAppTypeOid(m_pCard->GetCardType());
    if (!oid) return SC_E_PKCS15_UNSUPPORTED_PROFILE;
    SCRESULT r = m_pCard->SelectMf(nullptr);
    if (r < 0) return r;
    r = m_pCard->FindFreeFileId(nullptr, 0, 0x5015);
    if (r < 0) return r;
    uint16_t path[2] = {SC_FID_MF, static_cast<uint16_t>(r)};
    std::vector<uint8_t> aid(ASNPkcs15DIRRecord::kPkcs15Aid, ASNPkcs15DIRRecord::kPkcs15Aid + 12);
    bool standard = true;
    if (m_pCard->GetCardType() == SC_CARD_TYPE_IAS && m_dir.FindDirRecordByAid(aid.data(), 12)) {
        standard = false;
        for (int n = 1;; ++n) {
            char suffix[32];
            if (n == 1)
                snprintf(suffix, sizeof suffix, "MIRTAL");
            else
                snprintf(suffix, sizeof suffix, "MIRTAL%d", n);
            aid.assign(ASNPkcs15DIRRecord::kIso7816_15AidPrefix, ASNPkcs15DIRRecord::kIso7816_15AidPrefix + 5);
            aid.insert(aid.end(), suffix, suffix + strlen(suffix));
            if (aid.size() > 16) return SC_E_NO_SPACE_ON_CARD;
            if (!m_dir.FindDirRecordByAid(aid.data(), static_cast<uint32_t>(aid.size()))) break;
        }
    }
    ASNPkcs15DIRRecord* rec = new (std::nothrow) ASNPkcs15DIRRecord(0x61);
    if (!rec) return SC_E_NO_MEMORY;
    int ok = standard ? rec->setPkcs15(path, 2, label)
                      : rec->set(path, 2, label, aid.data(), static_cast<int>(aid.size()));
    if (ok) {
        rec->ddo.clear();
        ok = rec->ddo.oid.setText(oid) == 1 ? 1 : 0;
        rec->ddo.wasOid = 1;
        rec->ddo.wasOdfPath = 0;
        rec->ddo.wasTokenInfoPath = 0;
        rec->ddo.wasUnusedPath = 0;
        rec->ddo.wasAid = 0;
        rec->wasDdo = 1;
    }
    if (!ok) {
        delete rec;
        return SC_E_NO_MEMORY;
    }
    m_dir.DirRecords().AddTail(rec);
    if (out) *out = rec;
    return 0;
}

SCRESULT SCPkcs15Card::AddApplication(SCPkcs15App** out, const SCFileHeaderList& refs, const char* label,
                                      uint8_t dirSo) {
    if (out) *out = nullptr;
    if (!g_cardServices || !g_cardServices->create || !g_cardServices->createPkcs15Structure)
        return SC_E_UNIMPLEMENTED_FEATURE;
    ASNPkcs15DIRRecord* rec = nullptr;
    SCRESULT r = CreateApplicationRecord(&rec, label, nullptr);
    if (r < 0) return r;
    SCPkcs15App* app = nullptr;
    r = MakeApplication(rec, &app);
    if (r >= 0 && app) r = g_cardServices->createPkcs15Structure(app, label, refs);
    if (r < 0 || !app) {
        if (app) {
            POSITION p = Find(app);
            if (p) RemoveAt(p);
            if (m_dir.GetApplication() == app) m_dir.SetApplication(GetCount() ? GetHead() : nullptr);
            DestroyApplication(app);
        }
        RemoveDirRecord(rec);
        return r < 0 ? r : SC_E_NO_MEMORY;
    }
    uint32_t tmpl = 0x0001;
    if (refs.GetSoPinRef() < SC_REF_UNUSED) tmpl |= 0x0B00;
    if (refs.GetSysKeyRef() < SC_REF_UNUSED) tmpl |= 0xB000;
    SCFileHeaderList dirRefs = refs;
    if (dirSo < SC_REF_UNUSED) dirRefs.SetRef(SC_REFIDX_SO_PIN, dirSo);
    m_dir.SetCreateParameters(3, tmpl, dirRefs);
    if (out) *out = app;
    return 0;
}

void SCPkcs15Card::DiscardApplication(SCPkcs15App* app, const ASNPkcs15DIRRecord* record) {
    POSITION p = app ? Find(app) : nullptr;
    if (!p) return;
    ASNPkcs15DIRRecord* rec = const_cast<ASNPkcs15DIRRecord*>(record);
    RemoveAt(p);
    if (m_dir.GetApplication() == app) m_dir.SetApplication(GetCount() ? GetHead() : nullptr);
    DestroyApplication(app);
    RemoveDirRecord(rec);
}

SCRESULT SCPkcs15Card::InitializeApplication(SCPkcs15App* app, const void* const* tokenArgs) {
    // Without the application's service nothing is written.
    if (!g_cardServices || !g_cardServices->initializeToken) return SC_E_UNIMPLEMENTED_FEATURE;
    SCRESULT r = m_dir.Write(nullptr, 0, nullptr);
    if (r < 0) return r;
    return g_cardServices->initializeToken(app, tokenArgs);
}

SCRESULT SCPkcs15Card::InitializeAllApplications() {
    if (!g_cardServices || !g_cardServices->initializeToken) return SC_E_UNIMPLEMENTED_FEATURE;
    SCRESULT r = m_dir.Write(nullptr, 0, nullptr);
    if (r < 0) return r;
    SCRESULT first = 0;
    for (POSITION p = GetHeadPosition(); p;) {
        SCRESULT a = g_cardServices->initializeToken(GetNext(p), nullptr);
        if (a < 0 && first == 0) first = a;
    }
    return first;
}

SCRESULT SCPkcs15Card::EnsureDirLoaded() {
    if (m_dir.IsLoaded()) return 0;
    SCRESULT r = m_dir.Load(false);
    return (r < 0 && r != SC_E_FILE_NOT_FOUND) ? r : 0;
}

SCRESULT SCPkcs15Card::DeleteApplication(SCPkcs15App* app, bool writeDir) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!app) return SC_E_BAD_PARAMS;
    if (!g_cardServices || !g_cardServices->clearPkcs15Directory) return SC_E_UNIMPLEMENTED_FEATURE;
    SCRESULT r = EnsureDirLoaded();
    if (r < 0) return r;
    POSITION p = Find(app);
    if (!p) return g_cardServices->clearPkcs15Directory(app);
    r = g_cardServices->clearPkcs15Directory(app);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    if (g_cardServices->getDirRecord) RemoveDirRecord(g_cardServices->getDirRecord(app));
    RemoveAt(p);
    m_dir.SetApplication(GetCount() ? GetHead() : nullptr);
    DestroyApplication(app);
    return writeDir ? m_dir.Write(nullptr, 0, nullptr) : 0;
}

SCRESULT SCPkcs15Card::DeleteAllApplications(bool writeDir) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!g_cardServices || !g_cardServices->clearPkcs15Directory) return SC_E_UNIMPLEMENTED_FEATURE;
    SCRESULT r = EnsureDirLoaded();
    if (r < 0) return r;
    int before = m_dir.DirRecords().GetCount();
    SCRESULT kept = 0;
    while (GetCount() > 0) {
        SCPkcs15App* app = GetHead();
        SCRESULT c = g_cardServices->clearPkcs15Directory(app);
        if (c < 0 && kept == 0) kept = c;
        if (c < 0 && c != SC_E_FILE_NOT_FOUND) break;
        if (g_cardServices->getDirRecord) RemoveDirRecord(g_cardServices->getDirRecord(app));
        RemoveHead();
        m_dir.SetApplication(GetCount() ? GetHead() : nullptr);
        DestroyApplication(app);
    }
    if (writeDir && m_dir.DirRecords().GetCount() != before) {
        // EF.DIR still naming deleted applications is a failure of the deletion; the
        // applications are gone already, so a write the card refused is tried once more.
        SCRESULT w = m_dir.Write(nullptr, 0, nullptr);
        if (w < 0 && w != SC_E_NO_SMARTCARD && w != SC_E_CARD_REMOVED && w != SC_E_NO_MEMORY)
            w = m_dir.Write(nullptr, 0, nullptr);
        if (w < 0 && kept >= 0) kept = w;
    }
    return kept;
}

bool SCPkcs15Card::IsPathUsedByOtherApplication(const uint16_t* path, uint16_t len, SCPkcs15App* except,
                                                uint32_t listMask, void* extra) {
    if (!g_cardServices || !g_cardServices->isPathUsed) return false;
    for (POSITION p = GetHeadPosition(); p;) {
        SCPkcs15App* app = GetNext(p);
        AssertInvariant(app != nullptr, kSrc, __LINE__, "pApp != NULL");
        if (app == except) continue;
        if (g_cardServices->isLoaded && g_cardServices->load && !g_cardServices->isLoaded(app))
            g_cardServices->load(app, 0);
        if (g_cardServices->isPathUsed(app, path, len, listMask, extra)) return true;
    }
    return false;
}

bool SCPkcs15Card::IsReferenceUsedByOtherApplication(uint8_t kind, const void* value, uint16_t len,
                                                     SCPkcs15App* except, uint32_t listMask, void* extra) {
    if (!g_cardServices || !g_cardServices->isReferenceUsed) return false;
    for (POSITION p = GetHeadPosition(); p;) {
        SCPkcs15App* app = GetNext(p);
        AssertInvariant(app != nullptr, kSrc, __LINE__, "pApp != NULL");
        if (app == except) continue;
        if (g_cardServices->isLoaded && g_cardServices->load && !g_cardServices->isLoaded(app))
            g_cardServices->load(app, 0);
        if (g_cardServices->isReferenceUsed(app, kind, value, len, listMask, extra)) return true;
    }
    return false;
}
