// PIN operations of the application and the list of verified PINs.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "smartcard/sc_card_ias.h"
#include "smartcard/sc_fileheader_ias.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "support/debuglog.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace {

// Every PIN copy is wiped before its memory goes back, on every path out.
struct PinBuffer {
    std::vector<uint8_t> bytes;
    ~PinBuffer() {
        if (!bytes.empty()) SecureZero(bytes.data(), bytes.size());
    }
};

uint32_t PinFlags(const ASNPkcs15AuthObject* pin) { return pin->typeAttributes.pinFlags.getFlags(); }

long IntOr(const ASNinteger& v, long dflt) {
    try {
        return v.getLong();
    } catch (...) {
        return dflt;
    }
}

uint8_t PadChar(const ASNPkcs15AuthObject* pin) {
    const ASNPkcs15PinAttributes& a = pin->typeAttributes;
    if (!a.wasPadChar || a.padChar.getLength() < 1) return 0xFF;
    return a.padChar.getData()[0];
}

// A PIN as the card takes it. With padding the text fills a buffer of
// storedLength bytes of padChar; a text longer than that is refused, never cut,
// so that a PIN is never accepted under a value other than the one typed.
SCRESULT FormatPin(const ASNPkcs15AuthObject* pin, const char* text, PinBuffer* out, uint32_t* len) {
    const size_t n = text ? std::strlen(text) : 0;
    if (PinFlags(pin) & SCPkcs15App::PINF_NEEDS_PADDING) {
        long stored = IntOr(pin->typeAttributes.storedLength, 0);
        if (stored <= 0 || stored > 255) return SC_E_INVALID_DATA_VALUE;
        if (n > static_cast<size_t>(stored)) return SC_E_PIN_TOO_SHORT;  // length outside the PIN's range
        try {
            out->bytes.assign(static_cast<size_t>(stored), PadChar(pin));
        } catch (...) {
            return SC_E_NO_MEMORY;
        }
        if (n) std::memcpy(out->bytes.data(), text, n);
        *len = static_cast<uint32_t>(stored);
        return 0;
    }
    if (pin->typeAttributes.wasMaxLength) {
        long maxLen = IntOr(pin->typeAttributes.maxLength, 0);
        if (maxLen > 0 && n > static_cast<size_t>(maxLen)) return SC_E_PIN_TOO_SHORT;
    }
    if (n > 255) return SC_E_PIN_TOO_SHORT;
    try {
        out->bytes.assign(text, text + n);
    } catch (...) {
        return SC_E_NO_MEMORY;
    }
    *len = static_cast<uint32_t>(n);
    return 0;
}

const uint8_t* Data(const PinBuffer& b) { return b.bytes.empty() ? reinterpret_cast<const uint8_t*>("") : b.bytes.data(); }

}  // namespace

// ---- PIN objects ----

bool SCPkcs15App::IsPinObject(const void* handle) const { return PinFor(handle) != nullptr; }

ASNPkcs15AuthObject* SCPkcs15App::PinFor(const void* handle) const {
    if (!handle) return nullptr;
    const DirList& l = m_lists[L_AODF];
    for (POSITION p = l.GetHeadPosition(); p;)
        if (ASNPkcs15AuthObject* pin = static_cast<SCPkcs15AuthObjectList*>(l.GetNext(p))->RecordFor(handle))
            return NamesOtherApplicationsPin(pin) ? nullptr : pin;
    return nullptr;
}

void* SCPkcs15App::HandleOfPin(const ASNPkcs15AuthObject* pin) { return SCPkcs15AuthObjectList::HandleOf(pin); }

bool SCPkcs15App::HoldsPin(const ASNPkcs15AuthObject* pin) const {
    if (!pin) return false;
    const DirList& l = m_lists[L_AODF];
    for (POSITION p = l.GetHeadPosition(); p;)
        if (static_cast<SCPkcs15AuthObjectList*>(l.GetNext(p))->Records().Find(pin)) return !NamesOtherApplicationsPin(pin);
    return false;
}

uint8_t SCPkcs15App::GetPinReference(const ASNPkcs15AuthObject* pin) {
    if (!pin || !pin->typeAttributes.wasPinReference) return 0;
    long r = IntOr(pin->typeAttributes.pinReference, 0);
    return r >= 0 && r < 256 ? static_cast<uint8_t>(r) : 0;
}

SCRESULT SCPkcs15App::FindPinObject(int kind, ASNPkcs15AuthObject** ppAuthInfo) {
    AssertInvariant(ppAuthInfo != nullptr, __FILE__, __LINE__, "ppAuthInfo != NULL", nullptr);
    *ppAuthInfo = nullptr;
    const DirList& l = m_lists[L_AODF];
    for (POSITION p = l.GetHeadPosition(); p;) {
        SCPkcs15AuthObjectList* aodf = static_cast<SCPkcs15AuthObjectList*>(l.GetNext(p));
        if (!aodf->IsLoaded() && !aodf->IsLoadTried()) (void)aodf->Load(false);
        for (POSITION q = aodf->Records().GetHeadPosition(); q;) {
            ASNPkcs15AuthObject* pin = aodf->Records().GetNext(q);
            if (NamesOtherApplicationsPin(pin)) continue;
            uint32_t f = PinFlags(pin);
            bool match = kind == PIN_SO         ? (f & PINF_SO) != 0
                         : kind == PIN_UNBLOCK ? (f & PINF_UNBLOCKING) != 0
                                               : (f & (PINF_SO | PINF_UNBLOCKING)) == 0;
            if (match) {
                *ppAuthInfo = pin;
                return 0;
            }
        }
    }
    return SC_E_PKCS15_PIN_NOT_FOUND;
}

bool SCPkcs15App::HasSoPin() {
    ASNPkcs15AuthObject* so = nullptr;
    return FindPinObject(PIN_SO, &so) == 0;
}

SCRESULT SCPkcs15App::FindAuthObjectForObject(void* object, ASNPkcs15AuthObject** pin, bool unblocking) {
    if (!pin) return SC_E_BAD_PARAMS;
    *pin = nullptr;
    SCPkcs15ObjectList* list = FindListForHandle(object);
    if (!list) return SC_E_PKCS15_INVALID_HANDLE;
    // The object's authId (for a key, that of its chosen key record).
    SCPkcs15ObjectAttribute id(p15attr::kAuthId);
    SCRESULT r = list->GetAttribute(object, &id);
    if (r == SC_E_NO_MEMORY) return r;
    if (r < 0 || id.GetLength() == 0) return 0;
    ASNoctstr want(0x04);
    if (!want.set(id.GetValue(), static_cast<long>(id.GetLength()))) return SC_E_NO_MEMORY;
    const DirList& l = m_lists[L_AODF];
    for (POSITION p = l.GetHeadPosition(); p;) {
        SCPkcs15AuthObjectList* aodf = static_cast<SCPkcs15AuthObjectList*>(l.GetNext(p));
        for (POSITION q = aodf->Records().GetHeadPosition(); q;) {
            ASNPkcs15AuthObject* cand = aodf->Records().GetNext(q);
            if (!(cand->classAttributes.authId == want)) continue;
            if (((PinFlags(cand) & PINF_UNBLOCKING) != 0) != unblocking || NamesOtherApplicationsPin(cand)) continue;
            *pin = cand;
            return 0;
        }
    }
    return SC_E_PKCS15_ATTR_NOT_FOUND;
}

// ---- verified-PIN list ----

SCPkcs15App::VerifiedPin* SCPkcs15App::FindVerifiedPin(const ASNPkcs15AuthObject* pin) const {
    const uint64_t id = reinterpret_cast<uintptr_t>(HandleOfPin(pin));
    for (POSITION p = m_verifiedPins.GetHeadPosition(); p;) {
        VerifiedPin* v = m_verifiedPins.GetNext(p);
        if (v->identifier == id) return v;
    }
    return nullptr;
}

bool SCPkcs15App::IsCurrentPin(const ASNPkcs15AuthObject* pin) const {
    return m_pCurrentPin && m_pCurrentPin->identifier == reinterpret_cast<uintptr_t>(HandleOfPin(pin));
}

