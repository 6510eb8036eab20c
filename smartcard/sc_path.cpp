#include "smartcard/sc_path.h"

#include <cstdio>

namespace {
// The identifiers of an absolute path without its leading 3F00.
void AfterMf(const uint16_t* ids, size_t count, const uint16_t** rest, size_t* restCount) {
    if (count > 0 && ids[0] == SC_FID_MF) {
        ++ids;
        --count;
    }
    *rest = ids;
    *restCount = count;
}
}  // namespace

SCPath::SCPath(const uint16_t* ids, size_t count, bool) { Set(ids, count); }

bool SCPath::Set(const uint16_t* ids, size_t count) {
    if (ids == nullptr && count != 0) return false;
    m_ids.assign(ids, ids + count);
    return true;
}

uint16_t* SCPath::Reserve(size_t n) {
    m_ids.resize(n);
    return n ? m_ids.data() : nullptr;
}

SCPath SCPath::BuildAbsolute(const SCPath& base) const {
    if (IsAbsolute()) return *this;
    SCPath r;
    if (!base.IsAbsolute()) r.Append(SC_FID_MF);
    for (uint16_t id : base.m_ids) r.Append(id);
    if (r.m_ids.empty()) r.Append(SC_FID_MF);
    for (uint16_t id : m_ids) r.Append(id);
    r.m_dfName = m_dfName;
    return r;
}

bool SCPath::ResolveInto(const SCPath& base, SCPath* out) const {
    if (out == nullptr) return false;
    *out = BuildAbsolute(base);
    return true;
}

const uint16_t* SCPath::StripPrefix(const uint16_t* path, size_t count, const uint16_t* prefix,
                                    size_t prefixCount, size_t* restCount) {
    if ((path == nullptr && count) || (prefix == nullptr && prefixCount)) return nullptr;
    if ((count && path[0] != SC_FID_MF) || (prefixCount && prefix[0] != SC_FID_MF)) return nullptr;
    const uint16_t *p, *q;
    size_t pn, qn;
    AfterMf(path, count, &p, &pn);
    AfterMf(prefix, prefixCount, &q, &qn);
    if (qn > pn) return nullptr;
    for (size_t i = 0; i < qn; ++i)
        if (p[i] != q[i]) return nullptr;
    if (restCount) *restCount = pn - qn;
    static const uint16_t kEmpty = 0;
    return pn == qn ? &kEmpty : p + qn;
}

std::string SCPath::Text() const {
    if (m_ids.empty()) return "3F00";
    std::string s;
    char id[8];
    for (size_t i = 0; i < m_ids.size(); ++i) {
        std::snprintf(id, sizeof id, i ? "/%04X" : "%04X", static_cast<unsigned>(m_ids[i]));
        s += id;
    }
    return s;
}

bool SCPath::IsEqual(const SCPath& o) const {
    if (IsMasterFile() && o.IsMasterFile()) return true;
    return m_ids == o.m_ids;
}

bool SCPath::SetDfName(const uint8_t* aid, size_t len) {
    if ((aid == nullptr && len) || len > 16) return false;
    m_dfName.assign(aid, aid + len);
    return true;
}

bool SCPathList::AddUnique(const uint16_t* ids, size_t count) {
    SCPath p;
    if (!p.Set(ids, count)) return false;
    for (const SCPath& q : m_paths)
        if (q.IsEqual(p)) return false;
    m_paths.push_back(p);
    return true;
}

size_t SCPathList::ResolveRelative(const uint16_t* base, size_t baseLen, uint32_t, uint16_t* buffer,
                                   size_t* count) const {
    SCPath b(base, baseLen);
    b = b.BuildAbsolute(SCPath());
    size_t words = 0, written = 0;
    for (const SCPath& path : m_paths) {
        const SCPath abs = path.BuildAbsolute(b);
        size_t rest = 0;
        const uint16_t* r = SCPath::StripPrefix(abs.Ids(), abs.Count(), b.Ids(), b.Count(), &rest);
        if (r == nullptr || rest == 0) continue;
        if (buffer != nullptr) {
            buffer[words] = static_cast<uint16_t>(rest);
            for (size_t i = 0; i < rest; ++i) buffer[words + 1 + i] = r[i];
        }
        words += 1 + rest;
        ++written;
    }
    if (count) *count = written;
    return words;
}
