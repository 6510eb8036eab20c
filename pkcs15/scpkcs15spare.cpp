#include "pkcs15/scpkcs15spare.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "pkcs15/scpkcs15objectlist.h"
#include "pkcs15/scpkcs15rewrite.h"

namespace {

// The mark: a private constructed element (no directory record has this tag)
// holding the file's path [0] and the digest of the records [1]. Spares of one
// earlier version carry the file's rules (AB) after the digest too.
constexpr uint8_t kMarkTag = 0xFE;
constexpr uint8_t kPathTag = 0x80;
constexpr uint8_t kDigestTag = 0x81;
constexpr uint8_t kRulesTag = 0xAB;
constexpr uint32_t kDigestLen = 20;
// Access-mode bits of an EF's rules (ISO/IEC 7816-4): update, delete.
constexpr uint8_t kAmUpdate = 0x02;
constexpr uint8_t kAmDelete = 0x40;

std::vector<uint8_t> PathOctets(const SCPath& path) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < path.Count(); ++i) {
        out.push_back(static_cast<uint8_t>(path[i] >> 8));
        out.push_back(static_cast<uint8_t>(path[i]));
    }
    return out;
}

// The octets of the mark of a spare of the file at this path.
uint32_t MarkLength(const SCPath& path) { return static_cast<uint32_t>(2 + 2 + 2 * path.Count() + 2 + kDigestLen); }

// The control parameters of a header (the template 62, inside 6F where the card wraps it).
bool Parameters(const SCFileHeader& h, SCTlv* out) {
    const std::vector<uint8_t>& raw = h.GetRaw();
    size_t pos = 0;
    SCTlv inner;
    if (!scReadTlv(raw.data(), raw.size(), &pos, out)) return false;
    if (out->tag == 0x6F && scFindTlv(out->value, out->length, 0x62, &inner)) *out = inner;
    return true;
}

// Walks expanded-form rules: pairs of an access-mode byte (80 01 am) and the
// condition that follows it, handed to f as the am byte and the condition's own
// octets. False where the rules are not such pairs.
template <class F>
bool ForEachRule(const std::vector<uint8_t>& rules, F f) {
    size_t p = 0;
    SCTlv mode, cond;
    while (p < rules.size()) {
        if (!scReadTlv(rules.data(), rules.size(), &p, &mode) || mode.tag != 0x80 || mode.length != 1 ||
            (mode.value[0] & 0x80))
            return false;
        const size_t at = p;
        if (!scReadTlv(rules.data(), rules.size(), &p, &cond)) return false;
        f(mode.value[0],
          std::vector<uint8_t>(rules.begin() + static_cast<long>(at), rules.begin() + static_cast<long>(p)));
    }
    return true;
}

// The conditions of expanded-form rules by access-mode bit (none: nothing named).
using Conditions = std::vector<std::vector<uint8_t>>;
bool ConditionsByMode(const std::vector<uint8_t>& rules, Conditions (*out)[8]) {
    return ForEachRule(rules, [out](uint8_t am, const std::vector<uint8_t>& cond) {
        for (int b = 0; b < 8; ++b)
            if (am & (1u << b)) (*out)[b].push_back(cond);
    });
}

}  // namespace

std::vector<uint8_t> ScPkcs15BoundedRules(const std::vector<uint8_t>& claimed, const std::vector<uint8_t>& enforced) {
    const std::vector<uint8_t> kAlways = {0x90, 0x00}, kNever = {0x97, 0x00};
    Conditions asked[8], granted[8];
    if (claimed.empty() || !ConditionsByMode(claimed, &asked) || !ConditionsByMode(enforced, &granted))
        return enforced;
    for (int b = 0; b < 8; ++b) {
        // An operation the rules do not name may be allowed to anybody (cards differ): it is named on both or neither.
        if (asked[b].empty() != granted[b].empty()) return enforced;
        const auto grants = [&](const std::vector<uint8_t>& c) {
            return std::find(granted[b].begin(), granted[b].end(), c) != granted[b].end();
        };
        if (!grants(kAlways) &&
            !std::all_of(asked[b].begin(), asked[b].end(), [&](const auto& c) { return c == kNever || grants(c); }))
            return enforced;
    }
    return claimed;
}

std::vector<uint8_t> ScPkcs15Rules(const SCFileHeader& h) {
    SCTlv top, t;
    if (!Parameters(h, &top) || !scFindTlv(top.value, top.length, kRulesTag, &t)) return {};
    return std::vector<uint8_t>(t.value, t.value + t.length);
}

bool ScPkcs15SpareRules(const std::vector<uint8_t>& fileRules, std::vector<uint8_t>* out) {
    out->clear();
    const bool pairs = ForEachRule(fileRules, [out](uint8_t am, const std::vector<uint8_t>& cond) {
        am = static_cast<uint8_t>(am & ~kAmDelete);
        if (am & kAmUpdate) am |= kAmDelete;
        if (am == 0) return;
        scAppendTlv(out, 0x80, &am, 1);
        out->insert(out->end(), cond.begin(), cond.end());
    });
    return pairs && !out->empty();
}

uint16_t ScPkcs15SpareFid(uint16_t fid, int slot) {
    // Far from the identifiers the module gives values and keys (6000 to A0FF).
    return static_cast<uint16_t>(fid ^ (slot == 0 ? 0x8000 : 0xC000));
}

