#include "pkcs15/scpkcs15rewrite.h"

#include <algorithm>
#include <map>
#include <string>

namespace {

constexpr size_t kMostRecords = 96;
constexpr size_t kMostOctets = 16384;
// The largest file packed (as large as a file of records gets here).
constexpr uint32_t kMostPacked = 0x8000;
// A record that one command carries moves in hops of one command rather than
// standing twice where so few reach its place, or so many where its new place
// overlaps its old one.
constexpr uint32_t kFewHops = 2;
constexpr uint32_t kMostHops = 8;

using Rec = SCPkcs15Record;

// Marks the octets of d that elements take (but the empty cleared element that
// keeps the start of a file whose first record went, where blankStart); false at
// octets that frame no element, from which on every octet is marked.
bool MarkElements(const std::vector<uint8_t>& d, bool blankStart, std::vector<bool>* used) {
    const uint32_t n = static_cast<uint32_t>(d.size());
    used->assign(n, false);
    for (uint32_t p = 0; p < n;) {
        uint32_t e = 0;
        if (ScPkcs15IsFiller(d[p])) {
            ++p;
            continue;
        }
        const bool whole = ScPkcs15ElementEnd(d.data(), n, p, &e) == 1;
        if (!whole) e = n;
        if (!(blankStart && p == 0 && e == 2 && d[0] == kScPkcs15Cleared))
            std::fill(used->begin() + p, used->begin() + e, true);
        if (!whole) return false;
        p = e;
    }
    return true;
}

// The records of a file as every reader here frames them; false on octets that
// are no whole element. *after is set to whether only filler follows the last
// record (a file that begins with filler and holds elements after it is no file
// that a reader and a writer agree on).
bool Frame(const std::vector<uint8_t>& d, std::vector<Rec>* out, bool* after = nullptr) {
    out->clear();
    if (after) *after = true;
    const uint32_t n = static_cast<uint32_t>(d.size());
    uint32_t end = 0;
    if (ScPkcs15FrameRecords(d.data(), n, n, false, out, &end) != 0) return false;
    // Records run to the file's end, but for one that begins with filler.
    if (after) *after = n == 0 || !ScPkcs15IsFiller(d[0]) || std::all_of(d.begin(), d.end(), ScPkcs15IsFiller);
    return true;
}

std::string Key(const std::vector<uint8_t>& d, const Rec& r) {
    return std::string(reinterpret_cast<const char*>(d.data()) + r.at, r.len);
}

// Walks from the file as it is to the file wanted: each step puts one record of
// the new file in its place (or moves it part of the way there), or clears a
// record the new file no longer holds, and is kept only if the file it leaves
// passes Readable().
class Planner {
public:
    Planner(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part, std::vector<SCPkcs15WriteStep>* steps)
        : m_state(from, from + len), m_to(to, to + len), m_part(part), m_steps(steps) {}

    bool Run() {
        std::vector<Rec> before;
        if (!Frame(m_state, &before) || !Frame(m_to, &m_target) || m_part == 0) return Finish(false);
        // The search costs records times octets for each step: a file of very
        // many records or octets (a hostile card's) is written straight through.
        if (before.size() > kMostRecords || m_target.size() > kMostRecords || m_to.size() > kMostOctets)
            return Finish(false);
        for (const Rec& r : before) ++m_count[Key(m_state, r)].first;
        for (const Rec& r : m_target) ++m_count[Key(m_to, r)].second;
        m_minTotal = std::min(before.size(), m_target.size());
        m_maxTotal = std::max(before.size(), m_target.size());
        // Every step moves a record nearer its place, places or clears one, or mends
        // filler; a walk of many more steps than records is given up.
        const size_t most = 4 * (before.size() + m_target.size()) + 32;
        for (size_t n = 0; n < most; ++n) {
            if (m_state == m_to) return true;
            std::vector<Rec> cur;
            if (!Frame(m_state, &cur)) break;
            Placement placed = Placed(cur);
            if (PlaceOne(cur, placed) || ClearOne(cur, placed) || MendFiller(cur, placed) || CloseUp(cur, placed))
                continue;
            break;
        }
        return Finish(false);
    }

private:
    struct Placement {
        std::vector<bool> target;  // by record of the new file: already in its place
        std::vector<bool> state;   // by record of the file as it is: a record of the new file in its place
    };

    Placement Placed(const std::vector<Rec>& cur) const {
        Placement p{std::vector<bool>(m_target.size()), std::vector<bool>(cur.size())};
        size_t i = 0;
        for (size_t j = 0; j < m_target.size(); ++j) {
            const Rec& t = m_target[j];
            while (i < cur.size() && cur[i].at < t.at) ++i;
            if (i < cur.size() && cur[i].at == t.at && cur[i].len == t.len &&
                std::equal(m_to.begin() + t.at, m_to.begin() + t.at + t.len, m_state.begin() + t.at)) {
                p.target[j] = true;
                p.state[i] = true;
            }
        }
        return p;
    }

