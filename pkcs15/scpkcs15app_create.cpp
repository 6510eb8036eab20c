// Building a new PKCS#15 structure in memory: TokenInfo, the ODF, the empty
// object directory lists and the PIN objects of the card profile. Every file
// made here is marked for writing; the token initialisation writes them.
#include <cstring>

#include "pkcs15/scpkcs15app.h"
#include "support/vtest.h"

namespace {

const char kSrc[] = "scpkcs15app";
const char kMaker[] = "Veldor";

// The state word of a file object is not open to the application; a structure
// built here takes the state of a file that has just been read (or made).
struct FileState : SCPkcs15PathObjectInfo {
    static void Set(SCPkcs15PathObjectInfo* f, uint32_t bits) { f->*(&FileState::m_flags) |= bits; }
};
constexpr uint32_t kLoadedTried = SCPkcs15PathObjectInfo::FLAG_LOADED | SCPkcs15PathObjectInfo::FLAG_LOAD_TRIED;
constexpr uint32_t kNew = kLoadedTried | SCPkcs15PathObjectInfo::FLAG_DIRTY;

// Card capability bits of the PIN capability word.
constexpr uint32_t kCapPadded = 0x1000;
constexpr uint32_t kCapExchangeRef = 0x2000;
constexpr uint32_t kCapDisable = 0x4000;
constexpr uint32_t kCapCaseInsensitive = 0x8000;
constexpr uint32_t kCapFlatDirectories = 0x10000;

// PinFlags bits (bit n as 1 << n).
constexpr uint32_t kPinCaseSensitive = 1u << 0;
constexpr uint32_t kPinLocal = 1u << 1;
constexpr uint32_t kPinChangeDisabled = 1u << 2;
constexpr uint32_t kPinUnblockDisabled = 1u << 3;
constexpr uint32_t kPinInitialized = 1u << 4;
constexpr uint32_t kPinNeedsPadding = 1u << 5;
constexpr uint32_t kPinUnblocking = 1u << 6;
constexpr uint32_t kPinSo = 1u << 7;
constexpr uint32_t kPinDisableAllowed = 1u << 8;
constexpr uint32_t kPinExchangeRef = 1u << 11;

constexpr uint32_t kPinTypeUtf8 = 2;

}  // namespace