SCRESULT SCPkcs15App::RememberPin(const ASNPkcs15AuthObject* pin, const char* text) {
    VerifiedPin* v = FindVerifiedPin(pin);
    if (!v) {
        v = new (std::nothrow) VerifiedPin;
        if (!v) return SC_E_NO_MEMORY;
        v->identifier = reinterpret_cast<uintptr_t>(HandleOfPin(pin));
        if (!m_verifiedPins.AddTail(v)) {
            delete v;
            return SC_E_NO_MEMORY;
        }
    }
    if (!v->Set(text, -1)) {
        ForgetPin(pin);
        return SC_E_NO_MEMORY;
    }
    m_pCurrentPin = v;
    return 0;
}

void SCPkcs15App::ForgetPin(const ASNPkcs15AuthObject* pin) {
    VerifiedPin* v = FindVerifiedPin(pin);
    if (!v) return;
    if (m_pCurrentPin == v) m_pCurrentPin = nullptr;
    POSITION pos = m_verifiedPins.Find(v);
    if (pos) m_verifiedPins.RemoveAt(pos);
    delete v;  // wipes the copy
}

void SCPkcs15App::ForgetAllPins() {
    m_pCurrentPin = nullptr;
    m_verifiedPins.DeleteAll();  // from the tail; each entry wipes its copy
}

bool SCPkcs15App::HasVerifiedPin(const ASNPkcs15AuthObject* pin) const {
    return HoldsPin(pin) && FindVerifiedPin(pin) != nullptr;
}

size_t SCPkcs15App::KeptPinReferences(uint8_t* refs, size_t max) const {
    std::vector<SCCard::PinAt> kept;
    KeptPins(&kept);
    size_t n = 0;
    for (; n < kept.size() && n < max; ++n) refs[n] = static_cast<uint8_t>(kept[n].ref);
    return n;
}

void SCPkcs15App::KeptPins(std::vector<SCCard::PinAt>* out) const {
    for (POSITION p = m_verifiedPins.GetHeadPosition(); p;) {
        const VerifiedPin* v = m_verifiedPins.GetNext(p);
        const ASNPkcs15AuthObject* pin = PinFor(reinterpret_cast<const void*>(static_cast<uintptr_t>(v->identifier)));
        if (pin && HoldsPin(pin)) out->push_back(PinAtOf(pin));
    }
}

SCCard::PinAt SCPkcs15App::PinAtOf(const ASNPkcs15AuthObject* pin) const {
    SCCard::PinAt at;
    at.ref = GetPinReference(pin);
    if (!at.global() && GetPinDf(pin, &at.df) < 0) at.df.Clear();
    return at;
}

// ---- card operations ----

SCRESULT SCPkcs15App::GetPinDf(const ASNPkcs15AuthObject* pin, SCPath* df) const {
    const ASNPkcs15PinAttributes& a = pin->typeAttributes;
    if (!a.wasPath) return BuildAbsolutePath(df);
    uint16_t ids[64];
    int n = a.path.getPath(ids, 64);
    if (n < 0) return SC_E_INVALID_DATA_FORMAT;
    if (n > 0 && ids[0] == SC_FID_MF) return df->Set(ids, static_cast<size_t>(n)) ? 0 : SC_E_NO_MEMORY;
    return BuildAbsolutePath(ids, static_cast<uint16_t>(n), df);
}

bool SCPkcs15App::NamesOtherApplicationsPin(const ASNPkcs15AuthObject* pin, SCPath* at) const {
    SCPath df;
    // Without a path the PIN is the application's own.
    if (!pin || !pin->typeAttributes.wasPath || GetPinDf(pin, &df) < 0 || !IsInOtherApplication(df)) return false;
    if (at) *at = std::move(df);
    return true;
}

SCRESULT SCPkcs15App::GetNamedPins(std::vector<std::pair<SCPath, uint8_t>>* out) {
    if (!IsLoaded()) {
        // Loading stops short at a TokenInfo missing or unreadable (a token left
        // incomplete) and reports no ODF it failed to read: the ODF decides,
        // read here with the lists it names where loading did not get them.
        SCRESULT r = Load(false);
        const bool stopped = r == SC_E_FILE_NOT_FOUND || r == SC_E_INVALID_DATA_FORMAT;
        if (r >= 0 || stopped) {
            const bool read = m_odf.IsLoaded();
            r = read ? 0 : m_odf.Load(false);
            if (r >= 0 && (stopped || !read)) r = BuildObjectLists();
        }
        if (r == SC_E_FILE_NOT_FOUND) return 0;  // no ODF: no PIN directory
        if (r < 0 && r != SC_E_PKCS15_PIN_NOT_FOUND) return r;
    }
    const DirList& l = m_lists[L_AODF];
    for (POSITION p = l.GetHeadPosition(); p;) {
        SCPkcs15AuthObjectList* aodf = static_cast<SCPkcs15AuthObjectList*>(l.GetNext(p));
        if (!aodf->IsLoaded()) {
            const SCRESULT r = aodf->Load(false);
            if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
        }
        for (POSITION q = aodf->Records().GetHeadPosition(); q;) {
            const ASNPkcs15AuthObject* pin = aodf->Records().GetNext(q);
            SCPath df;
            // A path that names no DF names no PIN either, nor does one read around.
            if (GetPinDf(pin, &df) >= 0 && !NamesOtherApplicationsPin(pin)) out->emplace_back(df, GetPinReference(pin));
        }
    }
    return 0;
}

SCRESULT SCPkcs15App::SelectPinDf(const ASNPkcs15AuthObject* pin, SCPath* outPath) {
    // A global reference names the master file's PIN from anywhere. A local PIN
    // whose record names no path is its application's: verified from there, the
    // module knows which PIN the card verified.
    if (!pin->typeAttributes.wasPath && GetPinReference(pin) < 0x80) return 0;
    SCPath df;
    SCRESULT r = GetPinDf(pin, &df);
    if (r < 0) return pin->typeAttributes.wasPath ? r : 0;
    r = m_pCard->SelectPathThunk(df.Ids(), df.Count(), 0);
    if (r < 0) return r;
    if (outPath) *outPath = df;
    return 0;
}

SCRESULT SCPkcs15App::VerifyPin(ASNPkcs15AuthObject* pin, const char* text, bool remember, SCPath* outPath) {
    AssertInvariant(m_pCard != nullptr, __FILE__, __LINE__, "m_pCard", nullptr);
    if (!HoldsPin(pin)) return SC_E_PKCS15_INVALID_HANDLE;
    if (IsCurrentPin(pin)) remember = true;
    const uint8_t ref = GetPinReference(pin);
    PinBuffer buf;
    uint32_t len = 0;
    if (text) {
        if (!*text && !(PinFlags(pin) & PINF_NEEDS_PADDING)) {
            if (remember) ForgetPin(pin);
            return SC_E_VERIFY_FAILED;
        }
        SCRESULT f = FormatPin(pin, text, &buf, &len);
        if (f < 0) return f;
    }
    SCTransactGuard guard(m_pCard);
    SCRESULT r = SelectPinDf(pin, outPath);
    if (r < 0) return r;
    r = AskCard(text ? Data(buf) : nullptr, text ? len : 0, ref);
    if (remember && text) {
        if (r == 0) return RememberPin(pin, text);
        if (r == SC_E_VERIFY_FAILED || r == SC_E_PIN_BLOCKED)
            Refused(pin, text);
        else
            ForgetPin(pin);
    }
    return r;
}

void SCPkcs15App::Refused(const ASNPkcs15AuthObject* pin, const char* typed) {
    const VerifiedPin* v = FindVerifiedPin(pin);
    if (!v || !v->pin || !typed) return;
    PinBuffer kept, refused;
    uint32_t keptLen = 0, refusedLen = 0;
    ASNPkcs15AuthObject* p = const_cast<ASNPkcs15AuthObject*>(pin);
    if (FormatPin(p, v->pin, &kept, &keptLen) < 0 || FormatPin(p, typed, &refused, &refusedLen) < 0) return;
    if (kept.bytes == refused.bytes) EndLogin(PinAtOf(pin), "the card refuses the value kept since the login");
}

