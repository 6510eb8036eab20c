// A file of records rewritten in single-command steps: whatever step a card is
// pulled after, the file holds the old or the new set of records, whole, and the
// directory parser reads it; failed rewrites go back the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pkcs15/scpkcs15dataobjectlist.h"
#include "pkcs15/scpkcs15rewrite.h"
#include "support/memfile.h"
#include "tests/common/testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A record: SEQUENCE { OCTET STRING } of `body` random octets (long form from 128).
Bytes Record(std::mt19937& rng, size_t body) {
    Bytes inner = {0x04};
    if (body >= 128) inner.push_back(0x81);
    inner.push_back(static_cast<uint8_t>(body));
    for (size_t i = 0; i < body; ++i) inner.push_back(static_cast<uint8_t>(rng()));
    Bytes rec = {0x30};
    if (inner.size() >= 128) rec.push_back(0x81);
    rec.push_back(static_cast<uint8_t>(inner.size()));
    rec.insert(rec.end(), inner.begin(), inner.end());
    return rec;
}

// The records one after the other, then filler to the file's size.
Bytes File(const std::vector<Bytes>& recs, size_t size, uint8_t filler = 0x00) {
    Bytes out;
    for (const Bytes& r : recs) out.insert(out.end(), r.begin(), r.end());
    EXPECT_LE(out.size(), size);
    out.resize(size, filler);
    return out;
}

// The records of a file, framed here on their own (every record of these tests
// is 30 len 04 len ...; elements under C0 are cleared), or false on octets that
// are no whole record.
bool Records(const Bytes& f, std::multiset<Bytes>* out) {
    out->clear();
    if (f.empty() || f[0] == 0x00 || f[0] == 0xFF) return true;
    size_t p = 0;
    while (p < f.size()) {
        if (f[p] == 0x00 || f[p] == 0xFF) {
            ++p;
            continue;
        }
        if ((f[p] != 0x30 && f[p] != kScPkcs15Cleared) || p + 2 > f.size()) return false;
        size_t len = f[p + 1], head = 2;
        if (len == 0x81) {
            if (p + 3 > f.size()) return false;
            len = f[p + 2];
            head = 3;
        } else if (len > 0x7F) {
            return false;
        }
        if (p + head + len > f.size()) return false;
        if (f[p] == 0x30)
            out->insert(Bytes(f.begin() + static_cast<long>(p), f.begin() + static_cast<long>(p + head + len)));
        p += head + len;
    }
    return true;
}

// How many records the module's directory parser reads in a file (-1: refused).
int ParsedRecords(const Bytes& f) {
    SCPkcs15DataObjectList list(nullptr);
    MemFile in;
    in.Write(f.size(), f.data());
    in.Seek(0);
    return list.Parse(&in, static_cast<uint32_t>(f.size())) < 0 ? -1 : list.GetRecordCount();
}

// Applies the steps one by one; after each the file must hold exactly the
// records of `a` or of `b` and read as many through the parser. The file at the
// end; `states` gets the file after each step.
Bytes Walk(Bytes file, const std::vector<SCPkcs15WriteStep>& steps, uint32_t part, const Bytes& a, const Bytes& b,
           std::vector<Bytes>* states = nullptr) {
    std::multiset<Bytes> ra, rb, now;
    EXPECT_TRUE(Records(a, &ra));
    EXPECT_TRUE(Records(b, &rb));
    for (size_t i = 0; i < steps.size(); ++i) {
        const SCPkcs15WriteStep& s = steps[i];
        EXPECT_GE(part, s.data.size());
        EXPECT_LE(s.offset + s.data.size(), file.size());
        std::copy(s.data.begin(), s.data.end(), file.begin() + s.offset);
        EXPECT_TRUE(Records(file, &now) && (now == ra || now == rb)) << "after step " << i + 1 << " of " << steps.size();
        EXPECT_EQ(static_cast<int>(now.size()), ParsedRecords(file)) << "after step " << i + 1;
        if (states) states->push_back(file);
    }
    return file;
}

enum Op { kAppend, kRemove, kGrow, kShrink, kRemoveOnly };

// The records of a file in order (the file frames, see Records).
std::vector<Bytes> InOrder(const Bytes& f) {
    std::vector<Bytes> out;
    size_t p = 0;
    while (p < f.size() && !(p == 0 && (f[0] == 0x00 || f[0] == 0xFF))) {
        if (f[p] == 0x00 || f[p] == 0xFF) {
            ++p;
            continue;
        }
        const size_t head = f[p + 1] == 0x81 ? 3 : 2, len = head == 3 ? f[p + 2] : f[p + 1];
        out.emplace_back(f.begin() + static_cast<long>(p), f.begin() + static_cast<long>(p + head + len));
        p += head + len;
    }
    return out;
}