    // The file after a step may be left with: whole records only, each one of the
    // old or of the new file, as many of each as one of them holds or a number in
    // between, and no more or fewer records in all than either (so that a record
    // is never there in its old and its new form at once).
    bool Readable(const std::vector<uint8_t>& s) const {
        std::vector<Rec> recs;
        bool tidy = false;
        // A record after the end of the records would be lost to this module's
        // reader and found by one that reads the whole file.
        if (!Frame(s, &recs, &tidy) || !tidy) return false;
        if (recs.size() < m_minTotal || recs.size() > m_maxTotal) return false;
        std::map<std::string, int> seen;
        for (const Rec& r : recs) {
            std::string k = Key(s, r);
            if (m_count.find(k) == m_count.end()) return false;
            ++seen[std::move(k)];
        }
        for (const auto& [k, c] : m_count) {
            const auto it = seen.find(k);
            const int n = it == seen.end() ? 0 : it->second;
            if (n < std::min(c.first, c.second) || n > std::max(c.first, c.second)) return false;
        }
        return true;
    }

    // Writes the region [lo, hi) of `next` if the file it leaves is readable.
    bool Try(uint32_t lo, uint32_t hi, const std::vector<uint8_t>& next) {
        if (!Readable(next)) return false;
        while (lo < hi && m_state[lo] == next[lo]) ++lo;
        while (hi > lo && m_state[hi - 1] == next[hi - 1]) --hi;
        if (lo == hi) return false;
        SCPkcs15WriteStep step;
        step.offset = lo;
        step.data.assign(next.begin() + lo, next.begin() + hi);
        m_steps->push_back(std::move(step));
        m_state = next;
        return true;
    }

    // Pairs the records of the new file that are not in their place with the
    // records of the file as it is that stand for them: equal records, in order.
    void Pair(const std::vector<Rec>& cur, const Placement& placed, std::vector<int>* copyOf,
              std::vector<int>* targetOf) const {
        copyOf->assign(m_target.size(), -1);
        targetOf->assign(cur.size(), -1);
        for (size_t j = 0; j < m_target.size(); ++j) {
            if (placed.target[j]) continue;
            const std::string key = Key(m_to, m_target[j]);
            for (size_t i = 0; i < cur.size(); ++i) {
                if (placed.state[i] || (*targetOf)[i] >= 0 || Key(m_state, cur[i]) != key) continue;
                (*copyOf)[j] = static_cast<int>(i);
                (*targetOf)[i] = static_cast<int>(j);
                break;
            }
        }
    }

    // Widens [lo, hi) until it cuts no record of the file as it is in two and
    // holds the place of every record of the new file whose present form it
    // takes in (a record already in its place is written again as it is).
    static void Close(const std::vector<Rec>& cur, const std::vector<Rec>& target, const std::vector<int>& targetOf,
                      uint32_t* lo, uint32_t* hi) {
        for (bool grown = true; grown;) {
            grown = false;
            for (size_t i = 0; i < cur.size(); ++i) {
                if (cur[i].at >= *hi || cur[i].at + cur[i].len <= *lo) continue;
                for (const Rec& r : {cur[i], targetOf[i] >= 0 ? target[static_cast<size_t>(targetOf[i])] : cur[i]}) {
                    if (r.at < *lo) *lo = r.at, grown = true;
                    if (r.at + r.len > *hi) *hi = r.at + r.len, grown = true;
                }
            }
        }
    }

    // Puts a record of the new file in its place, with the others that its
    // command then takes in, or moves it nearer when the way is longer than one
    // command allows; the octets left over become filler. A record the old file
    // lacks (new, or an old one changed) may take the place of one the new file
    // lacks in the same command, nearest first, so that the old and the new form
    // never stand together.
    bool PlaceOne(const std::vector<Rec>& cur, const Placement& placed) {
        std::vector<int> copyOf, targetOf;
        Pair(cur, placed, &copyOf, &targetOf);
        for (size_t j = 0; j < m_target.size(); ++j) {
            if (placed.target[j]) continue;
            const Rec& t = m_target[j];
            const int copy = copyOf[j];
            if (copy >= 0) {
                const Rec& c = cur[static_cast<size_t>(copy)];
                if (TryWindow(cur, placed, copyOf, targetOf, j, std::min(t.at, c.at), std::max(t.at, c.at) + t.len) ||
                    Hop(cur, placed, t, c.at))
                    return true;
                continue;
            }
            if (TryWindow(cur, placed, copyOf, targetOf, j, t.at, t.at + t.len)) return true;
            std::vector<size_t> gone;
            for (size_t i = 0; i < cur.size(); ++i)
                if (!placed.state[i] && targetOf[i] < 0) gone.push_back(i);
            const auto distance = [&](size_t i) {
                return cur[i].at > t.at ? cur[i].at - t.at : t.at - cur[i].at;
            };
            std::sort(gone.begin(), gone.end(), [&](size_t x, size_t y) { return distance(x) < distance(y); });
            for (size_t i : gone)
                if (TryWindow(cur, placed, copyOf, targetOf, j, std::min(t.at, cur[i].at),
                              std::max(t.at + t.len, cur[i].at + cur[i].len)))
                    return true;
        }
        return false;
    }

