#include "support/b64file.h"

#include <cctype>
#include <cstring>

#include "support/textutil.h"
#include "support/vtest.h"
#include "support/zerofile.h"

namespace {
const char* const SRC = "b64file";
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int NormLineLength(int lineLength)
{
    if (lineLength <= 0)
        return 0;
    return (lineLength + 3) & ~3;
}

// Encodes groups into a stack buffer, inserting CR LF after each full line; the
// buffer is written out when nearly full and wiped at the end.
class Encoder {
public:
    Encoder(GenericFile* dst, int lineLength) : m_dst(dst), m_line(NormLineLength(lineLength)) {}
    ~Encoder() { SecureZero(m_buf, sizeof(m_buf)); }

    bool Group(const uint8_t* in, int n)
    {
        Base64EncodeGroup(in, n, m_buf + m_used);
        m_used += 4;
        m_produced += 4;
        m_column += 4;
        if (n == 3 && m_line && m_column >= m_line) {
            m_buf[m_used++] = '\r';
            m_buf[m_used++] = '\n';
            m_column = 0;
        }
        if (m_used > 3195)
            return Flush();
        return true;
    }
    bool Flush()
    {
        if (m_used && m_dst->Write(m_used, m_buf) != 0)
            return false;
        m_used = 0;
        return true;
    }
    long Produced() const { return m_produced; }

private:
    GenericFile* m_dst;
    int m_line;
    long m_column = 0;
    long m_produced = 0;
    size_t m_used = 0;
    char m_buf[3202];
};

// Takes Base64 characters one by one, skipping " ", CR and LF, and writes decoded
// bytes through a wiped stack buffer.
class Decoder {
public:
    explicit Decoder(GenericFile* dst) : m_dst(dst) {}
    ~Decoder()
    {
        SecureZero(m_out, sizeof(m_out));
        SecureZero(m_quad, sizeof(m_quad));
    }
    // 0 ok, 1 invalid input, -2 write failure.
    int Put(char c)
    {
        if (c == ' ' || c == '\r' || c == '\n')
            return 0;
        if (m_ended)
            return 1;
        m_quad[m_nq++] = c;
        if (m_nq < 4)
            return 0;
        m_nq = 0;
        int k = Base64DecodeQuad(m_quad, m_out + m_used);
        if (k == 0)
            return 1;
        if (k < 3)
            m_ended = true;
        m_used += static_cast<size_t>(k);
        m_total += k;
        if (m_used > 2396)
            return Flush();
        return 0;
    }
    int Flush()
    {
        if (m_used && m_dst->Write(m_used, m_out) != 0)
            return -2;
        m_used = 0;
        return 0;
    }
    bool Incomplete() const { return m_nq != 0; }
    long Total() const { return m_total; }

private:
    GenericFile* m_dst;
    uint8_t m_out[2400];
    size_t m_used = 0;
    char m_quad[4] = {0, 0, 0, 0};
    int m_nq = 0;
    bool m_ended = false;
    long m_total = 0;
};
}  // namespace

int Base64EncodeGroup(const uint8_t* in, int n, char out[4])
{
    uint32_t v = static_cast<uint32_t>(in[0]) << 16;
    if (n > 1)
        v |= static_cast<uint32_t>(in[1]) << 8;
    if (n > 2)
        v |= in[2];
    out[0] = kAlphabet[(v >> 18) & 63];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    out[3] = n > 2 ? kAlphabet[v & 63] : '=';
    return 4;
}

int Base64EncodeText(const char* data, int len, char* out)
{
    if (data == nullptr || out == nullptr)
        return 0;
    size_t n = len < 0 ? strlen(data) : static_cast<size_t>(len);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
    size_t o = 0;
    for (size_t i = 0; i < n; i += 3) {
        int k = n - i >= 3 ? 3 : static_cast<int>(n - i);
        o += static_cast<size_t>(Base64EncodeGroup(p + i, k, out + o));
    }
    return static_cast<int>(o);
}

namespace {
// Built at compile time, so that decoding works during static initialisation too.
struct CharTable {
    uint8_t v[256];
};
constexpr CharTable MakeCharTable()
{
    CharTable t{};
    for (int i = 0; i < 256; ++i)
        t.v[i] = 127;
    for (int i = 0; i < 64; ++i)
        t.v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
    return t;
}
constexpr CharTable kCharTable = MakeCharTable();
}  // namespace

int Base64CharValue(int c)
{
    return c >= 0 && c < 256 ? kCharTable.v[c] : 127;
}

