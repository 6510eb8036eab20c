#include "smartcard/sc_cardrules.h"

#include <algorithm>

#include "smartcard/sc_card.h"
#include "smartcard/sc_reader.h"

namespace {

// A global reference names the master file's PIN wherever it is asked from.
SCPath PinPlace(uint8_t ref, const SCPath& df) {
    static const uint16_t kMf = SC_FID_MF;
    return ref < 0x80 || df.Count() == 0 ? SCPath(&kMf, 1) : df;
}

bool Under(const SCPath& path, const SCPath& top) {
    size_t rest = 0;
    return SCPath::StripPrefix(path.Ids(), path.Count(), top.Ids(), top.Count(), &rest) != nullptr;
}

}  // namespace

void SCCardRules::Trust(uint8_t ref, const SCPath& df) {
    if (!Trusted(ref, df)) m_trusted.emplace_back(PinPlace(ref, df), ref);
}

bool SCCardRules::Trusted(uint8_t ref, const SCPath& df) const {
    const SCPath at = PinPlace(ref, df);
    return std::any_of(m_trusted.begin(), m_trusted.end(),
                       [&](const auto& t) { return t.second == ref && t.first.IsEqual(at); });
}

SCRESULT SCCardRules::ScPinPresenceOf(SCRESULT state) { return ScPinPresence(state); }

SCRESULT SCCardRules::State(uint8_t ref, const SCPath& df) {
    const SCPath at = PinPlace(ref, df);
    const SCRESULT r = StandsFrom(ref, at);
    if (r < 0) return r;
    for (const Presence& p : m_stands)
        if (p.ref == ref && p.df.IsEqual(at)) return p.state;
    return r == 1 ? 0 : SC_E_NO_REFERENCED_DATA;
}

SCRESULT SCCardRules::Header(const SCPath& path, const SCFileHeader** header) {
    *header = nullptr;
    const SCPath at = path.Count() == 0 ? PinPlace(0, path) : path;
    for (const Kept& k : m_kept)
        if (k.path.IsEqual(at)) {
            *header = k.header.get();
            return k.result;
        }
    if (m_card == nullptr) return SC_E_BAD_USAGE;
    std::unique_ptr<SCFileHeader> owned;
    SCRESULT r = SC_E_FILE_NOT_FOUND;
    // Nothing stands only where the card says so at a second look too.
    for (int look = 0; look < (m_secondLook ? 2 : 1) && r == SC_E_FILE_NOT_FOUND; ++look) {
        SCFileHeader* h = nullptr;
        r = at.IsMasterFile() ? m_card->SelectMf(&h) : m_card->SelectPath(at.Ids(), at.Count(), &h);
        owned.reset(h);
    }
    // A card that did not answer, or a header that does not parse, decides nothing:
    // the question fails (the next one asks the card again).
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    if (r >= 0 && !owned) return SC_E_INVALID_DATA_FORMAT;
    Kept k;
    k.path = at;
    k.result = r < 0 ? r : 0;
    k.header = std::move(owned);
    *header = k.header.get();
    m_kept.push_back(std::move(k));
    return m_kept.back().result;
}

void SCCardRules::Forget(const SCPath& path) {
    m_kept.erase(std::remove_if(m_kept.begin(), m_kept.end(), [&](const Kept& k) { return Under(k.path, path); }),
                 m_kept.end());
    m_stands.erase(std::remove_if(m_stands.begin(), m_stands.end(), [&](const Presence& p) { return Under(p.df, path); }),
                   m_stands.end());
}

const SCFileHeader* SCCardRules::Judged(const SCPath& path) const {
    const SCPath at = path.Count() == 0 ? PinPlace(0, path) : path;
    if (std::any_of(m_made.begin(), m_made.end(), [&](const SCPath& m) { return Under(at, m); })) return nullptr;
    for (const Kept& k : m_kept)
        if (k.path.IsEqual(at)) return k.result >= 0 ? k.header.get() : nullptr;
    return nullptr;
}

SCRESULT SCCardRules::AnyoneMeets(const SCValueSet& refs, const SCPath& df) {
    for (int32_t i = 0; i < refs.Count(); ++i) {
        const uint16_t c = refs.At(i);
        if (c == SC_AC_ALWAYS) return 1;
        // A channel's key: no one without it opens the channel.
        if (c == SC_AC_NEVER || (c & 0xC000) != SC_AC_PIN) continue;
        const SCRESULT r = PinAnyone(static_cast<uint8_t>(c & 0xFF), df);
        if (r != 0) return r;
    }
    return 0;
}