    // One command over [lo, hi), widened by Close(), that puts record j of the
    // new file in its place; the others whose place and present form lie inside
    // go to their place too (a record that is new elsewhere waits for its own
    // command: placed early it could bar another's way); the rest becomes filler.
    bool TryWindow(const std::vector<Rec>& cur, const Placement& placed, const std::vector<int>& copyOf,
                   const std::vector<int>& targetOf, size_t j, uint32_t lo, uint32_t hi) {
        Close(cur, m_target, targetOf, &lo, &hi);
        if (hi - lo > m_part) return false;
        std::vector<uint8_t> next = m_state;
        std::fill(next.begin() + lo, next.begin() + hi, 0x00);
        for (size_t k = 0; k < m_target.size(); ++k) {
            const Rec& o = m_target[k];
            const int c = copyOf[k];
            const bool inside = c >= 0 && cur[static_cast<size_t>(c)].at >= lo && cur[static_cast<size_t>(c)].at < hi;
            if (o.at >= lo && o.at + o.len <= hi && (placed.target[k] || inside || (k == j && c < 0)))
                std::copy(m_to.begin() + o.at, m_to.begin() + o.at + o.len, next.begin() + o.at);
        }
        return Try(lo, hi, next);
    }

    // Moves the record at s as far toward its place t as one command reaches.
    bool Hop(const std::vector<Rec>& cur, const Placement& placed, const Rec& t, uint32_t s) {
        if (t.len >= m_part) return false;
        const uint32_t room = m_part - t.len;
        const uint32_t dest = s > t.at ? std::max(t.at, s > room ? s - room : 0) : std::min(t.at, s + room);
        uint32_t lo = std::min(s, dest), hi = std::max(s, dest) + t.len;
        for (size_t i = 0; i < cur.size(); ++i) {
            if (cur[i].at >= hi || cur[i].at + cur[i].len <= lo) continue;
            if (placed.state[i] || cur[i].at < lo || cur[i].at + cur[i].len > hi) return false;
        }
        std::vector<uint8_t> next = m_state;
        std::fill(next.begin() + lo, next.begin() + hi, 0x00);
        std::copy(m_to.begin() + t.at, m_to.begin() + t.at + t.len, next.begin() + dest);
        return Try(lo, hi, next);
    }

    // Clears a record that the new file holds fewer of.
    bool ClearOne(const std::vector<Rec>& cur, const Placement& placed) {
        for (size_t i = 0; i < cur.size(); ++i) {
            if (placed.state[i] || cur[i].len > m_part) continue;
            std::vector<uint8_t> next = m_state;
            std::fill(next.begin() + cur[i].at, next.begin() + cur[i].at + cur[i].len, 0x00);
            if (Try(cur[i].at, cur[i].at + cur[i].len, next)) return true;
        }
        return false;
    }

    // Moves a record the new file lacks left over the filler before it, as far as
    // one command reaches: its replacement may then take its place in one command.
    bool CloseUp(const std::vector<Rec>& cur, const Placement& placed) {
        std::vector<int> copyOf, targetOf;
        Pair(cur, placed, &copyOf, &targetOf);
        for (size_t i = 0; i < cur.size(); ++i) {
            if (placed.state[i] || targetOf[i] >= 0 || cur[i].len >= m_part || i == 0) continue;
            const uint32_t free = cur[i - 1].at + cur[i - 1].len;
            if (free == cur[i].at) continue;
            const uint32_t dest = std::max(free, cur[i].at - std::min(cur[i].at, m_part - cur[i].len));
            std::vector<uint8_t> next = m_state;
            std::copy(m_state.begin() + cur[i].at, m_state.begin() + cur[i].at + cur[i].len, next.begin() + dest);
            std::fill(next.begin() + dest + cur[i].len, next.begin() + cur[i].at + cur[i].len, 0x00);
            if (Try(dest, cur[i].at + cur[i].len, next)) return true;
        }
        return false;
    }

    // With every record in its place, what differs is filler (00 for FF or back).
    bool MendFiller(const std::vector<Rec>& cur, const Placement& placed) {
        if (std::find(placed.state.begin(), placed.state.end(), false) != placed.state.end() ||
            cur.size() != m_target.size())
            return false;
        const auto diff = std::mismatch(m_state.begin(), m_state.end(), m_to.begin());
        const uint32_t lo = static_cast<uint32_t>(diff.first - m_state.begin());
        const uint32_t hi = std::min<uint32_t>(static_cast<uint32_t>(m_state.size()), lo + m_part);
        std::vector<uint8_t> next = m_state;
        std::copy(m_to.begin() + lo, m_to.begin() + hi, next.begin() + lo);
        return Try(lo, hi, next);
    }

    // What is still to write goes front to back, one command after the other.
    bool Finish(bool safe) {
        const uint32_t part = m_part ? m_part : 255;
        const uint32_t n = static_cast<uint32_t>(m_state.size());
        uint32_t lo = 0, hi = n;
        while (lo < n && m_state[lo] == m_to[lo]) ++lo;
        while (hi > lo && m_state[hi - 1] == m_to[hi - 1]) --hi;
        for (uint32_t at = lo; at < hi; at += part) {
            SCPkcs15WriteStep step;
            step.offset = at;
            step.data.assign(m_to.begin() + at, m_to.begin() + std::min(hi, at + part));
            m_steps->push_back(std::move(step));
        }
        return safe || lo == hi;
    }

    std::vector<uint8_t> m_state;
    const std::vector<uint8_t> m_to;
    const uint32_t m_part;
    std::vector<SCPkcs15WriteStep>* m_steps;
    std::vector<Rec> m_target;
    std::map<std::string, std::pair<int, int>> m_count;  // by record: how many the old and the new file hold
    size_t m_minTotal = 0;
    size_t m_maxTotal = 0;
};

}  // namespace

