// X.509 times from arbitrary text and DER: a time that parses prints a text that
// parses back to an equal time; a valid time survives the trip through time_t; a
// decoded time or Validity re-encodes to octets that decode to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/libasn/x509time.h"
#include "support/memfile.h"

namespace {

void CheckText(const char* text, int len, int form) {
    X509time t(form == 0 ? TAG_UTCT_TIME : TAG_GENERAL_TIME);
    int r = form == 0 ? t.parseUtcTime(text, len) : t.parseGeneralizedTime(text, len);
    if (r == 0) return;
    if (r != len) abort();
    char buf[96];
    int n = t.encode(buf, sizeof buf);
    if (n <= 0 || n != t.lenOfBody()) abort();
    X509time back(form == 0 ? TAG_UTCT_TIME : TAG_GENERAL_TIME);
    int r2 = form == 0 ? back.parseUtcTime(buf, n) : back.parseGeneralizedTime(buf, n);
    if (r2 != n) abort();
    if (X509time::compare(t, back, true) != 0) abort();
    if (X509time::classifyText(buf, n) < 0) abort();

    if (t.isValid(true) && (t.isUtc || t.hasOffset)) {
        int64_t tt = t.toTimeT();
        if (tt == X509time::kBadTime) abort();
        if (t.compareWithTimeT(static_cast<time_t>(tt)) != 0) abort();
        X509time u;
        u.setFromTimeT(static_cast<time_t>(tt), true);
        if (u.toTimeT() != tt) abort();
        // Same instant to the second; the fraction is all that may differ.
        X509time a(t), b(u);
        a.setType(1);
        b.setType(1);
        a.fraction = 0;
        a.hasFraction = 0;
        if (X509time::compare(a, b, true) != 0) abort();
        X509time shifted(t);
        shifted.setUtcOffset(-(9 * 3600 + 30 * 60));
        if (shifted.toTimeT() != tt) abort();
    }
}

template <class T>
void CheckDer(const uint8_t* data, size_t size) {
    T obj;
    MemFile in(data, size, false);
    long r = obj.read(&in, static_cast<long>(size));
    if (r <= 0) return;
    std::vector<uint8_t> e;
    if (obj.encodeToVector(e) != obj.lenOfObject()) abort();
    T again;
    if (again.readVector(e) != static_cast<long>(e.size())) abort();
    std::vector<uint8_t> e2;
    again.encodeToVector(e2);
    if (e2 != e) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    int len = static_cast<int>(size);
    CheckText(text, len, 0);
    CheckText(text, len, 1);
    X509time p;
    int form = -1;
    p.parse(text, len, &form);
    CheckDer<X509time>(data, size);
    CheckDer<Validity>(data, size);
    return 0;
}
