#include "pkcs15/scpkcs15spare.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "pkcs15/scpkcs15objectlist.h"
#include "pkcs15/scpkcs15rewrite.h"

namespace {

// The mark: a private constructed element (no directory record has this tag)
// holding the file's path [0] and the digest of the records [1].
constexpr uint8_t kMarkTag = 0xFE;
constexpr uint8_t kPathTag = 0x80;
constexpr uint8_t kDigestTag = 0x81;
constexpr uint32_t kDigestLen = 20;

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

// The access rules (AB) of a header, empty where it carries none.
std::vector<uint8_t> Rules(const SCFileHeader& h) {
    SCTlv top, t;
    if (!Parameters(h, &top) || !scFindTlv(top.value, top.length, 0xAB, &t)) return {};
    return std::vector<uint8_t>(t.value, t.value + t.length);
}

}  // namespace

uint16_t ScPkcs15SpareFid(uint16_t fid, int slot) {
    // Far from the identifiers the module gives values and keys (6000 to A0FF).
    return static_cast<uint16_t>(fid ^ (slot == 0 ? 0x8000 : 0xC000));
}

bool ScPkcs15SpareContents(const SCPath& file, const uint8_t* records, uint32_t len, std::vector<uint8_t>* out) {
    try {
        const std::vector<uint8_t> path = PathOctets(file);
        uint8_t digest[kDigestLen];
        if (path.size() > 100 || !ScPkcs15Sha1(records, len, digest)) return false;
        out->clear();
        out->push_back(kMarkTag);
        out->push_back(static_cast<uint8_t>(2 + path.size() + 2 + kDigestLen));
        out->push_back(kPathTag);
        out->push_back(static_cast<uint8_t>(path.size()));
        out->insert(out->end(), path.begin(), path.end());
        out->push_back(kDigestTag);
        out->push_back(static_cast<uint8_t>(kDigestLen));
        out->insert(out->end(), digest, digest + kDigestLen);
        if (len) out->insert(out->end(), records, records + len);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

SCPkcs15Spare ScPkcs15ReadSpare(const SCPath& file, const uint8_t* d, uint32_t n, uint32_t* at, uint32_t* len) {
    *at = *len = 0;
    uint32_t markEnd = 0;
    if (n < 2 || d[0] != kMarkTag || ScPkcs15ElementEnd(d, n, 0, &markEnd) != 1 || d[1] & 0x80)
        return SCPkcs15Spare::kForeign;
    const std::vector<uint8_t> path = PathOctets(file);
    const uint8_t* m = d + 2;
    const uint32_t ml = markEnd - 2;
    if (ml != 4 + path.size() + kDigestLen || m[0] != kPathTag || m[1] != path.size() ||
        !std::equal(path.begin(), path.end(), m + 2) || m[2 + path.size()] != kDigestTag ||
        m[3 + path.size()] != kDigestLen)
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
    return SCPkcs15Spare::kWhole;
}

bool ScPkcs15WithState(const SCFileHeader& like, uint8_t state, SCFileHeader* out) {
    SCTlv top, t;
    if (!Parameters(like, &top)) return false;
    std::vector<uint8_t> body, fcp;
    for (size_t p = 0; p < top.length && scReadTlv(top.value, top.length, &p, &t);)
        if (t.tag != 0x8A) scAppendTlv(&body, t.tag, t.value, t.length);
    scAppendTlv(&body, 0x8A, &state, 1);
    scAppendTlv(&fcp, 0x62, body.data(), body.size());
    return out->Parse(fcp.data(), fcp.size()) >= 0 && out->IsTransparentEf();
}

bool ScPkcs15NeverWrittenSpare(const SCPath& file, const SCFileHeader& found, const SCFileHeader& fileHeader,
                               const uint8_t* d, uint32_t n) {
    // What the module chose when it made the spare: its state, its file's rules, room for a mark.
    if (!found.IsTransparentEf() || found.GetLifeCycleByte() != kScPkcs15SpareState ||
        found.GetFileSize() != n || n < MarkLength(file) || Rules(found) != Rules(fileHeader))
        return false;
    // Nothing written: every octet as the card created it.
    return ScPkcs15IsFiller(d[0]) && std::all_of(d, d + n, [&](uint8_t b) { return b == d[0]; });
}