int ScPkcs15ElementEnd(const uint8_t* d, uint32_t n, uint32_t at, uint32_t* end) {
    if (at >= n) return 0;
    uint32_t q = at + 1;
    if ((d[at] & 0x1F) == 0x1F) {
        while (q < n && (d[q] & 0x80)) ++q;
        if (q >= n) return 0;
        ++q;
    }
    if (q >= n) return 0;
    uint32_t l = d[q++];
    if (l & 0x80) {
        const uint32_t k = l & 0x7F;
        if (k == 0 || k > 3) return -1;
        if (k > n - q) return 0;
        l = 0;
        for (uint32_t i = 0; i < k; ++i) l = l << 8 | d[q++];
    }
    // Past the octets at hand: a longer read may still complete it.
    if (l > n - q) return 0;
    *end = q + l;
    return 1;
}

uint32_t ScPkcs15FrameRecords(const uint8_t* d, uint32_t have, uint32_t size, bool oneRecord,
                              std::vector<SCPkcs15Record>* out, uint32_t* end) {
    *end = 0;
    if (out) out->clear();
    if (have > size) have = size;
    if (have == 0) return size == 0 ? 0 : 1;
    if (ScPkcs15IsFiller(d[0])) return 0;  // a file that begins with filler holds nothing
    uint32_t p = 0;
    while (p < have) {
        if (ScPkcs15IsFiller(d[p])) {
            ++p;
            continue;
        }
        uint32_t e = 0;
        const int r = ScPkcs15ElementEnd(d, have, p, &e);
        if (r < 0) return kScPkcs15Malformed;
        if (r == 1 && d[p] == kScPkcs15Cleared) {
            p = e;  // a record being cleared: filler
            continue;
        }
        if (r == 0) {
            // The element's header may say how far it reaches: ask for that much.
            if (have >= size) return kScPkcs15Malformed;
            uint32_t need = 8;
            uint32_t q = p + 1;
            if ((d[p] & 0x1F) == 0x1F) {
                while (q < have && (d[q] & 0x80)) ++q;
                ++q;
            }
            if (q < have) {
                uint64_t l = d[q];
                const uint32_t k = (l & 0x80) ? (l & 0x7F) : 0;
                uint64_t stop = 0;
                if (k == 0) {
                    stop = q + 1 + l;
                } else if (q + 1 + k <= have) {
                    l = 0;
                    for (uint32_t i = 0; i < k; ++i) l = l << 8 | d[q + 1 + i];
                    stop = q + 1 + k + l;
                }
                // An element that runs past the file's end is no record.
                if (stop > size) return kScPkcs15Malformed;
                if (stop > have) need = static_cast<uint32_t>(stop - have);
            }
            return std::min<uint32_t>(need, size - have);
        }
        if (out) out->push_back({p, e - p});
        p = *end = e;
        if (oneRecord) return 0;
    }
    // Records may stand anywhere up to the file's end.
    return size - have;
}

bool ScPkcs15PackedRecords(const uint8_t* d, uint32_t n, std::vector<uint8_t>* out) {
    out->clear();
    std::vector<Rec> recs;
    const std::vector<uint8_t> all(d, d + n);
    if (!Frame(all, &recs)) return false;
    for (const Rec& r : recs) out->insert(out->end(), all.begin() + r.at, all.begin() + r.at + r.len);
    return true;
}

namespace {

// Steps that follow one another and fit one command together become one: the
// card goes from the state before the first to the state after the last in one
// command, and both are states the plan passes through.
void Coalesce(const uint8_t* from, uint32_t len, uint32_t part, std::vector<SCPkcs15WriteStep>* steps) {
    if (steps->size() < 2 || part == 0) return;
    std::vector<uint8_t> state(from, from + len);
    std::vector<SCPkcs15WriteStep> out;
    uint32_t lo = 0, hi = 0;
    bool open = false;
    const auto flush = [&]() {
        if (!open) return;
        SCPkcs15WriteStep step;
        step.offset = lo;
        step.data.assign(state.begin() + lo, state.begin() + hi);
        out.push_back(std::move(step));
        open = false;
    };
    for (const SCPkcs15WriteStep& s : *steps) {
        const uint32_t a = s.offset, b = s.offset + static_cast<uint32_t>(s.data.size());
        if (open && std::max(hi, b) - std::min(lo, a) > part) flush();
        std::copy(s.data.begin(), s.data.end(), state.begin() + a);
        lo = open ? std::min(lo, a) : a;
        hi = open ? std::max(hi, b) : b;
        open = true;
    }
    flush();
    steps->swap(out);
}

}  // namespace