int Base64DecodeQuad(const char in[4], uint8_t* out)
{
    int a = Base64CharValue(static_cast<unsigned char>(in[0]));
    int b = Base64CharValue(static_cast<unsigned char>(in[1]));
    if (a == 127 || b == 127)
        return 0;
    out[0] = static_cast<uint8_t>((a << 2) | (b >> 4));
    if (in[2] == '=') {
        // "xx=y" is refused: padding runs to the end of the quad.
        return in[3] == '=' ? 1 : 0;
    }
    int c = Base64CharValue(static_cast<unsigned char>(in[2]));
    if (c == 127)
        return 0;
    out[1] = static_cast<uint8_t>(((b & 15) << 4) | (c >> 2));
    if (in[3] == '=')
        return 2;
    int d = Base64CharValue(static_cast<unsigned char>(in[3]));
    if (d == 127)
        return 0;
    out[2] = static_cast<uint8_t>(((c & 3) << 6) | d);
    return 3;
}

int Base64DecodeText(const char* text, int len, uint8_t* out)
{
    if (text == nullptr)
        return 0;
    size_t n = len < 0 ? strlen(text) : static_cast<size_t>(len);
    if (n == 0 || (n & 3) || n / 4 * 3 > INT_MAX)
        return 0;
    uint8_t tmp[3];
    size_t total = 0;
    for (size_t i = 0; i < n; i += 4) {
        int k = Base64DecodeQuad(text + i, tmp);
        if (k == 0 || (k < 3 && i + 4 != n))
            return 0;
        if (out)
            memcpy(out + total, tmp, static_cast<size_t>(k));
        total += static_cast<size_t>(k);
    }
    SecureZero(tmp, sizeof(tmp));
    return static_cast<int>(total);
}

long Base64EncodeToFile(const void* data, size_t len, GenericFile* dst, int lineLength)
{
    if (dst == nullptr || data == nullptr)
        return data == nullptr && len == 0 ? 0 : -2;
    if (len == ~static_cast<size_t>(0))
        len = strlen(static_cast<const char*>(data));
    const uint8_t* p = static_cast<const uint8_t*>(data);
    Encoder enc(dst, lineLength);
    size_t i = 0;
    for (; i + 3 <= len; i += 3)
        if (!enc.Group(p + i, 3))
            return -2;
    if (i < len && !enc.Group(p + i, static_cast<int>(len - i)))
        return -2;
    if (!enc.Flush())
        return -2;
    return enc.Produced();
}

long Base64EncodeStream(GenericFile* src, GenericFile* dst, size_t n, int lineLength)
{
    if (src == nullptr || dst == nullptr)
        return -1;
    Encoder enc(dst, lineLength);
    uint8_t chunk[2400 + 3];
    size_t carry = 0;
    size_t done = 0;
    long result = 0;
    for (;;) {
        size_t want = 2400;
        if (n && n - done < want)
            want = n - done;
        if (want == 0)
            break;
        size_t got = 0;
        if (src->Read(want, chunk + carry, &got) != 0 || got > want) {
            result = -1;
            break;
        }
        done += got;
        size_t have = carry + got;
        size_t i = 0;
        for (; i + 3 <= have; i += 3)
            if (!enc.Group(chunk + i, 3)) {
                result = -2;
                break;
            }
        if (result)
            break;
        carry = have - i;
        memmove(chunk, chunk + i, carry);
        if (got < want) {
            if (n) result = -1;
            break;
        }
    }
    if (result == 0 && carry && !enc.Group(chunk, static_cast<int>(carry)))
        result = -2;
    if (result == 0 && !enc.Flush())
        result = -2;
    SecureZero(chunk, sizeof(chunk));
    return result ? result : enc.Produced();
}

long Base64DecodeToFile(const char* text, size_t len, GenericFile* dst, size_t maxOut)
{
    if (text == nullptr || dst == nullptr)
        return 0;
    if (len == ~static_cast<size_t>(0))
        len = strlen(text);
    Decoder dec(dst);
    for (size_t i = 0; i < len; ++i) {
        if (maxOut && static_cast<size_t>(dec.Total()) >= maxOut)
            break;
        int r = dec.Put(text[i]);
        if (r == 1)
            return 0;
        if (r < 0)
            return r;
    }
    if (dec.Incomplete())
        return 0;
    if (dec.Flush() != 0)
        return -2;
    return dec.Total();
}