// Where `what` first stands in `f` from `from` on.
size_t Search(const Bytes& f, const Bytes& what, size_t from) {
    return static_cast<size_t>(std::search(f.begin() + static_cast<long>(from), f.end(), what.begin(), what.end()) -
                               f.begin());
}

// One change the module makes to the records of `file`, written compact with 00
// filler. The first record goes only where the next one reaches the start in
// one command (else nothing can stand at the start in between).
Bytes Change(std::mt19937& rng, const Bytes& file, Op op, uint32_t part, size_t maxBody) {
    std::vector<Bytes> recs = InOrder(file);
    if (recs.empty()) op = kAppend;
    size_t at = recs.empty() ? 0 : rng() % recs.size();
    if (op == kRemove && at == 0 && recs.size() > 1) {
        // Where the second record ends: the file starts with the first.
        const size_t second = Search(file, recs[1], recs[0].size()) + recs[1].size();
        if (second > part) at = 1;
    }
    switch (op) {
        case kAppend: recs.push_back(Record(rng, 1 + rng() % maxBody)); break;
        case kRemove:
        case kRemoveOnly: recs.erase(recs.begin() + static_cast<long>(at)); break;
        case kGrow: recs[at] = Record(rng, std::min(maxBody, recs[at].size() + 1 + rng() % 40)); break;
        case kShrink: recs[at] = Record(rng, 1 + rng() % std::max<size_t>(1, recs[at].size() - 4)); break;
    }
    return File(recs, file.size());
}

// Plans a into b and walks it. From every state on the way it plans back to a,
// as a write that fails there puts the old contents back, and on to a further
// change, as the next call writes over a cut (filler left between records).
void CheckRewrite(std::mt19937& rng, const Bytes& a, const Bytes& b, uint32_t part, size_t maxBody) {
    std::vector<SCPkcs15WriteStep> steps;
    ASSERT_TRUE(ScPkcs15PlanRewrite(a.data(), b.data(), static_cast<uint32_t>(a.size()), part, &steps));
    std::vector<Bytes> states;
    EXPECT_EQ(b, Walk(a, steps, part, a, b, &states));
    states.pop_back();
    for (const Bytes& cut : states) {
        std::vector<SCPkcs15WriteStep> back;
        ASSERT_TRUE(ScPkcs15PlanRewrite(cut.data(), a.data(), static_cast<uint32_t>(a.size()), part, &back));
        EXPECT_EQ(a, Walk(cut, back, part, a, b));
        const Bytes next = Change(rng, cut, static_cast<Op>(rng() % 4), part, maxBody);
        std::vector<SCPkcs15WriteStep> on;
        ASSERT_TRUE(ScPkcs15PlanRewrite(cut.data(), next.data(), static_cast<uint32_t>(a.size()), part, &on))
            << testsupport::ToHex(cut) << "\n" << testsupport::ToHex(next);
        EXPECT_EQ(next, Walk(cut, on, part, cut, next));
    }
}

}  // namespace

// The changes the module makes to a directory (a record added at the end, one
// removed, one made longer or shorter, the only one removed), on files of
// random records with 00 or FF filler, with commands of 255 and of 64 octets
// (records then move in several hops).
TEST(Rewrite, EveryStepLeavesTheOldOrTheNewRecordsWhole) {
    std::mt19937 rng(20261207);
    for (uint32_t part : {255u, 64u}) {
        const size_t maxBody = part == 255 ? 150 : 50;
        for (int round = 0; round < 60; ++round) {
            const Op op = static_cast<Op>(round % 5);
            const size_t count = op == kRemoveOnly ? 1 : 1 + rng() % 10;
            std::vector<Bytes> recs;
            for (size_t i = 0; i < count; ++i) recs.push_back(Record(rng, 1 + rng() % maxBody));
            const Bytes before = File(recs, 2048, round % 2 ? 0xFF : 0x00);
            SCOPED_TRACE(testing::Message() << "part " << part << ", round " << round << ", op " << op);
            CheckRewrite(rng, before, Change(rng, before, op, part, maxBody), part, maxBody);
        }
    }
}