namespace {

// Steps that put the record rec (len octets) at `at`, over octets that are filler
// within its span, each leaving whole elements: in one command where it fits one,
// else first as a cleared element of its length, then its octets, its tag last.
// False for a header that does not allow it.
bool PutRecord(const uint8_t* rec, uint32_t len, uint32_t at, uint32_t part, std::vector<SCPkcs15WriteStep>* steps) {
    if (len <= part) {
        steps->push_back({at, std::vector<uint8_t>(rec, rec + len)});
        return true;
    }
    const uint32_t h = len < 2 ? len + 1 : 2 + ((rec[1] & 0x80) ? (rec[1] & 0x7F) : 0);
    if ((rec[0] & 0x1F) == 0x1F || h > len || h > part) return false;
    SCPkcs15WriteStep header{at, std::vector<uint8_t>(rec, rec + h)};
    header.data[0] = kScPkcs15Cleared;
    steps->push_back(std::move(header));
    for (uint32_t p = h; p < len; p += part)
        steps->push_back({at + p, std::vector<uint8_t>(rec + p, rec + std::min(len, p + part))});
    steps->push_back({at, std::vector<uint8_t>(1, rec[0])});
    return true;
}

// Walks a file to one whose records are those of the file less some, or more
// some, the others in the same order, wherever either holds them (packed from the
// start, as a write leaves them). Each step leaves whole elements and every
// record of either file at least once. A record that one command moves goes in
// one (or in hops of one command each); a longer one stands twice a while: it is
// written where it goes as a cleared element, its tag last, then its old place is
// cleared (its tag first, its header last). Where its new place overlaps its old
// one it goes by way of free room elsewhere in the file.
class Packer {
public:
    Packer(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part, std::vector<SCPkcs15WriteStep>* steps)
        : m_state(from, from + len), m_to(to, to + len), m_part(part), m_steps(steps) {}

    bool Run(bool* twice) {
        std::vector<Rec> cur;
        if (m_part == 0 || !Frame(m_state, &cur) || !Frame(m_to, &m_target)) return false;
        for (const Rec& r : cur) ++m_count[Key(m_state, r)].first;
        for (const Rec& r : m_target) ++m_count[Key(m_to, r)].second;
        m_maxTotal = std::max(cur.size(), m_target.size());
        Occupy();
        // The records both hold, paired: first those already in their place, then
        // in the order they stand (a cut may have left one on its way, elsewhere, or
        // twice); the rest only go or only come.
        m_at.assign(m_target.size(), -1);
        std::vector<bool> kept(cur.size(), false);
        std::map<std::string, std::vector<size_t>> byKey;
        for (size_t i = 0; i < cur.size(); ++i) byKey[Key(m_state, cur[i])].push_back(i);
        for (int pass = 0; pass < 2; ++pass)
            for (size_t j = 0; j < m_target.size(); ++j) {
                if (m_at[j] >= 0) continue;
                for (size_t i : byKey[Key(m_to, m_target[j])])
                    if (!kept[i] && (pass == 1 || cur[i].at == m_target[j].at)) {
                        m_at[j] = cur[i].at;
                        kept[i] = true;
                        break;
                    }
            }
        const bool comes = std::find(m_at.begin(), m_at.end(), -1) != m_at.end();
        // A record that changes is no record that only goes or comes: one form
        // could stand without the other. (A copy more of a record that stays goes.)
        for (size_t i = 0; i < cur.size() && comes; ++i)
            if (!kept[i] && m_count[Key(m_state, cur[i])].second == 0) return false;
        m_budget = 16 * (cur.size() + m_target.size()) + 64;
        for (size_t i = cur.size(); i-- > 0;)
            if (!kept[i] && !Clear(cur[i].at, cur[i].len)) return false;
        if (!Flatten()) return false;
        // Records go left where some go (first the first), right where some come
        // (first the last): each one's way is then free.
        for (bool progress = true; progress;) {
            progress = false;
            for (size_t n = 0; n < m_target.size() && !progress; ++n) {
                const size_t j = comes ? m_target.size() - 1 - n : n;
                if (!Placed(j)) {
                    if (m_steps->size() > m_budget) return false;
                    progress = Place(j);
                    if (!progress && !Waits(j)) return false;
                }
            }
        }
        for (size_t j = 0; j < m_target.size(); ++j)
            if (!Placed(j)) return false;
        // What still differs is filler (and an empty cleared element at the start).
        for (uint32_t lo = 0; lo < m_state.size(); lo += m_part) {
            const uint32_t hi = std::min<uint32_t>(static_cast<uint32_t>(m_state.size()), lo + m_part);
            if (!std::equal(m_state.begin() + lo, m_state.begin() + hi, m_to.begin() + lo) &&
                !Apply({lo, std::vector<uint8_t>(m_to.begin() + lo, m_to.begin() + hi)}))
                return false;
        }
        *twice = m_twice;
        return m_state == m_to;
    }

private:
    bool Placed(size_t j) const { return m_at[j] == static_cast<int64_t>(m_target[j].at); }

    // A record cannot move yet while others stand in its way; any other reason stops the walk.
    bool Waits(size_t j) const { return !Free(m_target[j].at, m_target[j].at + m_target[j].len, j); }

    // Whole records only, each of the old or the new file, as many of each as
    // either holds or a number in between, one of them once more at most, and no
    // more records in all than either holds and that one.
    bool Readable(const std::vector<uint8_t>& s) const {
        std::vector<Rec> recs;
        bool tidy = false;
        if (!Frame(s, &recs, &tidy) || !tidy) return false;
        std::map<std::string, int> seen;
        for (const Rec& r : recs) {
            std::string k = Key(s, r);
            if (m_count.find(k) == m_count.end()) return false;
            ++seen[std::move(k)];
        }
        size_t extra = 0;
        for (const auto& [k, c] : m_count) {
            const auto it = seen.find(k);
            const int n = it == seen.end() ? 0 : it->second;
            if (n < std::min(c.first, c.second)) return false;
            if (n > std::max(c.first, c.second)) extra += static_cast<size_t>(n - std::max(c.first, c.second));
        }
        return extra <= 1 && recs.size() <= m_maxTotal + extra;
    }