bool ScPkcs15SpareContents(const SCPath& file, const uint8_t* records, uint32_t len, std::vector<uint8_t>* out) {
    try {
        const std::vector<uint8_t> path = PathOctets(file);
        uint8_t digest[kDigestLen];
        if (!ScPkcs15Sha1(records, len, digest)) return false;
        std::vector<uint8_t> body;
        scAppendTlv(&body, kPathTag, path.data(), path.size());
        scAppendTlv(&body, kDigestTag, digest, kDigestLen);
        // One length octet, as every reader of a mark takes it.
        if (body.size() >= 0x80) return false;
        out->clear();
        out->push_back(kMarkTag);
        out->push_back(static_cast<uint8_t>(body.size()));
        out->insert(out->end(), body.begin(), body.end());
        if (len) out->insert(out->end(), records, records + len);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

SCPkcs15Spare ScPkcs15ReadSpare(const SCPath& file, const uint8_t* d, uint32_t n, uint32_t* at, uint32_t* len,
                                std::vector<uint8_t>* fileRules) {
    *at = *len = 0;
    if (fileRules) fileRules->clear();
    uint32_t markEnd = 0;
    if (n < 2 || d[0] != kMarkTag || ScPkcs15ElementEnd(d, n, 0, &markEnd) != 1 || d[1] & 0x80)
        return SCPkcs15Spare::kForeign;
    const std::vector<uint8_t> path = PathOctets(file);
    const uint8_t* m = d + 2;
    const uint32_t ml = markEnd - 2;
    const uint32_t known = static_cast<uint32_t>(4 + path.size() + kDigestLen);
    if (ml < known || m[0] != kPathTag || m[1] != path.size() || !std::equal(path.begin(), path.end(), m + 2) ||
        m[2 + path.size()] != kDigestTag || m[3 + path.size()] != kDigestLen)
        return SCPkcs15Spare::kForeign;
    // After the digest, the file's rules alone may follow, to the mark's end.
    SCTlv rules;
    size_t p = known;
    if (ml > known && (!scReadTlv(m, ml, &p, &rules) || rules.tag != kRulesTag || p != ml || rules.length == 0))
        return SCPkcs15Spare::kForeign;
    // This file's spare: whole when the digest covers the octets to its end and
    // they are whole records, nothing else.
    uint8_t digest[kDigestLen];
    if (!ScPkcs15Sha1(d + markEnd, n - markEnd, digest) ||
        std::memcmp(digest, m + 4 + path.size(), kDigestLen) != 0)
        return SCPkcs15Spare::kCut;
    for (uint32_t p = markEnd; p < n;) {
        uint32_t e = 0;
        if (ScPkcs15IsFiller(d[p]) || ScPkcs15ElementEnd(d, n, p, &e) != 1) return SCPkcs15Spare::kCut;
        p = e;
    }
    *at = markEnd;
    *len = n - markEnd;
    if (fileRules && ml > known) fileRules->assign(rules.value, rules.value + rules.length);
    return SCPkcs15Spare::kWhole;
}

bool ScPkcs15WithState(const SCFileHeader& like, uint8_t state, SCFileHeader* out,
                       const std::vector<uint8_t>* rules) {
    SCTlv top, t;
    if (!Parameters(like, &top)) return false;
    std::vector<uint8_t> body, fcp;
    for (size_t p = 0; p < top.length && scReadTlv(top.value, top.length, &p, &t);)
        if (t.tag != 0x8A && (!rules || t.tag != kRulesTag)) scAppendTlv(&body, t.tag, t.value, t.length);
    scAppendTlv(&body, 0x8A, &state, 1);
    if (rules) scAppendTlv(&body, kRulesTag, rules->data(), rules->size());
    scAppendTlv(&fcp, 0x62, body.data(), body.size());
    return out->Parse(fcp.data(), fcp.size()) >= 0 && out->IsTransparentEf();
}

SCPkcs15SpareMaker ScPkcs15SpareMadeBy(const SCFileHeader& found, const SCFileHeader& fileHeader) {
    const std::vector<uint8_t> rules = ScPkcs15Rules(found), own = ScPkcs15Rules(fileHeader);
    // Where the card shows no rules this module makes no spare: two empty rule sets vouch for nobody.
    if (!found.IsTransparentEf() || rules.empty()) return SCPkcs15SpareMaker::kAnybody;
    // Made straight in the spare's state, the card enforced its rules from its first command on.
    std::vector<uint8_t> spares;
    if (found.GetLifeCycleByte() == kScPkcs15SpareState &&
        (rules == own || (ScPkcs15SpareRules(own, &spares) && rules == spares)))
        return SCPkcs15SpareMaker::kThisModule;
    // Any file reaches an ordinary state from one in which no rule holds.
    if (found.GetLifeCycleByte() == fileHeader.GetLifeCycleByte() && rules == own) return SCPkcs15SpareMaker::kEarlier;
    return SCPkcs15SpareMaker::kAnybody;
}

bool ScPkcs15SpareRulesWithoutState(const SCFileHeader& found, const SCFileHeader& fileHeader) {
    const std::vector<uint8_t> rules = ScPkcs15Rules(found);
    std::vector<uint8_t> spares;
    return !found.HasLifeCycle() && found.IsTransparentEf() && !rules.empty() &&
           ScPkcs15SpareRules(ScPkcs15Rules(fileHeader), &spares) && rules == spares;
}

bool ScPkcs15NeverWrittenSpare(const SCPath& file, const SCFileHeader& found, const SCFileHeader& fileHeader,
                               const uint8_t* d, uint32_t n, bool stateUnshown) {
    // What the module chose when it made the spare: its state, its file's rules, room for a mark.
    const bool made = ScPkcs15SpareMadeBy(found, fileHeader) == SCPkcs15SpareMaker::kThisModule ||
                      (stateUnshown && ScPkcs15SpareRulesWithoutState(found, fileHeader));
    if (!made || found.GetFileSize() != n || n < MarkLength(file))
        return false;
    // Nothing written: every octet as the card created it.
    return ScPkcs15IsFiller(d[0]) && std::all_of(d, d + n, [&](uint8_t b) { return b == d[0]; });
}
