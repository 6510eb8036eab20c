#include "libtorvapp/qvripemd128.h"

#include "libtorvapp/qvcommon/qvendian.h"

namespace {

const QvWord kOidArcs[] = {6, 1, 0, 10118, 3, 0, 50};
const QvOctet kOidDer[] = {0x06, 0x06, 0x28, 0xCF, 0x06, 0x03, 0x00, 0x32};
const QvWord kInitialValue[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

QV_ALWAYS_INLINE void compressBody(QvWord* state, const QvOctet* data, std::size_t n)
{
    for (std::size_t blk = 0; blk < n; ++blk, data += 64) {
        QvWord x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = qvLoad32Le(data + 4 * i);
        QvWord al = state[0], bl = state[1], cl = state[2], dl = state[3];
        QvWord ar = state[0], br = state[1], cr = state[2], dr = state[3];
        al = qvRotl32(al + (bl ^ cl ^ dl) + x[0], 11);
        dl = qvRotl32(dl + (al ^ bl ^ cl) + x[1], 14);
        cl = qvRotl32(cl + (dl ^ al ^ bl) + x[2], 15);
        bl = qvRotl32(bl + (cl ^ dl ^ al) + x[3], 12);
        al = qvRotl32(al + (bl ^ cl ^ dl) + x[4], 5);
        dl = qvRotl32(dl + (al ^ bl ^ cl) + x[5], 8);
        cl = qvRotl32(cl + (dl ^ al ^ bl) + x[6], 7);
        bl = qvRotl32(bl + (cl ^ dl ^ al) + x[7], 9);
        al = qvRotl32(al + (bl ^ cl ^ dl) + x[8], 11);
        dl = qvRotl32(dl + (al ^ bl ^ cl) + x[9], 13);
        cl = qvRotl32(cl + (dl ^ al ^ bl) + x[10], 14);
        bl = qvRotl32(bl + (cl ^ dl ^ al) + x[11], 15);
        al = qvRotl32(al + (bl ^ cl ^ dl) + x[12], 6);
        dl = qvRotl32(dl + (al ^ bl ^ cl) + x[13], 7);
        cl = qvRotl32(cl + (dl ^ al ^ bl) + x[14], 9);
        bl = qvRotl32(bl + (cl ^ dl ^ al) + x[15], 8);
        al = qvRotl32(al + (dl ^ (bl & (cl ^ dl))) + x[7] + 0x5a827999u, 7);
        dl = qvRotl32(dl + (cl ^ (al & (bl ^ cl))) + x[4] + 0x5a827999u, 6);
        cl = qvRotl32(cl + (bl ^ (dl & (al ^ bl))) + x[13] + 0x5a827999u, 8);
        bl = qvRotl32(bl + (al ^ (cl & (dl ^ al))) + x[1] + 0x5a827999u, 13);
        al = qvRotl32(al + (dl ^ (bl & (cl ^ dl))) + x[10] + 0x5a827999u, 11);
        dl = qvRotl32(dl + (cl ^ (al & (bl ^ cl))) + x[6] + 0x5a827999u, 9);
        cl = qvRotl32(cl + (bl ^ (dl & (al ^ bl))) + x[15] + 0x5a827999u, 7);
        bl = qvRotl32(bl + (al ^ (cl & (dl ^ al))) + x[3] + 0x5a827999u, 15);
        al = qvRotl32(al + (dl ^ (bl & (cl ^ dl))) + x[12] + 0x5a827999u, 7);
        dl = qvRotl32(dl + (cl ^ (al & (bl ^ cl))) + x[0] + 0x5a827999u, 12);
        cl = qvRotl32(cl + (bl ^ (dl & (al ^ bl))) + x[9] + 0x5a827999u, 15);
        bl = qvRotl32(bl + (al ^ (cl & (dl ^ al))) + x[5] + 0x5a827999u, 9);
        al = qvRotl32(al + (dl ^ (bl & (cl ^ dl))) + x[2] + 0x5a827999u, 11);
        dl = qvRotl32(dl + (cl ^ (al & (bl ^ cl))) + x[14] + 0x5a827999u, 7);
        cl = qvRotl32(cl + (bl ^ (dl & (al ^ bl))) + x[11] + 0x5a827999u, 13);
        bl = qvRotl32(bl + (al ^ (cl & (dl ^ al))) + x[8] + 0x5a827999u, 12);
        al = qvRotl32(al + ((bl | ~cl) ^ dl) + x[3] + 0x6ed9eba1u, 11);
        dl = qvRotl32(dl + ((al | ~bl) ^ cl) + x[10] + 0x6ed9eba1u, 13);
        cl = qvRotl32(cl + ((dl | ~al) ^ bl) + x[14] + 0x6ed9eba1u, 6);
        bl = qvRotl32(bl + ((cl | ~dl) ^ al) + x[4] + 0x6ed9eba1u, 7);
        al = qvRotl32(al + ((bl | ~cl) ^ dl) + x[9] + 0x6ed9eba1u, 14);
        dl = qvRotl32(dl + ((al | ~bl) ^ cl) + x[15] + 0x6ed9eba1u, 9);
        cl = qvRotl32(cl + ((dl | ~al) ^ bl) + x[8] + 0x6ed9eba1u, 13);
        bl = qvRotl32(bl + ((cl | ~dl) ^ al) + x[1] + 0x6ed9eba1u, 15);
        al = qvRotl32(al + ((bl | ~cl) ^ dl) + x[2] + 0x6ed9eba1u, 14);
        dl = qvRotl32(dl + ((al | ~bl) ^ cl) + x[7] + 0x6ed9eba1u, 8);
        cl = qvRotl32(cl + ((dl | ~al) ^ bl) + x[0] + 0x6ed9eba1u, 13);
        bl = qvRotl32(bl + ((cl | ~dl) ^ al) + x[6] + 0x6ed9eba1u, 6);
        al = qvRotl32(al + ((bl | ~cl) ^ dl) + x[13] + 0x6ed9eba1u, 5);
        dl = qvRotl32(dl + ((al | ~bl) ^ cl) + x[11] + 0x6ed9eba1u, 12);
        cl = qvRotl32(cl + ((dl | ~al) ^ bl) + x[5] + 0x6ed9eba1u, 7);
        bl = qvRotl32(bl + ((cl | ~dl) ^ al) + x[12] + 0x6ed9eba1u, 5);
        al = qvRotl32(al + (cl ^ (dl & (bl ^ cl))) + x[1] + 0x8f1bbcdcu, 11);
        dl = qvRotl32(dl + (bl ^ (cl & (al ^ bl))) + x[9] + 0x8f1bbcdcu, 12);
        cl = qvRotl32(cl + (al ^ (bl & (dl ^ al))) + x[11] + 0x8f1bbcdcu, 14);
        bl = qvRotl32(bl + (dl ^ (al & (cl ^ dl))) + x[10] + 0x8f1bbcdcu, 15);
        al = qvRotl32(al + (cl ^ (dl & (bl ^ cl))) + x[0] + 0x8f1bbcdcu, 14);
        dl = qvRotl32(dl + (bl ^ (cl & (al ^ bl))) + x[8] + 0x8f1bbcdcu, 15);
        cl = qvRotl32(cl + (al ^ (bl & (dl ^ al))) + x[12] + 0x8f1bbcdcu, 9);
        bl = qvRotl32(bl + (dl ^ (al & (cl ^ dl))) + x[4] + 0x8f1bbcdcu, 8);
        al = qvRotl32(al + (cl ^ (dl & (bl ^ cl))) + x[13] + 0x8f1bbcdcu, 9);
        dl = qvRotl32(dl + (bl ^ (cl & (al ^ bl))) + x[3] + 0x8f1bbcdcu, 14);
        cl = qvRotl32(cl + (al ^ (bl & (dl ^ al))) + x[7] + 0x8f1bbcdcu, 5);
        bl = qvRotl32(bl + (dl ^ (al & (cl ^ dl))) + x[15] + 0x8f1bbcdcu, 6);
        al = qvRotl32(al + (cl ^ (dl & (bl ^ cl))) + x[14] + 0x8f1bbcdcu, 8);
        dl = qvRotl32(dl + (bl ^ (cl & (al ^ bl))) + x[5] + 0x8f1bbcdcu, 6);
        cl = qvRotl32(cl + (al ^ (bl & (dl ^ al))) + x[6] + 0x8f1bbcdcu, 5);
        bl = qvRotl32(bl + (dl ^ (al & (cl ^ dl))) + x[2] + 0x8f1bbcdcu, 12);
        ar = qvRotl32(ar + (cr ^ (dr & (br ^ cr))) + x[5] + 0x50a28be6u, 8);
        dr = qvRotl32(dr + (br ^ (cr & (ar ^ br))) + x[14] + 0x50a28be6u, 9);
        cr = qvRotl32(cr + (ar ^ (br & (dr ^ ar))) + x[7] + 0x50a28be6u, 9);
        br = qvRotl32(br + (dr ^ (ar & (cr ^ dr))) + x[0] + 0x50a28be6u, 11);
        ar = qvRotl32(ar + (cr ^ (dr & (br ^ cr))) + x[9] + 0x50a28be6u, 13);
        dr = qvRotl32(dr + (br ^ (cr & (ar ^ br))) + x[2] + 0x50a28be6u, 15);
        cr = qvRotl32(cr + (ar ^ (br & (dr ^ ar))) + x[11] + 0x50a28be6u, 15);
        br = qvRotl32(br + (dr ^ (ar & (cr ^ dr))) + x[4] + 0x50a28be6u, 5);
        ar = qvRotl32(ar + (cr ^ (dr & (br ^ cr))) + x[13] + 0x50a28be6u, 7);
        dr = qvRotl32(dr + (br ^ (cr & (ar ^ br))) + x[6] + 0x50a28be6u, 7);
        cr = qvRotl32(cr + (ar ^ (br & (dr ^ ar))) + x[15] + 0x50a28be6u, 8);
        br = qvRotl32(br + (dr ^ (ar & (cr ^ dr))) + x[8] + 0x50a28be6u, 11);
        ar = qvRotl32(ar + (cr ^ (dr & (br ^ cr))) + x[1] + 0x50a28be6u, 14);
        dr = qvRotl32(dr + (br ^ (cr & (ar ^ br))) + x[10] + 0x50a28be6u, 14);
        cr = qvRotl32(cr + (ar ^ (br & (dr ^ ar))) + x[3] + 0x50a28be6u, 12);
        br = qvRotl32(br + (dr ^ (ar & (cr ^ dr))) + x[12] + 0x50a28be6u, 6);
        ar = qvRotl32(ar + ((br | ~cr) ^ dr) + x[6] + 0x5c4dd124u, 9);
        dr = qvRotl32(dr + ((ar | ~br) ^ cr) + x[11] + 0x5c4dd124u, 13);
        cr = qvRotl32(cr + ((dr | ~ar) ^ br) + x[3] + 0x5c4dd124u, 15);
        br = qvRotl32(br + ((cr | ~dr) ^ ar) + x[7] + 0x5c4dd124u, 7);
        ar = qvRotl32(ar + ((br | ~cr) ^ dr) + x[0] + 0x5c4dd124u, 12);
        dr = qvRotl32(dr + ((ar | ~br) ^ cr) + x[13] + 0x5c4dd124u, 8);
        cr = qvRotl32(cr + ((dr | ~ar) ^ br) + x[5] + 0x5c4dd124u, 9);
        br = qvRotl32(br + ((cr | ~dr) ^ ar) + x[10] + 0x5c4dd124u, 11);
        ar = qvRotl32(ar + ((br | ~cr) ^ dr) + x[14] + 0x5c4dd124u, 7);
        dr = qvRotl32(dr + ((ar | ~br) ^ cr) + x[15] + 0x5c4dd124u, 7);
        cr = qvRotl32(cr + ((dr | ~ar) ^ br) + x[8] + 0x5c4dd124u, 12);
        br = qvRotl32(br + ((cr | ~dr) ^ ar) + x[12] + 0x5c4dd124u, 7);
        ar = qvRotl32(ar + ((br | ~cr) ^ dr) + x[4] + 0x5c4dd124u, 6);
        dr = qvRotl32(dr + ((ar | ~br) ^ cr) + x[9] + 0x5c4dd124u, 15);
        cr = qvRotl32(cr + ((dr | ~ar) ^ br) + x[1] + 0x5c4dd124u, 13);
        br = qvRotl32(br + ((cr | ~dr) ^ ar) + x[2] + 0x5c4dd124u, 11);
        ar = qvRotl32(ar + (dr ^ (br & (cr ^ dr))) + x[15] + 0x6d703ef3u, 9);
        dr = qvRotl32(dr + (cr ^ (ar & (br ^ cr))) + x[5] + 0x6d703ef3u, 7);
        cr = qvRotl32(cr + (br ^ (dr & (ar ^ br))) + x[1] + 0x6d703ef3u, 15);
        br = qvRotl32(br + (ar ^ (cr & (dr ^ ar))) + x[3] + 0x6d703ef3u, 11);
        ar = qvRotl32(ar + (dr ^ (br & (cr ^ dr))) + x[7] + 0x6d703ef3u, 8);
        dr = qvRotl32(dr + (cr ^ (ar & (br ^ cr))) + x[14] + 0x6d703ef3u, 6);
        cr = qvRotl32(cr + (br ^ (dr & (ar ^ br))) + x[6] + 0x6d703ef3u, 6);
        br = qvRotl32(br + (ar ^ (cr & (dr ^ ar))) + x[9] + 0x6d703ef3u, 14);
        ar = qvRotl32(ar + (dr ^ (br & (cr ^ dr))) + x[11] + 0x6d703ef3u, 12);
        dr = qvRotl32(dr + (cr ^ (ar & (br ^ cr))) + x[8] + 0x6d703ef3u, 13);
        cr = qvRotl32(cr + (br ^ (dr & (ar ^ br))) + x[12] + 0x6d703ef3u, 5);
        br = qvRotl32(br + (ar ^ (cr & (dr ^ ar))) + x[2] + 0x6d703ef3u, 14);
        ar = qvRotl32(ar + (dr ^ (br & (cr ^ dr))) + x[10] + 0x6d703ef3u, 13);
        dr = qvRotl32(dr + (cr ^ (ar & (br ^ cr))) + x[0] + 0x6d703ef3u, 13);
        cr = qvRotl32(cr + (br ^ (dr & (ar ^ br))) + x[4] + 0x6d703ef3u, 7);
        br = qvRotl32(br + (ar ^ (cr & (dr ^ ar))) + x[13] + 0x6d703ef3u, 5);
        ar = qvRotl32(ar + (br ^ cr ^ dr) + x[8], 15);
        dr = qvRotl32(dr + (ar ^ br ^ cr) + x[6], 5);
        cr = qvRotl32(cr + (dr ^ ar ^ br) + x[4], 8);
        br = qvRotl32(br + (cr ^ dr ^ ar) + x[1], 11);
        ar = qvRotl32(ar + (br ^ cr ^ dr) + x[3], 14);
        dr = qvRotl32(dr + (ar ^ br ^ cr) + x[11], 14);
        cr = qvRotl32(cr + (dr ^ ar ^ br) + x[15], 6);
        br = qvRotl32(br + (cr ^ dr ^ ar) + x[0], 14);
        ar = qvRotl32(ar + (br ^ cr ^ dr) + x[5], 6);
        dr = qvRotl32(dr + (ar ^ br ^ cr) + x[12], 9);
        cr = qvRotl32(cr + (dr ^ ar ^ br) + x[2], 12);
        br = qvRotl32(br + (cr ^ dr ^ ar) + x[13], 9);
        ar = qvRotl32(ar + (br ^ cr ^ dr) + x[9], 12);
        dr = qvRotl32(dr + (ar ^ br ^ cr) + x[7], 5);
        cr = qvRotl32(cr + (dr ^ ar ^ br) + x[10], 15);
        br = qvRotl32(br + (cr ^ dr ^ ar) + x[14], 8);
        QvWord t = state[1] + cl + dr;
        state[1] = state[2] + dl + ar;
        state[2] = state[3] + al + br;
        state[3] = state[0] + bl + cr;
        state[0] = t;
    }
}

using Paths = QvMdCompressPaths<QvWord, compressBody>;

} // namespace

QvRipemd128::QvRipemd128() : QvMdHash(16, Paths::pick()) {}

QvHash* QvRipemd128::clone() const { return qvMdClone(*this, "qvripemd128", "200"); }

const QvWord* QvRipemd128::getOidArcs() const { return kOidArcs; }
const QvOctet* QvRipemd128::getOidDer() const { return kOidDer; }

void QvRipemd128::resetState() { loadInitialValue(kInitialValue); }