    bool Apply(SCPkcs15WriteStep step) {
        std::vector<uint8_t> next = m_state;
        std::copy(step.data.begin(), step.data.end(), next.begin() + step.offset);
        if (!Readable(next)) return false;
        m_steps->push_back(std::move(step));
        m_state.swap(next);
        Occupy();
        return true;
    }

    // The filler the new file holds at i (00 where it holds a record).
    uint8_t Fill(uint32_t i) const { return ScPkcs15IsFiller(m_to[i]) ? m_to[i] : 0x00; }

    // Octets that hold no element: filler, or the empty cleared element that keeps
    // the start of a file whose first record went (a record there writes over it).
    bool Blank(uint32_t i) const { return !m_used[i]; }

    void Occupy() { (void)MarkElements(m_state, true, &m_used); }

    // [lo, hi) holds no record but where record j (of the new file) now stands.
    bool Free(uint32_t lo, uint32_t hi, size_t j) const {
        if (hi > m_state.size()) return false;
        const int64_t c = m_at[j];
        for (uint32_t i = lo; i < hi; ++i)
            if (!(c >= 0 && i >= c && i < c + m_target[j].len) && !Blank(i)) return false;
        return true;
    }

    // Where the file would begin with filler while records follow, the empty
    // cleared element keeps its start.
    static void KeepStart(std::vector<uint8_t>* next, uint32_t lo, uint32_t hi) {
        std::vector<uint8_t>& d = *next;
        if (lo > 0 || hi < 2 || !ScPkcs15IsFiller(d[0]) || !ScPkcs15IsFiller(d[1]) ||
            std::all_of(d.begin(), d.end(), ScPkcs15IsFiller))
            return;
        d[0] = kScPkcs15Cleared;
        d[1] = 0x00;
    }

    // One command that leaves [lo, hi) as filler but for the record at `at`.
    bool Over(uint32_t lo, uint32_t hi, const uint8_t* rec, uint32_t len, uint32_t at) {
        std::vector<uint8_t> next = m_state;
        for (uint32_t i = lo; i < hi; ++i) next[i] = Fill(i);
        std::copy(rec, rec + len, next.begin() + at);
        KeepStart(&next, lo, hi);
        return Apply({lo, std::vector<uint8_t>(next.begin() + lo, next.begin() + hi)});
    }

    // The element at `at` becomes filler: in one command where it fits one, else
    // its tag first, then its octets back to front, its header last.
    bool Clear(uint32_t at, uint32_t len) {
        const uint32_t h = 2 + ((m_state[at + 1] & 0x80) ? (m_state[at + 1] & 0x7F) : 0);
        if (len <= m_part) return Over(at, at + len, nullptr, 0, at);
        if ((m_state[at] & 0x1F) == 0x1F || h > len || h > m_part) return false;
        if (m_state[at] != kScPkcs15Cleared && !Apply({at, std::vector<uint8_t>(1, kScPkcs15Cleared)})) return false;
        for (uint32_t end = at + len; end > at + h;) {
            const uint32_t lo = std::max(at + h, end > m_part ? end - m_part : 0);
            std::vector<uint8_t> fill(end - lo);
            for (uint32_t i = lo; i < end; ++i) fill[i - lo] = Fill(i);
            if (!std::equal(fill.begin(), fill.end(), m_state.begin() + lo) && !Apply({lo, std::move(fill)}))
                return false;
            end = lo;
        }
        return Over(at, at + h, nullptr, 0, at);
    }

    // Cleared elements a cut left (but the empty one at the start) become filler:
    // a record written over part of one would leave the rest of its octets bare.
    bool Flatten() {
        const uint32_t n = static_cast<uint32_t>(m_state.size());
        for (uint32_t p = 0; p < n;) {
            uint32_t e = 0;
            if (ScPkcs15IsFiller(m_state[p])) {
                ++p;
            } else if (ScPkcs15ElementEnd(m_state.data(), n, p, &e) != 1) {
                return false;
            } else {
                if (m_state[p] == kScPkcs15Cleared && !(p == 0 && e == 2) && !Clear(p, e - p)) return false;
                p = e;
            }
        }
        return true;
    }

    bool Put(const uint8_t* rec, uint32_t len, uint32_t at) {
        std::vector<SCPkcs15WriteStep> put;
        if (!PutRecord(rec, len, at, m_part, &put)) return false;
        for (SCPkcs15WriteStep& s : put)
            if (!Apply(std::move(s))) return false;
        return true;
    }

    // Free room of len octets outside [lo, hi), the last such first.
    bool Room(uint32_t len, uint32_t lo, uint32_t hi, uint32_t* at) const {
        const uint32_t n = static_cast<uint32_t>(m_state.size());
        for (uint32_t end = n; end >= len && end > 0; --end) {
            const uint32_t start = end - len;
            if (start < hi && end > lo) {
                end = lo + 1;  // past the span to keep clear
                continue;
            }
            uint32_t bad = end;
            while (bad > start && Blank(bad - 1)) --bad;
            if (bad == start) {
                *at = start;
                return true;
            }
            end = bad;  // nothing ending after the octet in the way fits
        }
        return false;
    }