long Base64DecodeStream(GenericFile* src, GenericFile* dst, size_t nIn, size_t maxOut, size_t* consumed)
{
    if (src == nullptr || dst == nullptr)
        return -1;
    Decoder dec(dst);
    char chunk[3200];
    size_t done = 0;
    long result = 0;
    bool invalid = false;
    while (!maxOut || static_cast<size_t>(dec.Total()) < maxOut) {
        size_t want = sizeof(chunk);
        if (nIn && nIn - done < want)
            want = nIn - done;
        if (want == 0)
            break;
        size_t got = 0;
        if (src->Read(want, chunk, &got) != 0 || got > want) {
            result = -1;
            break;
        }
        done += got;
        if (consumed)
            *consumed += got;
        for (size_t i = 0; i < got && !invalid && result == 0; ++i) {
            int r = dec.Put(chunk[i]);
            if (r == 1)
                invalid = true;
            else if (r < 0)
                result = r;
        }
        if (invalid || result)
            break;
        if (dec.Flush() != 0) {
            result = -2;
            break;
        }
        if (got < want) {
            if (nIn)
                result = -1;
            break;
        }
    }
    SecureZero(chunk, sizeof(chunk));
    if (result)
        return result;
    if (invalid || dec.Incomplete())
        return 0;
    if (dec.Flush() != 0)
        return -2;
    return dec.Total();
}

// ---------------------------------------------------------------------------

Base64File::Base64File(GenericFile* binFile, int lineLength, size_t limit)
    : m_pBin(binFile), m_nLineLength(NormLineLength(lineLength)), m_nLimit(limit)
{
    AssertInvariant(binFile != nullptr, SRC, 52, "binFile != NULL");
    m_nStartOffset = binFile->Tell();
}

Base64File::~Base64File()
{
    Finish();
    ClearState();
}

void Base64File::ClearState()
{
    SecureZero(m_pending, sizeof(m_pending));
    SecureZero(m_carry, sizeof(m_carry));
    m_nPending = 0;
    m_nCarry = 0;
    m_nColumn = 0;
    m_position = 0;
    m_nConsumed = 0;
    m_bWriting = false;
    m_bEnded = false;
}

int16_t Base64File::Finish()
{
    if (!m_bWriting || m_nPending == 0)
        return 0;
    char out[4];
    Base64EncodeGroup(m_pending, m_nPending, out);
    m_nPending = 0;
    SecureZero(m_pending, sizeof(m_pending));
    return m_pBin->Write(4, out) == 0 ? 0 : -1;
}

int16_t Base64File::Restart(long offset, size_t limit)
{
    Finish();
    if (m_pBin->Seek(offset) != 0)
        return -1;
    ClearState();
    m_nStartOffset = offset;
    m_nLimit = limit;
    m_nSizeCache = -1;
    return 0;
}

int16_t Base64File::Read(size_t n, void* buf, size_t* got)
{
    if (got)
        *got = 0;
    if (n == 0)
        return 0;
    if (buf == nullptr || m_bWriting)
        return -1;
    uint8_t* dst = static_cast<uint8_t*>(buf);

    if (m_nPending) {
        size_t take = n < static_cast<size_t>(m_nPending) ? n : static_cast<size_t>(m_nPending);
        memcpy(dst, m_pending, take);
        memmove(m_pending, m_pending + take, static_cast<size_t>(m_nPending) - take);
        m_nPending -= static_cast<int>(take);
        dst += take;
        n -= take;
        m_position += static_cast<int64_t>(take);
        if (got)
            *got += take;
        if (n == 0)
            return 0;
    }

    char work[3200];
    struct Wipe {
        char* p;
        size_t n;  // bytes used so far: only those are wiped
        ~Wipe() { SecureZero(p, n); }
    } wipe{work, 0};

    while (n > 0) {
        size_t cc = static_cast<size_t>(m_nCarry);
        memcpy(work, m_carry, cc);
        size_t quadsWanted = (n + 2) / 3;
        size_t want = quadsWanted > sizeof(work) / 4 ? sizeof(work) : quadsWanted * 4;
        want -= cc;
        if (m_nLimit) {
            size_t left = m_nLimit > m_nConsumed ? m_nLimit - m_nConsumed : 0;
            if (want > left)
                want = left;
        }
        if (want == 0)
            break;
        size_t r = 0;
        int16_t st = m_pBin->Read(want, work + cc, &r);
        if (st != 0)
            return st;
        if (r > want)
            return -1;
        m_nConsumed += r;
        if (cc + r > wipe.n)
            wipe.n = cc + r;

        size_t m = 0;
        for (size_t i = 0; i < cc + r; ++i)
            if (!isspace(static_cast<unsigned char>(work[i])))
                work[m++] = work[i];

        size_t full = m / 4 * 4;
        size_t pos = 0;
        for (; pos < full && n > 0; pos += 4) {
            if (m_bEnded)
                return -1;
            uint8_t tmp[3];
            int k = Base64DecodeQuad(work + pos, tmp);
            if (k == 0)
                return -1;
            if (k < 3)
                m_bEnded = true;
            size_t give = static_cast<size_t>(k) < n ? static_cast<size_t>(k) : n;
            memcpy(dst, tmp, give);
            if (give < static_cast<size_t>(k)) {
                m_nPending = k - static_cast<int>(give);
                memcpy(m_pending, tmp + give, static_cast<size_t>(m_nPending));
            }
            SecureZero(tmp, sizeof(tmp));
            dst += give;
            n -= give;
            m_position += static_cast<int64_t>(give);
            if (got)
                *got += give;
        }
        AssertInvariant(m - pos < 4, SRC, 309, "encodedPos-fullBlockBytes <= 4");
        m_nCarry = static_cast<int>(m - pos);
        memcpy(m_carry, work + pos, static_cast<size_t>(m_nCarry));
        if (m_bEnded && m_nCarry)
            return -1;
        if (r < want) {
            if (m_nCarry)
                return -1;
            break;
        }
    }
    return 0;
}