// What cannot be written in readable steps is still written: a record longer
// than one command, and octets that are no records.
TEST(Rewrite, FilesWithoutAReadableOrderAreWrittenFrontToBack) {
    std::mt19937 rng(7);
    struct Case {
        Bytes from, to;
    };
    const Bytes big = Record(rng, 120);
    const Bytes small = Record(rng, 10);
    const Bytes small40 = Record(rng, 40);
    Bytes garbage(300, 0x00);
    garbage[0] = 0x30;
    garbage[1] = 0x82;  // a length running past the end
    garbage[2] = 0x02;
    // The first record cannot become filler (the file would read as empty): the
    // one after it must reach the start in one command.
    const Case cases[] = {{File({small}, 300), File({small, big}, 300)},
                          {File({big, small}, 300), File({small}, 300)},
                          {File({Record(rng, 40), small40}, 300), File({small40}, 300)},
                          {garbage, File({small}, 300)}};
    for (const Case& c : cases) {
        std::vector<SCPkcs15WriteStep> steps;
        EXPECT_FALSE(ScPkcs15PlanRewrite(c.from.data(), c.to.data(), 300, 64, &steps));
        Bytes file = c.from;
        for (const SCPkcs15WriteStep& s : steps) {
            EXPECT_GE(64u, s.data.size());
            std::copy(s.data.begin(), s.data.end(), file.begin() + s.offset);
        }
        EXPECT_EQ(c.to, file);
        for (size_t i = 1; i < steps.size(); ++i) EXPECT_LT(steps[i - 1].offset, steps[i].offset);
    }
    std::vector<SCPkcs15WriteStep> none;
    EXPECT_TRUE(ScPkcs15PlanRewrite(small.data(), small.data(), static_cast<uint32_t>(small.size()), 64, &none));
    EXPECT_TRUE(none.empty());
}

// A write planned from the records it read (A B C: B renamed B', D added) is
// carried over to what another application left meanwhile: what the other
// added or removed beside it stays so; where the other removed or changed the
// record the write changes, the write has nothing to stand on. Whatever order
// a write lists its records in, those the card holds keep their order.
TEST(Rewrite, AWriteIsCarriedOverToWhatAnotherApplicationWrote) {
    std::mt19937 rng(11);
    const Bytes a = Record(rng, 5), b = Record(rng, 6), b2 = Record(rng, 7), c = Record(rng, 8), d = Record(rng, 9),
                e = Record(rng, 10), b3 = Record(rng, 11);
    const auto cat = [](std::initializer_list<Bytes> rs) {
        Bytes out;
        for (const Bytes& r : rs) out.insert(out.end(), r.begin(), r.end());
        return out;
    };
    const Bytes base = cat({a, b, c}), target = cat({a, b2, c, d});
    const struct {
        Bytes current;
        bool carried;
        Bytes result;
    } cases[] = {{base, true, target},
                 {cat({a, b, c, e}), true, cat({a, b2, c, d, e})},
                 {cat({a, b}), true, cat({a, b2, d})},
                 {cat({a, c}), false, {}},
                 {cat({a, b3, c}), false, {}}};
    for (const auto& k : cases) {
        Bytes out;
        EXPECT_EQ(k.carried, ScPkcs15MergeRecords(base, target, k.current, &out)) << testsupport::ToHex(k.current);
        if (k.carried) {
            EXPECT_EQ(testsupport::ToHex(k.result), testsupport::ToHex(out));
        }
    }
    // The records that stay keep the card's order; a changed one keeps its place, new ones come last.
    const std::pair<Bytes, Bytes> orders[] = {{cat({c, a, b}), base}, {cat({b2, a, c}), cat({a, b2, c})},
                                              {cat({d, c, a}), cat({a, d, c})}, {cat({c, d, a, b}), cat({a, b, c, d})}};
    for (const auto& [want, kept] : orders) {
        Bytes out;
        ScPkcs15KeepOrder(base, want, &out);
        EXPECT_EQ(testsupport::ToHex(kept), testsupport::ToHex(out));
    }
}