SCRESULT SCPkcs15App::CreatePkcs15Structure(const char* label, const SCFileHeaderList& profile) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    m_headers = profile;
    const bool haveSo = m_headers.GetSoPinRef() < SC_REF_UNUSED;
    const uint32_t odfTemplate = haveSo ? 0xBB01 : 0xB001;

    SCPath app;
    SCRESULT r = BuildAbsolutePath(&app);
    if (r < 0) return r;
    const uint16_t tiId = 0x5032, odfId = 0x5031;
    if (!m_tokenInfo.CopyBasePath(app) || !m_odf.CopyBasePath(app)) return SC_E_NO_MEMORY;
    if (!m_tokenInfo.SetPath(&tiId, 1) || !m_odf.SetPath(&odfId, 1)) return SC_E_NO_MEMORY;

    uint8_t serial[128];
    SCRESULT serialLen = m_pCard->GetSerialNumber(serial, sizeof serial);
    if (serialLen > static_cast<SCRESULT>(sizeof serial)) serialLen = -1;  // never past the buffer
    // A card that has no serial number gives a token without one; a card that
    // failed to answer must not leave the new TokenInfo without it.
    if (serialLen < 0 && serialLen != SC_E_NO_REFERENCED_DATA && serialLen != SC_E_UNSUPPORTED_FEATURE &&
        serialLen != SC_E_UNIMPLEMENTED_FEATURE && serialLen != SC_E_FILE_NOT_FOUND && serialLen != SC_E_INSUFFICIENT_BUFFER)
        return serialLen;
    m_tokenInfo.ClearTokenInfo();
    if (m_tokenInfo.Contents().setBasicInfo(kMaker, 0, label, serialLen >= 0 ? serial : nullptr,
                                            serialLen >= 0 ? static_cast<long>(serialLen) : 0, nullptr,
                                            nullptr) != 1)
        return SC_E_NO_MEMORY;
    // The key set of the token's Diffie-Hellman group goes over as the card had it
    // (it is never made here), in the same TokenInfo as the new contents: a token
    // without it could no longer agree keys for its channel.
    r = CarryKeySet();
    if (r < 0) return r;

    AssertInvariant(app.Count() < 39 ? 1 : 0, kSrc, __LINE__, "pathlen < 39", nullptr);
    if (app.Count() >= 39) return SC_E_BAD_USAGE;
    SCPath work = app;

    SCCardInfo info;
    std::memset(&info, 0, sizeof info);
    r = m_pCard->GetCardInfo(&info);
    if (r < 0) return r;
    const bool subDir = (info.pinCaps & kCapFlatDirectories) == 0;
    const uint32_t cardType = m_pCard->GetCardType();

    uint32_t aodfTemplate = odfTemplate;
    bool aodfInSubDir = false;
    if (subDir && cardType == SC_CARD_TYPE_CLASSIC && !haveSo) {
        work.Append(0x5000);
        aodfTemplate = 0x88B1;
        aodfInSubDir = true;
    }
    work.Append(0x5200);
    if (!m_odf.AddEntryTail(SC_ODF_AODF, work.Ids(), static_cast<uint16_t>(work.Count()))) return SC_E_NO_MEMORY;
    SCPkcs15ObjectList* aodf = AddObjectList(SC_ODF_AODF);
    if (!aodf) return SC_E_NO_MEMORY;
    aodf->SetCreateParameters(3, aodfTemplate, m_headers);
    if (!aodf->SetPath(work)) return SC_E_NO_MEMORY;
    FileState::Set(aodf, kLoadedTried);

    // D: the directory of the other lists.
    SCPath dir = app;
    if (subDir) dir.Append(0x5000);
    (void)aodfInSubDir;

    static const uint16_t kIds[4] = {0x5300, 0x5400, 0x5600, 0x5700};
    static const uint8_t kTags[4] = {SC_ODF_PRKDF, SC_ODF_PUKDF, SC_ODF_CDF, SC_ODF_DODF};
    for (int i = 0; i < 4; ++i) {
        SCPath p = dir;
        p.Append(kIds[i]);
        if (!m_odf.AddEntryTail(kTags[i], p.Ids(), static_cast<uint16_t>(p.Count()))) return SC_E_NO_MEMORY;
        if (!subDir) continue;
        SCPkcs15ObjectList* list = AddObjectList(kTags[i]);
        if (!list) return SC_E_NO_MEMORY;
        list->SetCreateParameters(3, 0x88B1, m_headers);
        if (!list->SetPath(p)) return SC_E_NO_MEMORY;
        FileState::Set(list, kLoadedTried);
    }

    m_odf.SetCreateParameters(3, odfTemplate, m_headers);
    FileState::Set(&m_odf, kNew);
    m_tokenInfo.SetCreateParameters(3, odfTemplate, m_headers);
    FileState::Set(&m_tokenInfo, kNew);

    // The PIN objects of the profile.
    // No record names the layout's user PUK: this structure's token gets none
    // (the SO sets its user PIN), and a record of one the card does not hold
    // would name a reference anyone may create a PIN at.
    const uint8_t userRef = m_headers.GetUserPinRef();
    const uint8_t soRef = m_headers.GetSoPinRef();
    const uint8_t userGuard = haveSo ? 2 : 0;

    const uint16_t mf = SC_FID_MF;
    const bool userLocal = userRef >= 0x80;
    if (userLocal) AssertInvariant(app.Count() <= 40 ? 1 : 0, kSrc, __LINE__, "pathlen <= 40", nullptr);
    const uint16_t* userPath = userLocal ? app.Ids() : &mf;
    const uint16_t userPathLen = userLocal ? static_cast<uint16_t>(app.Count()) : 1;

    r = CreatePinObject("PIN u\xC5\xBCytkownika", userRef, 1, userGuard, 0, 0, nullptr, userPath, userPathLen, aodf);
    if (r < 0) return r;
    if (haveSo) {
        const bool soLocal = soRef >= 0x80;
        r = CreatePinObject("PIN administratora", soRef, 2, 0, 0, PINCREATE_SO, nullptr, soLocal ? app.Ids() : &mf,
                            soLocal ? static_cast<uint16_t>(app.Count()) : 1, aodf);
        if (r < 0) return r;
    }
    (void)WriteProfileRecords(&m_tokenInfo.Contents(), m_headers);
    return 0;
}