SCRESULT SCCardRules::AnyoneMay(const SCPath& path, uint32_t op) {
    const SCFileHeader* h = nullptr;
    SCRESULT r = Header(path, &h);
    if (r < 0) return r;
    if (h == nullptr || !h->HasAccessRules()) return 0;
    // Before activation a card enforces no rule; a header without the byte is operational.
    if (h->HasLifeCycle() && h->GetLifeCycleByte() < 0x04) return 1;
    SCAccessRequest req;
    req.operation = op;
    r = h->GetAccessRefs(&req, nullptr);
    if (r == SC_E_UNSUPPORTED_FEATURE) return 0;
    if (r < 0) return r;
    // A DF's rules are asked from the DF itself, a file's from the DF that holds it.
    const SCPath df = h->IsDf() || path.Count() < 2 ? path : SCPath(path.Ids(), path.Count() - 1);
    return AnyoneMeets(req.refs, df);
}

SCRESULT SCCardRules::SoMay(const SCPath& path, uint32_t op, uint8_t soRef) {
    const SCFileHeader* h = nullptr;
    SCRESULT r = Header(path, &h);
    if (r < 0) return r;
    // Rules the card does not show leave it to the card.
    if (h == nullptr || !h->HasAccessRules() || (h->HasLifeCycle() && h->GetLifeCycleByte() < 0x04)) return 1;
    SCAccessRequest req;
    req.operation = op;
    r = h->GetAccessRefs(&req, nullptr);
    if (r == SC_E_UNSUPPORTED_FEATURE) return 1;
    if (r < 0) return r;
    if (soRef < 0xFF && req.refs.Contains(static_cast<uint16_t>(SC_AC_PIN | soRef))) return 1;
    return AnyoneMay(path, op);
}

SCRESULT SCCardRules::PlantedAs(const SCPath& path, bool doubt) {
    const SCFileHeader* h = nullptr;
    SCRESULT r = Header(path, &h);
    if (r < 0 || h == nullptr) return r;
    const bool was = m_doubt;
    m_doubt = doubt;
    // Its own header only: who may create beside it or in it says nothing of whose it is.
    static const uint32_t kDf[] = {SC_AC_OP_DELETE_SELF};
    static const uint32_t kKey[] = {SC_AC_OP_UPDATE, SC_AC_OP_GENERATE, SC_AC_OP_DELETE_SELF};
    static const uint32_t kEf[] = {SC_AC_OP_UPDATE, SC_AC_OP_DELETE_SELF};
    const uint32_t* ops = h->IsDf() ? kDf : h->IsKeyFile() ? kKey : kEf;
    const size_t count = h->IsDf() ? 1 : h->IsKeyFile() ? 3 : 2;
    for (size_t i = 0; i < count && r == 0; ++i) r = AnyoneMay(path, ops[i]);
    m_doubt = was;
    return r;
}

SCRESULT SCCardRules::Planted(const SCPath& path) { return PlantedAs(path, false); }

SCRESULT SCCardRules::Open(const SCPath& path) {
    SCRESULT r = PlantedAs(path, true);
    const SCFileHeader* h = nullptr;
    if (r == 0) r = Header(path, &h);
    if (r != 0 || h == nullptr) return r;
    if (h->IsDf()) {
        r = AnyoneMay(path, SC_AC_OP_CREATE_EF);
        if (r == 0) r = AnyoneMay(path, SC_AC_OP_CREATE_DF);
        if (r != 0) return r;
    }
    // Made in a state where no rule holds, then given its rules: a header without
    // the state cannot show it was not, where anyone may create beside it. What only
    // the owners' PINs may change is theirs all the same: a card whose headers show
    // no state leaves nothing else to judge by.
    const bool made = std::any_of(m_made.begin(), m_made.end(), [&](const SCPath& m) { return Under(path, m); });
    if (!h->HasLifeCycle() && path.Count() > 1 && !made && !OwnersChangeOnly(path, *h)) {
        r = AnyoneMay(SCPath(path.Ids(), path.Count() - 1), h->IsDf() ? SC_AC_OP_CREATE_DF : SC_AC_OP_CREATE_EF);
        if (r != 0) return r;
    }
    if (h->IsDf()) return 0;
    if (h->IsKeyFile()) return AnyoneMay(path, SC_AC_OP_USE);
    SCAccessRequest req;
    req.operation = SC_AC_OP_READ;
    if (h->GetAccessRefs(&req, nullptr) < 0 || req.refs.Contains(SC_AC_ALWAYS)) return 0;
    return AnyoneMay(path, SC_AC_OP_READ);
}