SCRESULT SCPkcs15App::AskCard(const uint8_t* data, uint32_t len, uint8_t ref) {
    SCRESULT r = m_pCard->VerifyPin(ref, data, len);
    if (r == SC_RESULT_CODE(0xE000000000016A81ULL) && m_pCard->GetCardType() == SC_CARD_TYPE_IAS) {
        // The applet refuses the command for a PIN it will not use: its data object tells why.
        SCCard_IAS* ias = dynamic_cast<SCCard_IAS*>(m_pCard);
        if (ias && (ias->GetVariant() == 1 || ias->GetVariant() == 2)) {
            r = SC_E_PIN_NOT_INITIALIZED;
        } else if (ias) {
            SCFileHeader_IAS sdo(0x81, ref);
            const uint8_t* v = nullptr;
            size_t vlen = 0;
            if (ias->GetSdoData(&sdo) >= 0 && sdo.FindInSdoBody(0x9B, &v, &vlen) && vlen == 1) {
                if (v[0] == 0) r = SC_E_PIN_BLOCKED;
                else if (!data) r = v[0];
            }
        }
    }
    return r;
}

SCRESULT SCPkcs15App::JudgeNewPin(const ASNPkcs15AuthObject* pin, size_t len) const {
    const ASNPkcs15PinAttributes& a = pin->typeAttributes;
    long minLen = IntOr(a.minLength, 0);
    if (minLen >= 256) minLen = 0;
    const long stored = IntOr(a.storedLength, 0);
    long maxLen = a.wasMaxLength ? IntOr(a.maxLength, 0) : 0;
    if (maxLen <= 0 || ((PinFlags(pin) & PINF_NEEDS_PADDING) && stored > 0 && stored < maxLen)) maxLen = stored;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    if (m_pCard && m_pCard->GetCardInfo(&ci) >= 0) {
        if (static_cast<long>(ci.minPinLen) > minLen) minLen = static_cast<long>(ci.minPinLen);
        if (ci.maxPinLen != 0 && (maxLen <= 0 || static_cast<long>(ci.maxPinLen) < maxLen))
            maxLen = static_cast<long>(ci.maxPinLen);
    }
    if (maxLen <= 0 || maxLen > 255) maxLen = 255;
    const bool within = len >= static_cast<size_t>(minLen < 0 ? 0 : minLen) && len <= static_cast<size_t>(maxLen);
    return within ? 0 : SC_E_PIN_TOO_SHORT;  // length outside the PIN's range
}

SCRESULT SCPkcs15App::ChangePin(ASNPkcs15AuthObject* pin, const char* oldPin, const char* newPin) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!HoldsPin(pin)) return SC_E_PKCS15_INVALID_HANDLE;
    if (!newPin) return SC_E_BAD_PARAMS;
    PinBuffer oldBuf, newBuf;
    uint32_t oldLen = 0, newLen = 0;
    SCRESULT r = JudgeNewPin(pin, std::strlen(newPin));
    if (r < 0) return r;
    if (oldPin && (r = FormatPin(pin, oldPin, &oldBuf, &oldLen)) < 0) return r;
    if ((r = FormatPin(pin, newPin, &newBuf, &newLen)) < 0) return r;
    SCTransactGuard guard(m_pCard);
    SCCardWriteGuard writing(m_pCard, &SCPkcs15App::RestoreAfterReset, this);
    r = SelectPinDf(pin, nullptr);
    if (r < 0) return r;
    r = m_pCard->ChangePin(GetPinReference(pin), oldPin ? Data(oldBuf) : nullptr, Data(newBuf), oldLen, newLen);
    if (IsCurrentPin(pin)) {
        if (r == 0) return RememberPin(pin, newPin);
        if (r == SC_E_VERIFY_FAILED || r == SC_E_PIN_BLOCKED) Refused(pin, oldPin);
    }
    return r;
}

SCRESULT SCPkcs15App::UnblockPin(ASNPkcs15AuthObject* pin, const char* unblockPin, const char* newPin) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!HoldsPin(pin)) return SC_E_PKCS15_INVALID_HANDLE;
    ASNPkcs15AuthObject* puk = nullptr;
    if (FindAuthObjectForObject(HandleOfPin(pin), &puk, true) < 0 || !puk) puk = pin;
    PinBuffer pukBuf, newBuf;
    uint32_t pukLen = 0, newLen = 0;
    // The new value is judged by its own PIN's record before anything goes: the card
    // would otherwise take the unblocking value alone, then refuse the new one.
    SCRESULT r = newPin ? JudgeNewPin(pin, std::strlen(newPin)) : 0;
    if (r < 0) return r;
    if (unblockPin && (r = FormatPin(puk, unblockPin, &pukBuf, &pukLen)) < 0) return r;
    if (newPin && (r = FormatPin(pin, newPin, &newBuf, &newLen)) < 0) return r;
    const uint8_t ref = GetPinReference(pin);
    const uint8_t pukRef = GetPinReference(puk);
    SCTransactGuard guard(m_pCard);
    SCCardWriteGuard writing(m_pCard, &SCPkcs15App::RestoreAfterReset, this);
    r = SelectPinDf(pin, nullptr);
    if (r < 0) return r;
    const uint8_t* pukData = unblockPin ? Data(pukBuf) : nullptr;
    const uint8_t* newData = newPin ? Data(newBuf) : nullptr;
    if (m_pCard->GetCardType() == SC_CARD_TYPE_CLASSIC && pukRef < 255 && puk != pin) {
        // This card checks the unblocking PIN first, then takes both.
        r = m_pCard->UnblockPin(ref, pukData, nullptr, pukLen, 0);
        if (r == 0) {
            r = m_pCard->UnblockPin(ref, pukData, newData, pukLen, newLen);
            if (newPin && scIsStatusWordResult(r) && !scIsReadFailure(r)) NoteUnblockedAlone(pin, r);
        }
    } else {
        r = m_pCard->UnblockPin(ref, pukData, newData, pukLen, newLen);
        if (r < 0 && m_pCard->TookUnblockingAlone()) NoteUnblockedAlone(pin, r);
    }
    if (IsCurrentPin(pin) && newPin) {
        if (r == 0) return RememberPin(pin, newPin);
        if (r == SC_E_VERIFY_FAILED || r == SC_E_PIN_BLOCKED) Refused(puk, unblockPin);
    }
    return r;
}

namespace {

std::atomic<unsigned> g_endedLogins{0};  // applications with an ended login not yet taken

// An answer to VERIFY without data that tells of the PIN beside "verified" and a count.
bool IsPinStateAnswer(SCRESULT r) {
    return r == SC_E_PIN_BLOCKED || r == SC_E_PIN_NOT_INITIALIZED || r == SC_E_NO_REFERENCED_DATA;
}

std::string PinText(const SCCard::PinAt& at) {
    char ref[16];
    std::snprintf(ref, sizeof ref, "PIN %02X", static_cast<unsigned>(at.ref & 0xFF));
    return at.df.Count() ? std::string(ref) + " in " + at.df.Text() : ref;
}

}  // namespace

SCRESULT SCPkcs15App::VerifyCachedPin(const ASNPkcs15AuthObject* pin, SCPath* extra) {
    return VerifyKept(pin, extra, false);
}

SCRESULT SCPkcs15App::TakeKeptPin(const ASNPkcs15AuthObject* pin) { return VerifyKept(pin, nullptr, true); }