SCRESULT SCPkcs15App::CreatePinObject(const char* label, uint8_t pinReference, uint8_t authId,
                                      uint8_t protectingAuthId, int minLength, uint32_t creationFlags,
                                      ASNPkcs15AuthObject** out, const uint16_t* path, uint16_t pathLen,
                                      SCPkcs15ObjectList* aodf) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (out) *out = nullptr;

    if (!aodf) {
        DirList* existing = GetListForTag(SC_ODF_AODF);
        if (existing && !existing->IsEmpty()) aodf = FindDirectoryFile(SC_ODF_AODF, 1);
        if (!aodf) {
            // A new AODF gets its file and its ODF entry at once (the ODF is marked for
            // writing), so that it is found again after a reload.
            SCRESULT a = NewDirectoryFile(SC_ODF_AODF, m_headers.GetSoPinRef() < SC_REF_UNUSED ? 0xBB01 : 0xB001,
                                          &aodf);
            if (a < 0) return a;
        }
    }
    SCPkcs15AuthObjectList* pins = dynamic_cast<SCPkcs15AuthObjectList*>(aodf);
    if (!pins) return SC_E_BAD_PARAMS;
    if (!pins->IsLoaded()) {
        SCRESULT l = pins->Load(false);
        if (l < 0 && l != SC_E_FILE_NOT_FOUND) return l;
    }

    // Everything is computed before the record exists, so that a failure leaves the list as it was.
    SCCardInfo info;
    std::memset(&info, 0, sizeof info);
    SCRESULT r = m_pCard->GetCardInfo(&info);
    if (r < 0) return r;
    const uint32_t cardType = m_pCard->GetCardType();

    uint32_t flags = 0;
    if (creationFlags & PINCREATE_SO)
        flags |= kPinSo;
    else if (creationFlags & PINCREATE_UNBLOCKING)
        flags |= kPinUnblocking;
    if (creationFlags & PINCREATE_INITIALIZED) flags |= kPinInitialized;
    if (creationFlags & PINCREATE_CHANGE_DISABLED) flags |= kPinChangeDisabled;
    if (creationFlags & PINCREATE_UNBLOCK_DISABLED) flags |= kPinUnblockDisabled;
    if (info.pinCaps & kCapPadded) flags |= kPinNeedsPadding;
    if ((info.pinCaps & kCapCaseInsensitive) == 0) flags |= kPinCaseSensitive;
    if (info.pinCaps & kCapExchangeRef) flags |= kPinExchangeRef;
    if (info.pinCaps & kCapDisable) flags |= kPinDisableAllowed;
    if (pinReference >= 0x80) flags |= kPinLocal;

    int maxLen = info.maxPinLen;
    if (cardType == SC_CARD_TYPE_COSMOPOLIC && (creationFlags & (PINCREATE_SO | PINCREATE_UNBLOCKING))) maxLen = 16;
    if (cardType == SC_CARD_TYPE_CLASSIC) {
        if (maxLen > 64) maxLen = 64;
        flags |= kPinNeedsPadding;
    }
    const bool padded = (info.pinCaps & kCapPadded) != 0 || cardType == SC_CARD_TYPE_CLASSIC;
    const uint8_t padChar = padded ? info.padChar : 0;
    const int storedLen = padded ? maxLen : 0;
    int minLen = minLength > info.minPinLen ? minLength : info.minPinLen;
    if (minLen > maxLen) minLen = maxLen;

    SCPath pinPath;
    const uint16_t* pathIds = path;
    int pathCount = path ? pathLen : 0;
    if (!path && pathLen == 0xFFFF) {
        r = BuildAbsolutePath(&pinPath);
        if (r < 0) return r;
        pathIds = pinPath.Ids();
        pathCount = static_cast<int>(pinPath.Count());
    }

    ASNPkcs15AuthObject* rec = pins->Records().NewRecord();
    if (!rec) return SC_E_NO_MEMORY;
    bool ok = rec->commonObjectAttributes.set(label, 0x1, protectingAuthId ? &protectingAuthId : nullptr,
                                              protectingAuthId ? 1 : 0, 0) == 1;
    ok = ok && rec->classAttributes.set(&authId, 1, -1, -1) == 1;
    ok = ok && rec->typeAttributes.set(flags, kPinTypeUtf8, pathIds, pathCount, minLen, storedLen, maxLen,
                                       pinReference, padChar) == 1;
    if (!ok) {
        // A half-filled PIN record never reaches the card.
        pins->RemoveValueObject(pins->HandleOf(rec));
        return SC_E_NO_MEMORY;
    }
    pins->SetDirty(true);
    if (out) *out = rec;
    return 0;
}