bool SCCardRules::OwnersChangeOnly(const SCPath& path, const SCFileHeader& h) const {
    if (!m_ownersMade) return false;
    static const uint32_t kDf[] = {SC_AC_OP_DELETE_SELF, SC_AC_OP_CREATE_EF, SC_AC_OP_CREATE_DF};
    static const uint32_t kKey[] = {SC_AC_OP_UPDATE, SC_AC_OP_GENERATE, SC_AC_OP_DELETE_SELF};
    static const uint32_t kEf[] = {SC_AC_OP_UPDATE, SC_AC_OP_WRITE, SC_AC_OP_DELETE_SELF};
    const uint32_t* ops = h.IsDf() ? kDf : h.IsKeyFile() ? kKey : kEf;
    const SCPath df = h.IsDf() || path.Count() < 2 ? path : SCPath(path.Ids(), path.Count() - 1);
    for (size_t i = 0; i < 3; ++i) {
        SCAccessRequest req;
        req.operation = ops[i];
        const SCRESULT r = h.GetAccessRefs(&req, nullptr);
        if (r == SC_E_UNSUPPORTED_FEATURE) continue;
        if (r < 0 || req.refs.Count() == 0) return false;
        for (int32_t k = 0; k < req.refs.Count(); ++k) {
            const uint16_t c = req.refs.At(k);
            const uint8_t ref = static_cast<uint8_t>(c & 0xFF);
            const bool owners = ref < 0x80 && std::find(m_owners.begin(), m_owners.end(), ref) != m_owners.end();
            if (c != SC_AC_NEVER && ((c & 0xC000) != SC_AC_PIN || !(owners || Trusted(ref, df)))) return false;
        }
    }
    return true;
}

SCRESULT SCCardRules::StandsFrom(uint8_t ref, const SCPath& df) {
    for (const Presence& p : m_stands)
        if (p.ref == ref && p.df.IsEqual(df)) return p.stands;
    if (m_card == nullptr) return SC_E_BAD_USAGE;
    // An empty VERIFY spends no try; "no such PIN" is believed at a second look only.
    SCRESULT r = 0, state = 0;
    SCReader* reader = m_card->GetReader();
    for (int look = 0; look < 2 && r == 0; ++look) {
        // The master file stays selected while the card is held and nothing was sent since.
        const bool atMf = df.IsMasterFile() && reader != nullptr && m_mfSerial != 0 && reader->StillHeld(m_mfSerial) &&
                          reader->GetCommandCount() == m_mfCount;
        r = atMf ? 0 : df.IsMasterFile() ? m_card->SelectMf(nullptr) : m_card->SelectPath(df.Ids(), df.Count(), nullptr);
        if (r >= 0) state = m_card->VerifyPin(ref, nullptr, SC_UNSET);
        if (r >= 0) r = ScPinPresence(state);
        const bool known = r >= 0 && df.IsMasterFile() && reader != nullptr;
        m_mfSerial = known ? reader->GetHoldSerial() : 0;
        m_mfCount = known ? reader->GetCommandCount() : 0;
    }
    if (r < 0) return r;
    m_stands.push_back({df, ref, r, state});
    return r;
}

SCRESULT SCCardRules::PinAnyone(uint8_t ref, const SCPath& from) {
    static const uint16_t kMf = SC_FID_MF;
    const SCPath mf(&kMf, 1);
    const SCPath start = ref < 0x80 || from.Count() == 0 ? mf : from;
    for (const auto& a : m_asking)
        if (a.second == ref && a.first.IsEqual(start)) return 0;
    m_asking.emplace_back(start, ref);
    // The nearest DF from the one asked up to the master file (a global reference:
    // the master file only) where someone with no PIN may make one, unless one the
    // call trusts stands nearer.
    SCRESULT r = 0;
    SCPath open;
    for (SCPath df = start;; df = SCPath(df.Ids(), df.Count() - 1)) {
        if (Trusted(ref, df)) break;
        r = AnyoneMay(df, SC_AC_OP_CREATE_EF);
        if (r == SC_E_FILE_NOT_FOUND) r = 0;
        if (r == 1) open = df;
        if (r != 0 || df.Count() <= 1) break;
    }
    // Theirs is the one the card finds, unless one stands from the DF asked to there.
    if (r == 1) {
        r = StandsFrom(ref, start);
        if (r == 0) {
            r = 1;
        } else if (r == 1 && open.Count() <= 1) {
            r = 0;
        } else if (r == 1) {
            // One stands above it: whether one stands nearer too, the card does not say.
            r = StandsFrom(ref, SCPath(open.Ids(), open.Count() - 1));
            if (r == 1) r = m_doubt ? 1 : 0;
        }
    }
    m_asking.pop_back();
    return r;
}