SCRESULT SCPkcs15App::VerifyKept(const ASNPkcs15AuthObject* pin, SCPath* extra, bool take) {
    VerifiedPin* v = HoldsPin(pin) ? FindVerifiedPin(pin) : nullptr;
    if (!v || !v->pin) return m_pCurrentPin ? SC_E_PKCS15_PIN_UNKNOWN : SC_E_PKCS15_NOT_LOGGED_IN;
    AssertInvariant(m_pCard != nullptr, __FILE__, __LINE__, "m_pCard", nullptr);
    ASNPkcs15AuthObject* p = const_cast<ASNPkcs15AuthObject*>(pin);
    PinBuffer buf;
    uint32_t len = 0;
    SCRESULT r = FormatPin(p, v->pin, &buf, &len);
    if (r < 0) return r;
    const uint8_t limit = v->tryLimit;
    SCTransactGuard guard(m_pCard);
    r = SelectPinDf(p, extra);
    if (r < 0) return r;
    const uint8_t ref = GetPinReference(p);
    // A verified PIN shows no count, and the value verified may be another's: its
    // verification ends for a moment, as at the login, and the card shows the count.
    if (take) {
        const SCRESULT ended = m_pCard->ResetPinState(ref);
        if (IsCardGoneResult(ended)) return ended;
    }
    // Every program's kept value may be as stale as this one: one presented while
    // the card shows a try spent since it last took a value could spend another,
    // and one presented at the last try could block the PIN.
    const SCRESULT state = AskCard(nullptr, 0, ref);
    if (state == 0 && !take) return 0;
    char why[160];
    if (state > 1 && limit != 0 && state >= limit) {
        const bool marked = m_pCard->MarkedForReset();
        r = AskCard(Data(buf), len, ref);
        if (r < 0 && !marked && m_pCard->MarkedForReset()) {
            // Its answer was lost: the card is asked whether it took the value. A PIN
            // whose state it shows is no PIN the module cannot name.
            const SCRESULT now = AskCard(nullptr, 0, ref);
            if (now < 0 && !IsPinStateAnswer(now)) return r;
            m_pCard->WithdrawResetMark();
            if (now == 0) return 0;
            std::snprintf(why, sizeof why, "the answer to the kept value was lost, and the card does not hold it "
                          "verified");
        } else {
            if (r != SC_E_VERIFY_FAILED && r != SC_E_PIN_BLOCKED) return r;
            std::snprintf(why, sizeof why, "the card refuses the value kept since the login");
        }
    } else if (state == 1 && limit == 1) {
        std::snprintf(why, sizeof why, "1 try left, the whole count the card gives it: a refusal would block it; the "
                      "kept value is not presented");
    } else if (state > 0 && limit != 0) {
        std::snprintf(why, sizeof why, "%d of %u tries left, a try was spent since the card took the kept value; it is "
                      "not presented", static_cast<int>(state), static_cast<unsigned>(limit));
    } else if (state > 0) {
        std::snprintf(why, sizeof why, "not verified, and the card did not show its tries when it took the value; it "
                      "is not presented");
    } else if (state == 0) {
        std::snprintf(why, sizeof why, "the card holds it verified and will not show its tries; the kept value is not "
                      "presented");
    } else if (IsPinStateAnswer(state)) {
        char name[64];
        std::snprintf(why, sizeof why, "the card answers %s when asked for its state",
                      scGetErrorName(state, name, sizeof name));
    } else {
        return state;  // the card tells nothing of the PIN: the login stands, the call fails
    }
    EndLogin(PinAtOf(p), why);
    return SC_E_PKCS15_NOT_LOGGED_IN;
}

void SCPkcs15App::NoteUnblockedAlone(const ASNPkcs15AuthObject* pin, SCRESULT refused) {
    char name[64];
    // Written whatever the trace bits: the call's answer (the card's refusal) does not tell it.
    DebugLogWrite(2, 0, "PKCS#15: %s: the card took the unblocking value alone, then refused the new value (%s): the "
                  "PIN's count is whole, its value unchanged", PinText(PinAtOf(pin)).c_str(),
                  scGetErrorName(refused, name, sizeof name));
}

SCRESULT SCPkcs15App::LearnTryLimit(const ASNPkcs15AuthObject* pin) {
    VerifiedPin* v = HoldsPin(pin) ? FindVerifiedPin(pin) : nullptr;
    if (!m_pCard || !v || !v->pin || v->tryLimit != 0) return 0;
    ASNPkcs15AuthObject* p = const_cast<ASNPkcs15AuthObject*>(pin);
    PinBuffer buf;
    uint32_t len = 0;
    SCRESULT r = FormatPin(p, v->pin, &buf, &len);
    if (r < 0) return r;
    SCTransactGuard guard(m_pCard);
    const SCCard::PinAt at = PinAtOf(p);
    // The login's verification left the card in the PIN's DF.
    if (!at.global() && !m_pCard->GetCurrentDf().IsEqual(at.df) && (r = SelectPinDf(p, nullptr)) < 0) return r;
    const uint8_t ref = GetPinReference(p);
    // A verified PIN shows no count: its verification ends for a moment. Where the
    // card does not end it, or its answer is lost, the value still goes again, so that
    // the login stands verified or fails.
    const SCRESULT ended = m_pCard->ResetPinState(ref);
    const SCRESULT tries = ended < 0 ? ended : AskCard(nullptr, 0, ref);
    r = AskCard(Data(buf), len, ref);
    if (r < 0) {
        ForgetPin(p);
        return r;
    }
    if (tries > 0 && tries < 256) v->tryLimit = static_cast<uint8_t>(tries);
    return 0;
}

void SCPkcs15App::EndLogin(const SCCard::PinAt& at, const char* why) {
    // Written whatever the trace bits: the call's answer does not tell it.
    DebugLogWrite(2, 0, "PKCS#15: %s: %s: the login ends", PinText(at).c_str(), why);
    // The card forgets, whatever it answered, the PIN the login ended at and the others it held.
    std::vector<SCCard::PinAt> kept;
    KeptPins(&kept);
    kept.push_back(at);
    for (const SCCard::PinAt& k : kept)
        if (m_pCard) m_pCard->KeepLeftVerified(k);
    ForgetAllPins();
    if (m_endedAt.empty()) ++g_endedLogins;
    m_endedAt.push_back(at);
}

bool SCPkcs15App::TakeLoginEnded(std::vector<SCCard::PinAt>* at) {
    if (m_endedAt.empty()) return false;
    --g_endedLogins;
    at->swap(m_endedAt);
    m_endedAt.clear();
    return true;
}

bool SCPkcs15App::AnyLoginEnded() { return g_endedLogins.load() != 0; }

void SCPkcs15App::StartAfreshInChild() { g_endedLogins.store(0); }

SCRESULT SCPkcs15App::VerifyKeptPinsAgain() {
    std::vector<uint64_t> kept;
    for (POSITION p = m_verifiedPins.GetHeadPosition(); p;) {
        const VerifiedPin* v = m_verifiedPins.GetNext(p);
        kept.push_back(v->identifier);
    }
    for (uint64_t id : kept) {
        const ASNPkcs15AuthObject* pin = PinFor(reinterpret_cast<const void*>(static_cast<uintptr_t>(id)));
        const VerifiedPin* v = pin ? FindVerifiedPin(pin) : nullptr;
        if (!v) continue;
        // A value the module does not keep (a reader's PIN pad) cannot be given again.
        if (!v->pin) {
            EndLogin(PinAtOf(pin), "its value is not kept, and the card forgot it");
            return SC_E_PKCS15_NOT_LOGGED_IN;
        }
        const SCRESULT r = VerifyCachedPin(pin, nullptr);
        if (r < 0) return r;
    }
    return 0;
}

SCRESULT SCPkcs15App::LogoutPin(ASNPkcs15AuthObject* pin, bool full) {
    if (!pin) {
        if (!m_pCurrentPin) return 0;
        pin = PinFor(reinterpret_cast<const void*>(static_cast<uintptr_t>(m_pCurrentPin->identifier)));
    }
    if (!HoldsPin(pin)) return SC_E_PKCS15_INVALID_HANDLE;
    ForgetPin(pin);
    if (!m_pCard) return 0;
    SCTransactGuard guard(m_pCard);
    const uint8_t ref = GetPinReference(pin);
    SCRESULT sel = SelectPinDf(pin, nullptr);
    bool unsupported = false;
    if (ref != 0) {
        // A PIN whose verified state stays on the card is no logged-out PIN: the failure is reported.
        if (sel < 0) return sel;
        SCRESULT r = m_pCard->ResetPinState(ref);
        if (r < 0 && r != SC_E_UNSUPPORTED_FEATURE) return r;
        unsupported = r == SC_E_UNSUPPORTED_FEATURE;
    }
    if (!full) return unsupported ? SC_E_UNSUPPORTED_FEATURE : 0;
    SCRESULT r = (PinFlags(pin) & PINF_LOCAL) ? m_pCard->SelectMf(nullptr) : m_pCard->ResetCard();
    return (r == SC_E_NO_SMARTCARD || r == SC_E_CARD_REMOVED) ? r : 0;
}

