// The rewrite of a file of records from hostile old and new contents: the steps
// stay inside the file and within one command, and always end at the new contents.
// The same octets read as the start of a file of records (where its records end,
// what more to read) and as a spare (a whole one frames records within it); the
// records of the old and new contents carried over to a third file as a write
// after another application's: the result is whole records, and the new
// contents themselves where the third file is the old one. The old contents
// packed into the new end as the new contents; where written with no record
// moving, every step leaves whole records and the file ends holding the new
// contents' records; the new records in the old ones' order are the same records.
// Rules a spare's mark claims, bounded by hostile rules of its header: one or the other.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "pkcs15/scpkcs15rewrite.h"
#include "pkcs15/scpkcs15spare.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint32_t part = 1 + data[0];
    const size_t len = (size - 1) / 2;
    const uint8_t* from = data + 1;
    const uint8_t* to = from + len;
    std::vector<SCPkcs15WriteStep> steps;
    (void)ScPkcs15PlanRewrite(from, to, static_cast<uint32_t>(len), part, &steps);
    std::vector<uint8_t> file(from, from + len);
    for (const SCPkcs15WriteStep& s : steps) {
        if (s.data.empty() || s.data.size() > part || s.offset + s.data.size() > len) abort();
        for (size_t i = 0; i < s.data.size(); ++i) file[s.offset + i] = s.data[i];
    }
    if (!std::equal(file.begin(), file.end(), to)) abort();

    const uint8_t* d = data + 1;
    const uint32_t n = static_cast<uint32_t>(size - 1);
    for (bool one : {false, true}) {
        uint32_t end = 0;
        std::vector<SCPkcs15Record> recs;
        const uint32_t need = ScPkcs15FrameRecords(d, n, n + part, one, &recs, &end);
        if (end > n || (need != kScPkcs15Malformed && need > part)) abort();
        for (const SCPkcs15Record& r : recs)
            if (r.len == 0 || r.at + r.len > end) abort();
        // The whole file read: its records are known, or it is malformed.
        const uint32_t whole = ScPkcs15FrameRecords(d, n, n, one, nullptr, &end);
        if (whole != 0 && whole != kScPkcs15Malformed) abort();
    }
    std::vector<uint8_t> packedFrom, packedTo, merged;
    if (ScPkcs15PackedRecords(from, static_cast<uint32_t>(len), &packedFrom) &&
        ScPkcs15PackedRecords(to, static_cast<uint32_t>(len), &packedTo)) {
        std::vector<std::vector<uint8_t>> split;
        if (!ScPkcs15MergeRecords(packedFrom, packedTo, packedFrom, &merged) || merged != packedTo) abort();
        if (ScPkcs15MergeRecords(packedFrom, packedTo, packedTo, &merged) && !ScPkcs15SplitRecords(merged, &split))
            abort();
    }
    // The file packed: every step stays inside the file and one command, and the
    // file ends as the new contents.
    bool twice = false;
    if (ScPkcs15PlanPacking(from, to, static_cast<uint32_t>(len), part, &steps, &twice)) {
        std::vector<uint8_t> packed(from, from + len);
        for (const SCPkcs15WriteStep& s : steps) {
            if (s.data.empty() || s.data.size() > part || s.offset + s.data.size() > len) abort();
            std::copy(s.data.begin(), s.data.end(), packed.begin() + s.offset);
        }
        if (!std::equal(packed.begin(), packed.end(), to)) abort();
    }
    if (ScPkcs15PlanInPlace(from, to, static_cast<uint32_t>(len), part, &steps)) {
        std::vector<uint8_t> placed(from, from + len), now = packedFrom;
        for (const SCPkcs15WriteStep& s : steps) {
            if (s.data.empty() || s.data.size() > part || s.offset + s.data.size() > len) abort();
            std::copy(s.data.begin(), s.data.end(), placed.begin() + s.offset);
            if (!ScPkcs15PackedRecords(placed.data(), static_cast<uint32_t>(len), &now)) abort();
        }
        std::vector<std::vector<uint8_t>> got, want;
        if (!ScPkcs15SplitRecords(now, &got) || !ScPkcs15SplitRecords(packedTo, &want)) abort();
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        if (got != want) abort();
    }
    if (!packedFrom.empty() && !packedTo.empty()) {
        std::vector<uint8_t> ordered;
        std::vector<std::vector<uint8_t>> a, b;
        ScPkcs15KeepOrder(packedFrom, packedTo, &ordered);
        if (!ScPkcs15SplitRecords(ordered, &a) || !ScPkcs15SplitRecords(packedTo, &b)) abort();
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        if (a != b) abort();
    }
    const uint16_t ids[] = {0x3F00, 0x5015, 0x4405};
    uint32_t at = 0, recLen = 0;
    if (ScPkcs15ReadSpare(SCPath(ids, 3), d, n, &at, &recLen) == SCPkcs15Spare::kWhole && at + recLen != n) abort();
    const std::vector<uint8_t> claimed(from, from + len), enforced(to, to + len);
    const std::vector<uint8_t> bounded = ScPkcs15BoundedRules(claimed, enforced);
    if ((bounded != claimed && bounded != enforced) || ScPkcs15BoundedRules(enforced, enforced) != enforced) abort();
    return 0;
}