    // One step (or one move of several) of record j toward its place.
    bool Place(size_t j) {
        const Rec& t = m_target[j];
        const uint8_t* rec = m_to.data() + t.at;
        if (!Free(t.at, t.at + t.len, j)) return false;
        if (m_at[j] < 0) {
            if (!Put(rec, t.len, t.at)) return false;
            m_at[j] = t.at;
            return true;
        }
        const uint32_t c = static_cast<uint32_t>(m_at[j]);
        const uint32_t lo = std::min(c, t.at), hi = std::max(c, t.at) + t.len;
        const bool way = Free(lo, hi, j);
        if (way && hi - lo <= m_part) {
            if (!Over(lo, hi, rec, t.len, t.at)) return false;
            m_at[j] = t.at;
            return true;
        }
        const bool apart = c >= t.at + t.len || t.at >= c + t.len;
        const uint32_t hops = t.len < m_part ? (hi - lo - t.len + m_part - t.len - 1) / (m_part - t.len) : 0;
        uint32_t via = t.at;
        const bool roomy = !apart && Room(t.len, t.at, t.at + t.len, &via);
        // Hops of one command each, where the way is free and two of them reach, or
        // (where the new place overlaps the old one) a few or no free room elsewhere.
        if (way && t.len < m_part && (hops <= kFewHops || (!apart && (hops <= kMostHops || !roomy)))) {
            const uint32_t room = m_part - t.len;
            const uint32_t d = c > t.at ? std::max(t.at, c - std::min(c, room)) : std::min(t.at, c + room);
            if (!Over(std::min(c, d), std::max(c, d) + t.len, rec, t.len, d)) return false;
            m_at[j] = d;
            return true;
        }
        if (!apart && !roomy) return false;
        // Written whole in the new place before the old one goes: a cut between
        // leaves the record twice, never lost.
        m_twice = true;
        if (!Put(rec, t.len, via) || !Clear(c, t.len)) return false;
        m_at[j] = via;
        return true;
    }

    std::vector<uint8_t> m_state;
    const std::vector<uint8_t> m_to;
    const uint32_t m_part;
    std::vector<SCPkcs15WriteStep>* m_steps;
    std::vector<Rec> m_target;
    std::vector<int64_t> m_at;  // by record of the new file: where it stands now (-1: not yet)
    std::map<std::string, std::pair<int, int>> m_count;  // by record: how many the old and the new file hold
    size_t m_maxTotal = 0;
    size_t m_budget = 0;
    bool m_twice = false;
    std::vector<bool> m_used;  // by octet: inside an element
};

}  // namespace

bool ScPkcs15PlanPacking(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part,
                         std::vector<SCPkcs15WriteStep>* steps, bool* twice) {
    steps->clear();
    *twice = false;
    if (len == 0) return true;
    if (!from || !to || len > kMostPacked) return false;
    if (!Packer(from, to, len, part, steps).Run(twice)) {
        steps->clear();
        *twice = false;
        return false;
    }
    Coalesce(from, len, part, steps);
    return true;
}

bool ScPkcs15PlanInPlace(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part,
                         std::vector<SCPkcs15WriteStep>* steps) {
    steps->clear();
    if (!from || !to || len == 0 || part == 0 || len > kMostPacked) return false;
    std::vector<uint8_t> state(from, from + len), records;
    std::vector<Rec> cur;
    std::vector<std::vector<uint8_t>> want;
    if (!Frame(state, &cur) || !ScPkcs15PackedRecords(to, len, &records) || !ScPkcs15SplitRecords(records, &want))
        return false;
    // The records both hold stay where they stand; the others go or come.
    std::map<std::vector<uint8_t>, int> wanted, stays;
    for (const auto& w : want) ++wanted[w];
    std::vector<bool> kept(cur.size(), false);
    std::vector<size_t> gone;
    for (size_t i = 0; i < cur.size(); ++i) {
        std::vector<uint8_t> k(state.begin() + cur[i].at, state.begin() + cur[i].at + cur[i].len);
        int& w = wanted[k];
        if (w > 0) {
            --w;
            ++stays[k];
            kept[i] = true;
        } else {
            gone.push_back(i);
        }
    }
    std::vector<const std::vector<uint8_t>*> comes;
    for (const auto& w : want)
        if (stays[w] > 0)
            --stays[w];
        else
            comes.push_back(&w);
    // A record that changes takes its old place in one command, with the filler
    // after it: its old and its new form never stand together, nor neither.
    while (!gone.empty() && !comes.empty()) {
        const Rec g = cur[gone.front()];
        const std::vector<uint8_t>& c = *comes.front();
        uint32_t room = g.at + g.len;
        while (room < len && room - g.at < c.size() && ScPkcs15IsFiller(state[room])) ++room;
        const uint32_t hi = g.at + std::max<uint32_t>(g.len, static_cast<uint32_t>(c.size()));
        if (hi > room || hi - g.at > part) return false;
        std::fill(state.begin() + g.at, state.begin() + hi, 0x00);
        std::copy(c.begin(), c.end(), state.begin() + g.at);
        steps->push_back({g.at, std::vector<uint8_t>(state.begin() + g.at, state.begin() + hi)});
        gone.erase(gone.begin());
        comes.erase(comes.begin());
    }
    // Then only records that go or only records that come: the file they leave
    // (the records that go, and elements that are no records, such as cleared
    // ones a cut left, become filler), each record that comes in the first free
    // room that takes it.
    std::vector<bool> used(len, false), element;
    std::map<std::vector<uint8_t>, int> leaving;
    for (size_t i : gone)  // untouched by the changes above
        ++leaving[std::vector<uint8_t>(state.begin() + cur[i].at, state.begin() + cur[i].at + cur[i].len)];
    if (!Frame(state, &cur)) return false;
    for (const Rec& r : cur) {
        int& n = leaving[std::vector<uint8_t>(state.begin() + r.at, state.begin() + r.at + r.len)];
        if (n > 0)
            --n;
        else
            std::fill(used.begin() + r.at, used.begin() + r.at + r.len, true);
    }
    if (!MarkElements(state, false, &element)) return false;
    std::vector<uint8_t> target = state;
    for (uint32_t i = 0; i < len; ++i)
        if (!used[i] && element[i]) target[i] = 0x00;
    for (const std::vector<uint8_t>* c : comes) {
        const uint32_t n = static_cast<uint32_t>(c->size());
        uint32_t at = len, run = 0;
        for (uint32_t i = 0; i < len && at == len; ++i) {
            run = used[i] ? 0 : run + 1;
            if (run == n) at = i + 1 - n;
        }
        if (at == len) return false;
        std::copy(c->begin(), c->end(), target.begin() + at);
        std::fill(used.begin() + at, used.begin() + at + n, true);
    }
    // A file that begins with filler holds nothing: an empty cleared element keeps its start.
    if (!used[0] && std::find(used.begin(), used.end(), true) != used.end()) {
        if (len < 2 || used[1]) return false;
        target[0] = kScPkcs15Cleared;
        target[1] = 0x00;
    }
    std::vector<SCPkcs15WriteStep> rest;
    bool twice = false;
    if (target != state && !Packer(state.data(), target.data(), len, part, &rest).Run(&twice)) return false;
    if (twice) return false;
    steps->insert(steps->end(), rest.begin(), rest.end());
    Coalesce(from, len, part, steps);
    return true;
}