SCRESULT SCPkcs15App::DeleteShadowingPins(const ASNPkcs15AuthObject* pin) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!HoldsPin(pin)) return SC_E_PKCS15_INVALID_HANDLE;
    const uint8_t ref = GetPinReference(pin);
    // A global reference names the master file's PIN from every DF.
    if (ref < 0x80) return 0;
    SCPath own;
    SCPathList dirs, below;
    SCRESULT r = GetPinDf(pin, &own);
    if (r >= 0) r = GetDirectoryPaths(&dirs, 0, true);
    if (r < 0) return r;
    std::vector<std::pair<SCPath, uint8_t>> named;
    r = GetNamedPins(&named);
    if (r < 0) return r;
    for (size_t i = 0; i < dirs.Count(); ++i) {
        const SCPath& file = dirs.At(i);
        size_t rest = 0;
        if (!SCPath::StripPrefix(file.Ids(), file.Count(), own.Ids(), own.Count(), &rest)) continue;
        // Every DF from the one that holds the file up to the PIN's own, that one not;
        // nor one where the PIN directory names a PIN of this reference.
        for (size_t n = file.Count() - 1; n > own.Count(); --n) {
            const SCPath df(file.Ids(), n);
            const bool ours = std::any_of(named.begin(), named.end(), [&](const auto& p) {
                return p.second == ref && p.first.IsEqual(df);
            });
            if (!ours && !IsInOtherApplication(df)) below.AddUnique(df.Ids(), df.Count());
        }
    }
    SCTransactGuard guard(m_pCard);
    SCCardWriteGuard writing(m_pCard, &SCPkcs15App::RestoreAfterReset, this);
    for (size_t i = 0; i < below.Count(); ++i) {
        const SCPath& df = below.At(i);
        // The card deletes the PIN of the DF selected, never one above it.
        r = m_pCard->SelectPathThunk(df.Ids(), df.Count(), 0);
        if (r == SC_E_FILE_NOT_FOUND) continue;
        if (r >= 0) r = m_pCard->DeleteObject(ref, SC_KEYOBJ_PIN);
        if (r == SC_E_NO_REFERENCED_DATA) continue;
        DebugLogWrite(2, 0, "PKCS#15: PIN %02X in %s would answer for the application's files there: %s",
                      static_cast<unsigned>(ref), df.Text().c_str(), r >= 0 ? "deleted" : "the card keeps it");
        if (r < 0) return r;
    }
    return 0;
}

SCRESULT SCPkcs15App::Logout(bool resetCard) {
    SCRESULT r = 0;
    if (resetCard && m_pCard) r = m_pCard->ResetCard();
    ForgetAllPins();
    return r;
}

// ---- access conditions ----

bool SCPkcs15App::IsWritableWithUserPin(SCPkcs15PathObjectInfo* file, uint16_t* condition) {
    ASNPkcs15AuthObject* user = nullptr;
    const uint16_t cond = static_cast<uint16_t>(0xC000 | (FindPinObject(PIN_USER, &user) == 0 ? GetPinReference(user) : 0));
    if (condition) *condition = cond;
    if (!file) return false;
    bool exists = false;
    return file->IsAccessAllowed(cond, &exists);
}

void SCPkcs15App::CheckSoPinAccess(SCPkcs15PathObjectInfo* file, bool* needsPin, bool* soRequired) {
    if (needsPin) *needsPin = false;
    if (soRequired) *soRequired = false;
    if (!file) return;
    bool exists = false;
    const bool always = file->IsAccessAllowed(0, &exists);
    uint16_t userCond = 0;
    const bool user = IsWritableWithUserPin(file, &userCond);
    const uint8_t so = m_headers.GetSoPinOrSysKeyRef();
    const bool officer = so < 255 && file->IsAccessAllowed(static_cast<uint16_t>(0x8000 | so), &exists);
    if (needsPin) *needsPin = !always;
    if (soRequired) *soRequired = !always && !user && officer;
}

// ---- creating and resetting PINs ----

namespace {

// IAS cards outside the operational state take no verification.
bool SkipVerifyForIas(SCCard* card) {
    if (card->GetCardType() != SC_CARD_TYPE_IAS) return false;
    const SCRESULT lcs = card->GetLifeCycleState();
    return lcs >= 0 && lcs != 3;
}

uint32_t RecordFlagsFromPinFlags(uint32_t f) {
    uint32_t r = 0;
    if (f & 0x20) r |= SC_PINREC_PADDED;
    if (f & 0x40) r |= SC_PINREC_UNBLOCKING_PIN;
    if (f & 0x80) r |= SC_PINREC_SO_PIN;
    if (!(f & 0x1)) r |= SC_PINREC_CASE_INSENSITIVE;
    if (f & 0x8) r |= SC_PINREC_UNBLOCK_DISABLED;
    if (f & 0x4) r |= SC_PINREC_CHANGE_DISABLED;
    if (f & 0x800) r |= SC_PINREC_EXCHANGE_REF;
    return r;
}

// A value padded for a record that asks for it; the text otherwise. Over-long values are refused.
SCRESULT RecordValue(const char* text, uint32_t maxLen, bool padded, uint32_t padChar, PinBuffer* out,
                     uint32_t* len) {
    const size_t n = text ? std::strlen(text) : 0;
    if (maxLen != SC_UNSET && n > maxLen) return SC_E_PIN_TOO_SHORT;  // length outside the PIN's range
    try {
        if (padded && maxLen != SC_UNSET) {
            out->bytes.assign(maxLen, static_cast<uint8_t>(padChar == SC_UNSET ? 0xFF : padChar));
            if (n) std::memcpy(out->bytes.data(), text, n);
        } else {
            out->bytes.assign(text, text + n);
        }
    } catch (...) {
        return SC_E_NO_MEMORY;
    }
    *len = static_cast<uint32_t>(out->bytes.size());
    return 0;
}

// A card that does not do what was asked (no such command, parameters or right),
// as opposed to one that failed doing it.
bool RefusedAsUnsupported(SCRESULT r) {
    return r == SC_E_ACCESS_DENIED || r == SC_E_CONDITIONS_NOT_SATISFIED || r == SC_E_UNSUPPORTED_FEATURE ||
           r == scResultFromStatus(0x6A81) || r == scResultFromStatus(0x6A86) || r == scResultFromStatus(0x6D00) ||
           r == scResultFromStatus(0x6E00);
}

}  // namespace