int16_t Base64File::Write(size_t n, const void* data)
{
    if (n == 0)
        return 0;
    if (data == nullptr || (!m_bWriting && (m_position != 0 || m_nCarry || m_nPending)))
        return -1;
    m_bWriting = true;
    m_position += static_cast<int64_t>(n);
    if (m_nSizeCache >= 0 && m_position > m_nSizeCache)
        m_nSizeCache = m_position;

    const uint8_t* p = static_cast<const uint8_t*>(data);
    char out[3200 + 2 * 50 + 4];
    size_t used = 0;
    size_t highWater = 0;
    int16_t status = 0;
    auto emit = [&](const uint8_t* g) {
        Base64EncodeGroup(g, 3, out + used);
        used += 4;
        m_nColumn += 4;
        if (m_nLineLength && m_nColumn >= m_nLineLength) {
            out[used++] = '\r';
            out[used++] = '\n';
            m_nColumn = 0;
        }
        if (used > highWater)
            highWater = used;
        if (used > 3200) {
            if (m_pBin->Write(used, out) != 0)
                status = -1;
            used = 0;
        }
    };
    if (m_nPending) {
        size_t need = static_cast<size_t>(3 - m_nPending);
        if (n < need) {
            memcpy(m_pending + m_nPending, p, n);
            m_nPending += static_cast<int>(n);
            return 0;
        }
        memcpy(m_pending + m_nPending, p, need);
        emit(m_pending);
        m_nPending = 0;
        p += need;
        n -= need;
    }
    while (n >= 3 && status == 0) {
        emit(p);
        p += 3;
        n -= 3;
    }
    if (status == 0 && used && m_pBin->Write(used, out) != 0)
        status = -1;
    SecureZero(out, highWater);
    if (status)
        return status;
    memcpy(m_pending, p, n);
    m_nPending = static_cast<int>(n);
    return 0;
}

int16_t Base64File::Seek(long pos)
{
    if (pos < 0 || m_bWriting)
        return -1;
    if (m_pBin->Seek(static_cast<long>(m_nStartOffset)) != 0)
        return -1;
    ClearState();
    if (pos == 0)
        return 0;
    ZeroFile sink;
    size_t copied = 0;
    if (CopyTo(&sink, static_cast<size_t>(pos), &copied) != 0 || copied != static_cast<size_t>(pos))
        return -1;
    return 0;
}

int64_t Base64File::Size()
{
    if (m_nSizeCache >= 0)
        return m_nSizeCache;
    if (m_bWriting)
        return m_position;
    int64_t here = m_pBin->Tell();
    Base64File copy(*this);
    ZeroFile sink;
    size_t copied = 0;
    int16_t st = copy.CopyTo(&sink, ~static_cast<size_t>(0), &copied);
    int64_t size = copy.m_position;
    copy.ClearState();
    if (m_pBin->Seek(static_cast<long>(here)) != 0 || st != 0)
        return -1;
    m_nSizeCache = size;
    return size;
}