bool ScPkcs15SplitRecords(const std::vector<uint8_t>& packed, std::vector<std::vector<uint8_t>>* out) {
    out->clear();
    const uint32_t n = static_cast<uint32_t>(packed.size());
    for (uint32_t p = 0; p < n;) {
        uint32_t e = 0;
        if (ScPkcs15IsFiller(packed[p]) || ScPkcs15ElementEnd(packed.data(), n, p, &e) != 1) return false;
        out->emplace_back(packed.begin() + p, packed.begin() + e);
        p = e;
    }
    return true;
}

void ScPkcs15KeepOrder(const std::vector<uint8_t>& current, const std::vector<uint8_t>& want,
                       std::vector<uint8_t>* out) {
    std::vector<std::vector<uint8_t>> c, w;
    if (!ScPkcs15SplitRecords(current, &c) || !ScPkcs15SplitRecords(want, &w)) {
        *out = want;
        return;
    }
    std::map<std::vector<uint8_t>, int> wanted, held;
    for (const auto& r : w) ++wanted[r];
    for (const auto& r : c) ++held[r];
    // The records that come, in want's order.
    std::vector<const std::vector<uint8_t>*> comes;
    for (const auto& r : w) {
        int& h = held[r];
        if (h > 0)
            --h;
        else
            comes.push_back(&r);
    }
    out->clear();
    size_t next = 0;
    for (const auto& r : c) {
        int& n = wanted[r];
        if (n > 0) {
            --n;
            out->insert(out->end(), r.begin(), r.end());
        } else if (next < comes.size()) {
            out->insert(out->end(), comes[next]->begin(), comes[next]->end());
            ++next;
        }
    }
    for (; next < comes.size(); ++next) out->insert(out->end(), comes[next]->begin(), comes[next]->end());
}

bool ScPkcs15MergeRecords(const std::vector<uint8_t>& base, const std::vector<uint8_t>& target,
                          const std::vector<uint8_t>& current, std::vector<uint8_t>* out) {
    std::vector<std::vector<uint8_t>> b, t, c;
    if (!ScPkcs15SplitRecords(base, &b) || !ScPkcs15SplitRecords(target, &t) || !ScPkcs15SplitRecords(current, &c))
        return false;
    // Each record counted: what the write takes away, what the other application
    // took away and what it brought.
    std::map<std::vector<uint8_t>, int> byWrite, othersRemoved, othersAdded;
    for (const auto& r : b) ++byWrite[r], ++othersRemoved[r];
    for (const auto& r : t) --byWrite[r];
    for (const auto& r : c) --othersRemoved[r], ++othersAdded[r];
    for (const auto& r : b) --othersAdded[r];
    for (const auto& [r, n] : byWrite)
        if (n > 0 && othersRemoved[r] > 0) return false;
    // The write's records in its order, less those the other application removed,
    // then the records it added.
    out->clear();
    for (const auto& r : t) {
        auto it = othersRemoved.find(r);
        if (it != othersRemoved.end() && it->second > 0) {
            --it->second;
            continue;
        }
        out->insert(out->end(), r.begin(), r.end());
    }
    for (const auto& r : c) {
        auto it = othersAdded.find(r);
        if (it == othersAdded.end() || it->second <= 0) continue;
        --it->second;
        out->insert(out->end(), r.begin(), r.end());
    }
    return true;
}


bool ScPkcs15PlanRewrite(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part,
                         std::vector<SCPkcs15WriteStep>* steps) {
    if (!steps) return false;
    steps->clear();
    if (len == 0) return true;
    if (!from || !to) return false;
    const bool safe = Planner(from, to, len, part, steps).Run();
    Coalesce(from, len, part, steps);
    return safe;
}