SCRESULT SCPkcs15App::SetPin(ASNPkcs15AuthObject* pin, const char* authPin, const char* newPin, SCPinParams* record,
                             SCPath* outPath) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!HoldsPin(pin)) return SC_E_PKCS15_INVALID_HANDLE;
    SCPinParams local;
    if (!record) record = &local;
    SCTransactGuard guard(m_pCard);
    SCCardWriteGuard writing(m_pCard, &SCPkcs15App::RestoreAfterReset, this);

    ASNPkcs15AuthObject* unblock = nullptr;
    ASNPkcs15AuthObject* parent = nullptr;
    if (FindAuthObjectForObject(HandleOfPin(pin), &unblock, true) < 0) unblock = nullptr;
    if (FindAuthObjectForObject(HandleOfPin(pin), &parent, false) < 0) parent = nullptr;
    ASNPkcs15AuthObject* so = nullptr;
    (void)FindPinObject(PIN_SO, &so);
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    (void)m_pCard->GetCardInfo(&ci);
    const uint32_t profile = ci.profile;
    const bool classic = profile == SC_CARD_TYPE_CLASSIC;
    const bool cosmo = profile == SC_CARD_TYPE_COSMOPOLIC;
    // Each new value is judged by its own PIN's record before the first command.
    if (newPin && *newPin && record->hasValue != 0 && !(record->flags & SC_PINREC_NO_VALUE)) {
        const SCRESULT judged = JudgeNewPin(pin, std::strlen(newPin));
        if (judged < 0) return judged;
    }
    if (record->pukText && unblock) {
        const SCRESULT judged = JudgeNewPin(unblock, std::strlen(record->pukText));
        if (judged < 0) return judged;
    }
    // A PIN made in its DF is not asked after first: the card's answer may be a DF's above.
    const bool inDf = (record->flags & SC_PINREC_IN_CURRENT_DF) != 0;
    const SCRESULT status = inDf ? SC_E_NO_REFERENCED_DATA : QueryPinStatus(pin, nullptr);
    // Only an answer that says whether the PIN stands is acted on.
    if (ScPinPresence(status) < 0) return status;

    // Authorisation. soVerified: the authorising text was the officer's PIN, verified now.
    SCRESULT pending = SC_E_PKCS15_PIN_NOT_FOUND;
    bool soVerified = false;
    if (cosmo) {
        ASNPkcs15AuthObject* authBy = parent ? parent : so;
        if (authPin && authBy) {
            SCRESULT v = VerifyPin(authBy, authPin, false, nullptr);
            if (v < 0) return v;
        }
    } else if (classic) {
        if (unblock) pending = QueryPinStatus(unblock, outPath);
        if (unblock && ScPinPresence(pending) < 0) return pending;
        if (authPin) {
            SCRESULT v = 0;
            if (parent)
                v = VerifyPin(parent, authPin, false, nullptr);
            else if (pending == SC_E_PIN_NOT_INITIALIZED && status >= 0)
                v = VerifyPin(pin, authPin, true, nullptr);
            if (v < 0) return v;
            soVerified = parent && parent == so;
        }
    } else if (authPin && parent) {
        SCRESULT v = VerifyPin(parent, authPin, false, nullptr);
        if (v < 0) return v;
        soVerified = parent == so;
    }
    SCRESULT r = SelectPinDf(pin, outPath);
    if (r < 0) return r;
    const uint8_t ref = GetPinReference(pin);

    // The card's record from the PIN attributes.
    const ASNPkcs15PinAttributes& a = pin->typeAttributes;
    const uint32_t pf = PinFlags(pin);
    const bool padded = (pf & PINF_NEEDS_PADDING) != 0;
    record->minLen = static_cast<uint32_t>(IntOr(a.minLength, 0));
    record->maxLen = padded ? static_cast<uint32_t>(IntOr(a.storedLength, 0))
                            : (a.wasMaxLength ? static_cast<uint32_t>(IntOr(a.maxLength, -1)) : SC_UNSET);
    record->padChar = a.wasPadChar && a.padChar.getLength() > 0 ? a.padChar.getData()[0] : SC_UNSET;
    record->flags = (record->flags & (SC_PINREC_NO_RESET | SC_PINREC_NO_VALUE | SC_PINREC_IN_CURRENT_DF)) |
                    RecordFlagsFromPinFlags(pf);
    if (unblock && !(record->flags & SC_PINREC_UNBLOCK_DISABLED)) {
        const ASNPkcs15PinAttributes& u = unblock->typeAttributes;
        record->pukMinLen = static_cast<uint32_t>(IntOr(u.minLength, 0));
        record->pukMaxLen = padded ? static_cast<uint32_t>(IntOr(u.storedLength, 0))
                                   : (u.wasMaxLength ? static_cast<uint32_t>(IntOr(u.maxLength, -1)) : SC_UNSET);
        record->pukPadChar = u.wasPadChar && u.padChar.getLength() > 0 ? u.padChar.getData()[0] : SC_UNSET;
        record->unblockRef = GetPinReference(unblock);
        record->pukFlags = RecordFlagsFromPinFlags(PinFlags(unblock));
    } else {
        record->unblockRef = 0xFF;
    }
    if (cosmo && (record->flags & SC_PINREC_SO_PIN)) record->flags |= SC_PINREC_UNBLOCKING_PIN;
    if (classic && record->unblockRef != 0xFF) {
        const uint8_t fromHeaders = m_headers.GetRef((pf & PINF_SO) ? SC_REFIDX_SO_PUK : SC_REFIDX_USER_PUK);
        if (fromHeaders < 0xFF) record->unblockRef = fromHeaders;
    }
    // A PUK the card does not hold, and that this creation does not make, is
    // named by no PIN: anyone may create a PIN at a reference in the master file.
    const bool pukMissing = classic && unblock && pending == SC_E_NO_REFERENCED_DATA && !record->pukText;
    if (pukMissing) record->unblockRef = 0xFF;
    if (profile == SC_CARD_TYPE_IAS) {
        if (record->officerRef == SC_REF_FROM_HEADERS) record->officerRef = m_headers.GetSoPinOrSysKeyRef();
        if (record->unblockRef == SC_REF_FROM_HEADERS) record->unblockRef = m_headers.GetRef(SC_REFIDX_USER_PUK);
    }
    const bool padRecord = (record->flags & SC_PINREC_PADDED) != 0;

    // A check first, then the creation itself.
    record->flags |= SC_PINREC_CHECK_ONLY;
    r = m_pCard->CreatePin(ref, record, nullptr, SC_UNSET, 0);
    record->flags &= ~SC_PINREC_CHECK_ONLY;
    if (inDf && r < 0 && r != SC_E_UNSUPPORTED_FEATURE && r != SC_E_UNIMPLEMENTED_FEATURE) return r;
    PinBuffer value;
    uint32_t len = 0;
    if (r >= 0 || r == SC_E_UNSUPPORTED_FEATURE || r == SC_E_UNIMPLEMENTED_FEATURE) {
        const bool noValue = record->hasValue == 0 || !newPin || !*newPin;
        if (noValue) {
            record->flags |= SC_PINREC_NO_VALUE;
            if (!newPin || !*newPin) {
                const uint32_t n = ci.minPinLen ? ci.minPinLen : 4;
                value.bytes.assign(n, 0x01);
                len = n;
            }
        }
        if (newPin && *newPin) {
            r = RecordValue(newPin, record->maxLen, padRecord, record->padChar, &value, &len);
            if (r < 0) return r;
        }
        r = m_pCard->CreatePin(ref, record, Data(value), len, 0);
        // Made where none stood: any other answer than success is the failure, never a PIN to reset.
        if (inDf && r < 0) return r;
    }

    if (cosmo && r >= 0 && (record->flags & SC_PINREC_UNBLOCKING_PIN) && (record->flags & SC_PINREC_SO_PIN))
        record->flags &= ~SC_PINREC_UNBLOCKING_PIN;
    const bool resetAllowed = !(record->flags & SC_PINREC_NO_RESET);
    bool doReset = false;
    if (classic && r == SC_E_ACCESS_DENIED && resetAllowed && status >= 0) r = SC_E_PIN_ALREADY_INITIALIZED;
    if (r == SC_E_PIN_ALREADY_INITIALIZED && resetAllowed) {
        if (cosmo) {
            if (parent && (IntOr(parent->typeAttributes.storedLength, 0) == 0 ||
                           IntOr(parent->typeAttributes.storedLength, 0) == 16))
                doReset = true;
        } else if (classic || profile == SC_CARD_TYPE_IAS) {
            const bool isUser = (pf & (PINF_SO | PINF_UNBLOCKING)) == 0;
            r = SC_E_PIN_ALREADY_INITIALIZED;
            const bool noValue = (record->flags & SC_PINREC_NO_VALUE) != 0;
            // Only the officer does this: with the officer's PIN handed in, or verified (C_InitPIN).
            if (isUser && so && ((authPin && noValue) || (!noValue && (authPin ? soVerified : HasVerifiedPin(so))))) {
                // The officer takes the user PIN's value away (a token initialised anew), or sets
                // a new one (C_InitPIN, or the vendor call with the officer's PIN). A new value is
                // set in place first (RESET RETRY COUNTER under the officer, one command: a cut
                // leaves the old value or the new). This
                // card keeps no PIN without value once it has one, and one that refuses to set a
                // value without the old one has the PIN made anew under the officer, without
                // value or with the new one. A deletion the card refuses is the failure it is:
                // the old value is still there, and no caller may take it for a PIN kept.
                if (record->officerRef >= 0xFF) record->officerRef = GetPinReference(so);
                PinBuffer anew;
                uint32_t anewLen = 0;
                r = noValue || !newPin ? 0 : RecordValue(newPin, record->maxLen, padRecord, record->padChar, &anew, &anewLen);
                bool set = false;
                if (r >= 0 && anewLen && !pukMissing) {
                    // One that names such a missing PUK is made anew without it.
                    r = m_pCard->UnblockPin(ref, nullptr, Data(anew), 0, anewLen);
                    set = r >= 0 || !RefusedAsUnsupported(r);
                    if (!set) r = 0;
                }
                if (!set) {
                    if (r >= 0) r = m_pCard->DeleteObject(ref, SC_KEYOBJ_PIN);
                    if (r == SC_E_NO_REFERENCED_DATA) r = 0;  // gone already: made anew
                    if (r >= 0)
                        r = m_pCard->CreatePin(ref, record, anewLen ? Data(anew) : nullptr, anewLen ? anewLen : SC_UNSET, 0);
                }
            } else if (classic && isUser && !so && authPin &&
                (pending == SC_E_PIN_NOT_INITIALIZED || pending == SC_E_NO_REFERENCED_DATA) &&
                record->unblockRef != 0xFF && record->pukText) {
                if (status == 0 || status > 0 || status == SC_E_PIN_BLOCKED) {
                    const bool blocked = status == SC_E_PIN_BLOCKED;
                    // The unblocking PIN first.
                    SCPinParams pukRec;
                    pukRec.flags = record->pukFlags;
                    pukRec.officerRef = record->officerRef;
                    pukRec.minLen = record->pukMinLen;
                    pukRec.maxLen = record->pukMaxLen;
                    pukRec.padChar = record->pukPadChar;
                    pukRec.unblockRef = 0xFF;
                    PinBuffer puk;
                    uint32_t pukLen = 0;
                    r = RecordValue(record->pukText, pukRec.maxLen, (pukRec.flags & SC_PINREC_PADDED) != 0,
                                    pukRec.padChar, &puk, &pukLen);
                    if (r >= 0) r = m_pCard->CreatePin(record->unblockRef, &pukRec, Data(puk), pukLen, 0);
                    if (r == SC_E_ACCESS_DENIED && blocked) r = SC_E_PIN_BLOCKED;
                    if (r >= 0 && !blocked) {
                        PinBuffer oldV, newV;
                        uint32_t oldLen = 0, newLen = 0;
                        r = RecordValue(authPin, record->maxLen, padRecord, record->padChar, &oldV, &oldLen);
                        if (r >= 0)
                            r = RecordValue(newPin ? newPin : "", record->maxLen, padRecord, record->padChar, &newV,
                                            &newLen);
                        if (r >= 0) r = m_pCard->ChangePin(ref, Data(oldV), Data(newV), oldLen, newLen);
                    } else if (r >= 0 && blocked) {
                        doReset = true;
                    }
                }
            }
        } else {
            // Cards without a reset of their own (model 1): the officer, verified (C_InitPIN,
            // or the vendor call with the officer's PIN), sets the user's value anew with RESET
            // RETRY COUNTER, which the PIN's creation put under the officer's PIN. One command:
            // a cut leaves the old value or the new.
            const bool isUser = (pf & (PINF_SO | PINF_UNBLOCKING)) == 0;
            if (isUser && so && newPin && *newPin && !(record->flags & SC_PINREC_NO_VALUE) &&
                (authPin ? soVerified : HasVerifiedPin(so))) {
                PinBuffer anew;
                uint32_t anewLen = 0;
                r = RecordValue(newPin, record->maxLen, padRecord, record->padChar, &anew, &anewLen);
                if (r >= 0) r = m_pCard->UnblockPin(ref, nullptr, Data(anew), 0, anewLen);
            }
        }
        if (cosmo && !doReset) r = SC_E_PIN_ALREADY_INITIALIZED;
    }
    if (doReset && (parent || (record->flags & SC_PINREC_NO_VALUE))) {
        // What the reset sends is formed before the PIN is blocked: a value that
        // cannot be formed leaves the PIN as it was.
        const bool withValue = !(record->flags & SC_PINREC_NO_VALUE);
        PinBuffer puk, nv;
        uint32_t pukLen = 0, nvLen = 0;
        const uint8_t* pukData = nullptr;
        r = 0;
        if (withValue && classic) {
            r = RecordValue(record->pukText, record->pukMaxLen, (record->pukFlags & SC_PINREC_PADDED) != 0,
                            record->pukPadChar, &puk, &pukLen);
            pukData = Data(puk);
        } else if (withValue) {
            // The authorising PIN in its record's form, the new value in the PIN's: the
            // card splits them where its own form of the PIN it checks ends (the driver
            // finds that form out where the card has two).
            const char* authText = authPin;
            const VerifiedPin* kept = parent ? FindVerifiedPin(parent) : nullptr;
            if (!authText && kept && kept->pin) {
                // A kept value goes as the unblocking value only once the card took it
                // in this call: a stale one would be counted against the PIN just blocked.
                r = TakeKeptPin(parent);
                kept = r >= 0 ? FindVerifiedPin(parent) : nullptr;
                if (kept) authText = kept->pin;
                // Its verification may have been sent from its own DF.
                if (r >= 0) r = SelectPinDf(pin, nullptr);
            }
            if (r < 0) {
                // The login ended (or the card failed): nothing is blocked.
            } else if (authText) {
                r = FormatPin(parent, authText, &puk, &pukLen);
                pukData = Data(puk);
            } else if (!HasVerifiedPin(parent) && !(so && HasVerifiedPin(so))) {
                // With neither verified the card would refuse the new value to a PIN just blocked.
                r = SC_E_PKCS15_NOT_LOGGED_IN;
            }
        }
        if (r >= 0 && withValue)
            r = RecordValue(newPin ? newPin : "", record->maxLen, padRecord, record->padChar, &nv, &nvLen);
        if (r >= 0) r = m_pCard->BlockPin(ref);
        if (r == SC_E_PIN_BLOCKED) r = 0;
        if (r == 0 && withValue) {
            r = m_pCard->UnblockPin(ref, pukData, Data(nv), pukLen, nvLen);
            if (r < 0 && m_pCard->TookUnblockingAlone()) NoteUnblockedAlone(pin, r);
        }
    } else if (doReset) {
        r = SC_E_PIN_ALREADY_INITIALIZED;
    }

    if (IsCurrentPin(pin)) {
        if (r == 0 && newPin) (void)RememberPin(pin, newPin);
        if (r == SC_E_VERIFY_FAILED || r == SC_E_PIN_BLOCKED) {
            Refused(pin, authPin);
            if (outPath) outPath->Clear();
        }
    }

    // The PIN object follows the card: initialised when it has a value.
    uint32_t init = 0;
    if (r == 0) {
        init = (record->flags & SC_PINREC_NO_VALUE) ? 0 : PINF_INITIALIZED;
    } else if (classic && r == SC_E_PIN_ALREADY_INITIALIZED && (status == SC_E_PIN_NOT_INITIALIZED || status >= 0)) {
        init = status == SC_E_PIN_NOT_INITIALIZED ? 0 : PINF_INITIALIZED;
    } else {
        return r;
    }
    if ((pf & PINF_INITIALIZED) != init) {
        (void)pin->typeAttributes.pinFlags.setFlags((pf & ~PINF_INITIALIZED) | init);
        SCPkcs15ObjectList* aodf = FindListForHandle(HandleOfPin(pin));
        if (aodf) {
            aodf->SetDirty(true);
            if (((pf & PINF_SO) || IsWritableWithUserPin(aodf, nullptr)) && newPin && !SkipVerifyForIas(m_pCard))
                (void)VerifyPin(pin, newPin, false, nullptr);
            // The card's PIN and its object must agree: a failed write is the failure. A
            // directory not yet on the card (an application being made) stays dirty and is
            // written with the application.
            // The card already holds the new PIN: a write that fails is tried once more
            // before the call reports a PIN and an object that disagree.
            SCRESULT w = aodf->WriteDirectoryFile();
            if (w < 0 && w != SC_E_FILE_NOT_FOUND && w != SC_E_NO_SMARTCARD && w != SC_E_CARD_REMOVED) {
                // A card that another application reset is taken back first.
                SCReader* rd = m_pCard->GetReader();
                if (w == SC_E_CARD_WAS_RESET && rd != nullptr && rd->Reconnect(0) >= 0) {
                    // The card forgot who was verified: the PIN that guards the directory again.
                    const ASNPkcs15AuthObject* writer = parent ? parent : so;
                    if (writer) (void)VerifyCachedPin(writer, nullptr);
                }
                aodf->SetDirty(true);
                w = aodf->WriteDirectoryFile();
            }
            if (w < 0 && w != SC_E_FILE_NOT_FOUND && r >= 0) return w;
        }
    }
    return r;
}