// Records that go or come on a card without room for a spare leave the others
// packed from the start, in their order, whatever their length: after every step
// the file frames as whole records, every record of the old or the new file at
// least once and one at most twice (a record longer than a command on its way),
// and the parser reads them all; from every state on the way the next write
// packs the file again. Where no room takes a record on its way, or a record
// changes, there is no such order.
TEST(Rewrite, RecordsThatGoOrComeLeaveTheOthersPackedFromTheStart) {
    std::mt19937 rng(5);
    const Bytes big = Record(rng, 160), small = Record(rng, 20), bigger = Record(rng, 250);
    std::vector<Bytes> many;
    for (int i = 0; i < 193; ++i) many.push_back(Record(rng, 20 + rng() % 10));
    std::vector<Bytes> fewer = many;
    fewer.erase(fewer.begin() + 6);
    const struct {
        std::vector<Bytes> from, to;
        size_t size;
        bool packs, twice;
    } cases[] = {{{small, big, bigger}, {small, bigger}, 1024, true, true},
                 {{small, big, bigger}, {big, bigger}, 1024, true, true},
                 {{big, small, bigger}, {small}, 1024, true, true},
                 {{big}, {}, 512, true, false},
                 {{small, bigger}, {small, big, bigger}, 1024, true, true},
                 {{big, bigger}, {small, big, bigger}, 1024, true, true},
                 {many, fewer, 6000, true, false},
                 {{small, big, bigger}, {small, bigger}, 460, false, false},
                 {{small, big}, {small, bigger}, 1024, false, false}};
    for (const auto& c : cases) {
        const Bytes a = File(c.from, c.size), b = File(c.to, c.size);
        SCOPED_TRACE(testing::Message() << c.from.size() << " records to " << c.to.size() << " in " << c.size);
        std::vector<SCPkcs15WriteStep> steps;
        bool twice = true;
        ASSERT_EQ(c.packs, ScPkcs15PlanPacking(a.data(), b.data(), static_cast<uint32_t>(c.size), 64, &steps, &twice));
        EXPECT_EQ(c.twice, twice);
        if (!c.packs) continue;
        std::multiset<Bytes> ra, rb, now;
        ASSERT_TRUE(Records(a, &ra) && Records(b, &rb));
        Bytes file = a;
        for (const SCPkcs15WriteStep& s : steps) {
            ASSERT_GE(64u, s.data.size());
            std::copy(s.data.begin(), s.data.end(), file.begin() + s.offset);
            std::vector<SCPkcs15Record> framed;
            uint32_t end = 0;
            ASSERT_EQ(0u, ScPkcs15FrameRecords(file.data(), static_cast<uint32_t>(c.size),
                                               static_cast<uint32_t>(c.size), false, &framed, &end));
            ASSERT_TRUE(Records(file, &now));
            const std::set<Bytes> once(now.begin(), now.end());
            EXPECT_EQ(static_cast<int>(now.size()), ParsedRecords(file));
            EXPECT_LE(now.size(), once.size() + 1);
            for (const Bytes& r : std::set<Bytes>(ra.begin(), ra.end()))
                EXPECT_LE(std::min(ra.count(r), rb.count(r)), now.count(r));
            for (const Bytes& r : now) EXPECT_TRUE(ra.count(r) || rb.count(r));
            std::vector<SCPkcs15WriteStep> on;
            ASSERT_TRUE(ScPkcs15PlanPacking(file.data(), b.data(), static_cast<uint32_t>(c.size), 64, &on, &twice));
            Bytes tidied = file;
            for (const SCPkcs15WriteStep& t : on) std::copy(t.data.begin(), t.data.end(), tidied.begin() + t.offset);
            EXPECT_EQ(b, tidied);
        }
        EXPECT_EQ(b, file);
    }
}

// Where no room takes a record on its way and no spare can stand, the records
// stay where they stand: those that go are cleared (the first leaves an empty
// cleared element at the start), those that come go to free room, one that
// changes into its old place in one command. After every step the file holds
// exactly the old or the new records and the parser reads them all. A changed
// record that one command cannot put in its place has no such order.
TEST(Rewrite, RecordsStayWhereTheyStandWhereNoneCanMove) {
    std::mt19937 rng(6);
    const Bytes big = Record(rng, 160), small = Record(rng, 20), bigger = Record(rng, 250), other = Record(rng, 30);
    const Bytes renamed = Record(rng, 15), longer = Record(rng, 45), bigChanged = Record(rng, 160);
    Bytes cut = File({small, big, bigger}, 500);
    cut[small.size()] = kScPkcs15Cleared;  // a clearing of `big` that a cut broke off
    std::fill(cut.begin() + static_cast<long>(small.size() + 100), cut.begin() + static_cast<long>(small.size() + big.size()), 0x00);
    const struct {
        Bytes from;
        std::vector<Bytes> to;
        bool plans;
    } cases[] = {{File({small, big, bigger}, 500), {small, bigger}, true},
                 {File({big, small, bigger}, 500), {small, bigger}, true},
                 {File({small, big, bigger}, 500), {renamed, big, bigger}, true},
                 {File({small, big, bigger}, 500), {small, big, bigger, other}, true},
                 {cut, {small, bigger, other}, true},
                 {File({small, big, bigger}, 500), {longer, big, bigger}, false},
                 {File({small, big, bigger}, 500), {small, bigChanged, bigger}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << testsupport::ToHex(c.from));
        const Bytes b = File(c.to, c.from.size());
        std::vector<SCPkcs15WriteStep> steps;
        ASSERT_EQ(c.plans, ScPkcs15PlanInPlace(c.from.data(), b.data(), static_cast<uint32_t>(b.size()), 64, &steps));
        if (!c.plans) continue;
        std::multiset<Bytes> want, got;
        ASSERT_TRUE(Records(b, &want));
        const Bytes end = Walk(c.from, steps, 64, c.from, b);
        EXPECT_TRUE(Records(end, &got) && got == want);
        // The records that stay never moved.
        for (const Bytes& r : c.to) {
            if (Search(c.from, r, 0) < c.from.size()) {
                EXPECT_EQ(Search(c.from, r, 0), Search(end, r, 0));
            }
        }
    }
}
