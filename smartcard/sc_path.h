// File paths: 16-bit file identifiers from the master file (absolute: empty or
// starting with 3F00) or from the current DF (relative), with an optional DF name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t SC_FID_MF = 0x3F00;

class SCPath {
public:
    SCPath() = default;
    // The identifiers are copied whatever owns says (kept for the callers' form).
    SCPath(const uint16_t* ids, size_t count, bool owns = true);

    bool Set(const uint16_t* ids, size_t count);
    // Makes room for n identifiers (contents undefined) and returns the buffer.
    uint16_t* Reserve(size_t n);
    const uint16_t* Ids() const { return m_ids.empty() ? nullptr : m_ids.data(); }
    size_t Count() const { return m_ids.size(); }
    uint16_t operator[](size_t i) const { return m_ids[i]; }
    void Append(uint16_t id) { m_ids.push_back(id); }
    void Clear() { m_ids.clear(); m_dfName.clear(); }

    // An absolute path as it is; a relative one joined to the base (itself made
    // absolute from the MF when relative).
    SCPath BuildAbsolute(const SCPath& base) const;
    void MakeAbsolute(const SCPath& base) { *this = BuildAbsolute(base); }
    bool ResolveInto(const SCPath& base, SCPath* out) const;

    // The rest of path after prefix (both absolute; empty means 3F00); null when
    // prefix is not a prefix. *restCount gets the rest's length.
    static const uint16_t* StripPrefix(const uint16_t* path, size_t count, const uint16_t* prefix,
                                       size_t prefixCount, size_t* restCount);

    bool IsMasterFile() const { return m_ids.empty() || (m_ids.size() == 1 && m_ids[0] == SC_FID_MF); }
    bool IsAbsolute() const { return m_ids.empty() || m_ids[0] == SC_FID_MF; }
    bool IsEqual(const SCPath& o) const;
    // "3F00/5015/4401" as log lines write paths; "3F00" for an empty path.
    std::string Text() const;
    bool HasDfName() const { return !m_dfName.empty(); }
    bool SetDfName(const uint8_t* aid, size_t len);
    const uint8_t* GetDfName(size_t* len) const {
        if (len) *len = m_dfName.size();
        return m_dfName.empty() ? nullptr : m_dfName.data();
    }

private:
    std::vector<uint16_t> m_ids;
    std::vector<uint8_t> m_dfName;
};

class SCPathList {
public:
    size_t Count() const { return m_paths.size(); }
    const SCPath& At(size_t i) const { return m_paths[i]; }
    void Clear() { m_paths.clear(); }
    // Adds a copy of the path unless an equal one is present; false when the
    // path is present already.
    bool AddUnique(const uint16_t* ids, size_t count);

    // Writes, for each path that lies strictly below base (both taken as absolute),
    // a count word followed by its identifiers relative to base; paths outside are
    // skipped. With a null buffer only counts. Returns the words needed; *count
    // gets the number of paths written. flags are kept for the callers' form.
    size_t ResolveRelative(const uint16_t* base, size_t baseLen, uint32_t flags, uint16_t* buffer,
                           size_t* count) const;

private:
    std::vector<SCPath> m_paths;
};