// ---- token initialisation ----


SCRESULT SCPkcs15App::InitializeToken(const char* userPin, SCPinParams* userRecord, const char* soPin,
                                      SCPinParams* soRecord) {
    if (!m_pCard || !m_hasDirRecord) return SC_E_BAD_USAGE;
    SCPath app;
    SCRESULT r = BuildAbsolutePath(&app);
    if (r < 0) return r;
    SCTransactGuard guard(m_pCard);

    // The application DF, created when missing.
    SCPathList existing;
    r = m_pCard->SelectPathThunk(app.Ids(), app.Count(), 0);
    // A DF the card gave as deleted in this call that stands now is never written
    // into: the card changed its answer, and the DF may hold the previous token.
    if (r >= 0 && m_dfCleared) {
        DebugLogWrite(2, 0, "PKCS#15: %s - the card shows the DF it gave as deleted: the token is not written into it",
                      app.Text().c_str());
        return SC_E_FILE_STATUS_UNKNOWN;
    }
    if (r == SC_E_FILE_NOT_FOUND) {
        r = m_pCard->SelectPathThunk(app.Ids(), app.Count() - 1, 0);
        if (r < 0) return r;
        const long aidLen = m_dirRecord.aid.getLength();
        r = m_pCard->CreateDf(127, app[app.Count() - 1], m_dirRecord.aid.getData(),
                              aidLen > 0 ? static_cast<size_t>(aidLen) : 0, 0, 0x80000021u, &m_headers, nullptr);
        if (r >= 0) m_dfCleared = false;
    }
    if (r < 0) return r;
    AssertInvariant(app.Count() <= 40, __FILE__, __LINE__, "existing_dirs_len <= 40", nullptr);
    for (size_t n = 1; n <= app.Count(); ++n) existing.AddUnique(app.Ids(), n);

    auto initPin = [&](int kind, const char* text, SCPinParams* record, const char* failText) -> SCRESULT {
        // A record without value needs no text: the PIN is made for the SO to set.
        if (!record || (!text && !(record->flags & SC_PINREC_NO_VALUE))) return 0;
        ASNPkcs15AuthObject* pin = nullptr;
        if (FindPinObject(kind, &pin) < 0) return 0;
        SCRESULT s = SetPin(pin, nullptr, text, record, nullptr);
        // One that stands already is kept where the record allows it; a PIN made where
        // none stood, or a refusal, is the failure: the token names only PINs that stand.
        const bool resettable = !(record->flags & (SC_PINREC_NO_RESET | SC_PINREC_IN_CURRENT_DF));
        if (s == SC_E_PIN_ALREADY_INITIALIZED && resettable) s = 0;
        if (s == 0 && text && *text && !(record->flags & SC_PINREC_NO_VALUE) && !SkipVerifyForIas(m_pCard))
            s = VerifyPin(pin, text, false, nullptr);
        if (s < 0) DebugLogWrite(2, 0, failText, static_cast<unsigned>(s & 0xFFFFFFFF));
        return s;
    };
    if (m_headers.GetSoPinRef() <= 254) {
        r = initPin(PIN_SO, soPin, soRecord, "Inicjalizacja PINu SO: błąd inicjalizacji: %08x\n");
        if (r < 0) return r;
    }
    r = initPin(PIN_USER, userPin, userRecord, "Inicjalizacja PINu: błąd inicjalizacji: %08x\n");
    if (r < 0) return r;

    // Every file of the structure, the TokenInfo last: until it is on the card
    // the token reads as one left incomplete (a card pulled meanwhile is
    // initialised anew), never as a token without its PIN directory.
    std::vector<SCPkcs15PathObjectInfo*> files = {&m_odf};
    for (int idx : {L_AODF, L_PRKDF, L_PUKDF, L_TRUSTED_PUKDF, L_CDF, L_TRUSTED_CDF, L_USEFUL_CDF, L_DODF})
        for (POSITION p = m_lists[idx].GetHeadPosition(); p;) files.push_back(m_lists[idx].GetNext(p));
    files.push_back(&m_tokenInfo);
    SCRESULT first = 0;
    for (SCPkcs15PathObjectInfo* f : files) {
        bool needsPin = false, so = false;
        CheckSoPinAccess(f, &needsPin, &so);
        const char* dfName = so ? "SYS DIR" : "USER DIR";
        const uint32_t dfFlags = so ? 0x80000021u : 0x80000025u;
        SCPath full;
        if (!f->GetFullPathInto(full)) return SC_E_NO_MEMORY;
        AssertInvariant(full.Count() > 1, __FILE__, __LINE__, "poi_path_len > 1", nullptr);
        SCRESULT s = 0;
        for (size_t n = 2; n < full.Count() && s >= 0; ++n) {
            if (!existing.AddUnique(full.Ids(), n)) continue;
            s = m_pCard->SelectPathThunk(full.Ids(), n, 0);
            if (s == SC_E_FILE_NOT_FOUND) {
                s = m_pCard->SelectPathThunk(full.Ids(), n - 1, 0);
                if (s >= 0)
                    s = m_pCard->CreateDf(127, full[n - 1], reinterpret_cast<const uint8_t*>(dfName),
                                          std::strlen(dfName), 0, dfFlags, &m_headers, nullptr);
            }
        }
        // A file not read yet is read first, so that writing it back loses nothing on the card.
        if (s >= 0 && !f->IsLoaded() && !f->IsLoadTried()) (void)f->Load(false);
        if (s >= 0) s = f->Write(nullptr, 0, nullptr);
        if (s >= 0) s = f->WriteValueObjects();
        if (s == SC_E_NO_MEMORY) return s;
        if (s < 0 && !so && (s == SC_E_PKCS15_NOT_LOGGED_IN || s == SC_E_PKCS15_PIN_UNKNOWN || s == SC_E_ACCESS_DENIED)) {
            SCPkcs15ObjectList* list = dynamic_cast<SCPkcs15ObjectList*>(f);
            if (list && list->IsEmpty()) continue;
        }
        if (s < 0 && first == 0) first = s;
    }
    if (first == 0) DropKeySetCopy();
    return first;
}

// ---- deleting what a PIN guards ----

SCRESULT SCPkcs15App::DeletePinObjects(ASNPkcs15AuthObject* pin, bool includeAodf) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!HoldsPin(pin)) return SC_E_PKCS15_INVALID_HANDLE;
    const uint16_t cond = static_cast<uint16_t>(0xC000 | GetPinReference(pin));
    SCTransactGuard guard(m_pCard);
    std::vector<int> order = {L_PRKDF, L_PUKDF, L_TRUSTED_PUKDF, L_CDF, L_TRUSTED_CDF, L_USEFUL_CDF, L_DODF};
    if (includeAodf) order.push_back(L_AODF);
    for (int idx : order) {
        for (POSITION p = m_lists[idx].GetHeadPosition(); p;) {
            SCPkcs15ObjectList* f = m_lists[idx].GetNext(p);
            if (!f->IsLoaded()) {
                SCRESULT l = f->Load(false);
                if (l == SC_E_FILE_NOT_FOUND || l == SC_E_ACCESS_DENIED) continue;
                if (l < 0) return l;
            }
            uint16_t userCond = 0;
            if (!IsWritableWithUserPin(f, &userCond) || userCond != cond) continue;
            bool exists = false;
            if (!f->IsOp7Allowed(cond) || !f->IsAccessAllowed(cond, &exists)) continue;
            // Every value file must be guarded by the same PIN.
            std::vector<void*> handles;
            SCRESULT r = FindAllInList(m_lists[idx], &handles, nullptr, 0);
            if (r == SC_E_NO_MEMORY || r == SC_E_NO_SMARTCARD) return r;
            bool same = true;
            for (void* h : handles) {
                if (!f->HoldsHandle(h)) continue;
                SCPkcs15PathObjectInfo* v = nullptr;
                if (f->GetValueObject(h, &v) < 0 || !v) continue;
                if (!v->IsOp7Allowed(cond) || !v->IsAccessAllowed(cond, &exists)) {
                    same = false;
                    break;
                }
            }
            if (!same) continue;
            // Each object goes as a deletion takes it: its record, then its file (a file the
            // card keeps keeps its record). The directory file stays as its issuer made it:
            // a later object would otherwise get one with other rules.
            for (void* h : handles) {
                if (!f->HoldsHandle(h)) continue;
                const SCRESULT d = f->DeleteObject(h, true);
                if (IsCardGoneResult(d) || d == SC_E_NO_MEMORY) return d;
            }
        }
    }
    return 0;
}
