#include "libtorvapp/qvripemd160.h"

#include <new>

#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvcommon/qvendian.h"

namespace {

const QvWord kOidArcs[] = {6, 1, 0, 10118, 3, 0, 49};
const QvOctet kOidDer[] = {0x06, 0x06, 0x28, 0xCF, 0x06, 0x03, 0x00, 0x31};


QV_ALWAYS_INLINE void compressBody(QvWord* state, const QvOctet* data, std::size_t n)
{
    for (std::size_t blk = 0; blk < n; ++blk, data += 64) {
        QvWord x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = qvLoad32Le(data + 4 * i);
        QvWord al = state[0], bl = state[1], cl = state[2], dl = state[3], el = state[4];
        QvWord ar = state[0], br = state[1], cr = state[2], dr = state[3], er = state[4];
        al = qvRotl32(al + (bl ^ cl ^ dl) + x[0], 11) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (al ^ bl ^ cl) + x[1], 14) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (el ^ al ^ bl) + x[2], 15) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (dl ^ el ^ al) + x[3], 12) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (cl ^ dl ^ el) + x[4], 5) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (bl ^ cl ^ dl) + x[5], 8) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (al ^ bl ^ cl) + x[6], 7) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (el ^ al ^ bl) + x[7], 9) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (dl ^ el ^ al) + x[8], 11) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (cl ^ dl ^ el) + x[9], 13) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (bl ^ cl ^ dl) + x[10], 14) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (al ^ bl ^ cl) + x[11], 15) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (el ^ al ^ bl) + x[12], 6) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (dl ^ el ^ al) + x[13], 7) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (cl ^ dl ^ el) + x[14], 9) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (bl ^ cl ^ dl) + x[15], 8) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (cl ^ (al & (bl ^ cl))) + x[7] + 0x5a827999u, 7) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (bl ^ (el & (al ^ bl))) + x[4] + 0x5a827999u, 6) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (al ^ (dl & (el ^ al))) + x[13] + 0x5a827999u, 8) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (el ^ (cl & (dl ^ el))) + x[1] + 0x5a827999u, 13) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (dl ^ (bl & (cl ^ dl))) + x[10] + 0x5a827999u, 11) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (cl ^ (al & (bl ^ cl))) + x[6] + 0x5a827999u, 9) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (bl ^ (el & (al ^ bl))) + x[15] + 0x5a827999u, 7) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (al ^ (dl & (el ^ al))) + x[3] + 0x5a827999u, 15) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (el ^ (cl & (dl ^ el))) + x[12] + 0x5a827999u, 7) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (dl ^ (bl & (cl ^ dl))) + x[0] + 0x5a827999u, 12) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (cl ^ (al & (bl ^ cl))) + x[9] + 0x5a827999u, 15) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (bl ^ (el & (al ^ bl))) + x[5] + 0x5a827999u, 9) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (al ^ (dl & (el ^ al))) + x[2] + 0x5a827999u, 11) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (el ^ (cl & (dl ^ el))) + x[14] + 0x5a827999u, 7) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (dl ^ (bl & (cl ^ dl))) + x[11] + 0x5a827999u, 13) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (cl ^ (al & (bl ^ cl))) + x[8] + 0x5a827999u, 12) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + ((el | ~al) ^ bl) + x[3] + 0x6ed9eba1u, 11) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + ((dl | ~el) ^ al) + x[10] + 0x6ed9eba1u, 13) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + ((cl | ~dl) ^ el) + x[14] + 0x6ed9eba1u, 6) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + ((bl | ~cl) ^ dl) + x[4] + 0x6ed9eba1u, 7) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + ((al | ~bl) ^ cl) + x[9] + 0x6ed9eba1u, 14) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + ((el | ~al) ^ bl) + x[15] + 0x6ed9eba1u, 9) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + ((dl | ~el) ^ al) + x[8] + 0x6ed9eba1u, 13) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + ((cl | ~dl) ^ el) + x[1] + 0x6ed9eba1u, 15) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + ((bl | ~cl) ^ dl) + x[2] + 0x6ed9eba1u, 14) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + ((al | ~bl) ^ cl) + x[7] + 0x6ed9eba1u, 8) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + ((el | ~al) ^ bl) + x[0] + 0x6ed9eba1u, 13) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + ((dl | ~el) ^ al) + x[6] + 0x6ed9eba1u, 6) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + ((cl | ~dl) ^ el) + x[13] + 0x6ed9eba1u, 5) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + ((bl | ~cl) ^ dl) + x[11] + 0x6ed9eba1u, 12) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + ((al | ~bl) ^ cl) + x[5] + 0x6ed9eba1u, 7) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + ((el | ~al) ^ bl) + x[12] + 0x6ed9eba1u, 5) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (el ^ (al & (dl ^ el))) + x[1] + 0x8f1bbcdcu, 11) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (dl ^ (el & (cl ^ dl))) + x[9] + 0x8f1bbcdcu, 12) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (cl ^ (dl & (bl ^ cl))) + x[11] + 0x8f1bbcdcu, 14) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (bl ^ (cl & (al ^ bl))) + x[10] + 0x8f1bbcdcu, 15) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (al ^ (bl & (el ^ al))) + x[0] + 0x8f1bbcdcu, 14) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (el ^ (al & (dl ^ el))) + x[8] + 0x8f1bbcdcu, 15) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (dl ^ (el & (cl ^ dl))) + x[12] + 0x8f1bbcdcu, 9) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (cl ^ (dl & (bl ^ cl))) + x[4] + 0x8f1bbcdcu, 8) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (bl ^ (cl & (al ^ bl))) + x[13] + 0x8f1bbcdcu, 9) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (al ^ (bl & (el ^ al))) + x[3] + 0x8f1bbcdcu, 14) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (el ^ (al & (dl ^ el))) + x[7] + 0x8f1bbcdcu, 5) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (dl ^ (el & (cl ^ dl))) + x[15] + 0x8f1bbcdcu, 6) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (cl ^ (dl & (bl ^ cl))) + x[14] + 0x8f1bbcdcu, 8) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (bl ^ (cl & (al ^ bl))) + x[5] + 0x8f1bbcdcu, 6) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (al ^ (bl & (el ^ al))) + x[6] + 0x8f1bbcdcu, 5) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (el ^ (al & (dl ^ el))) + x[2] + 0x8f1bbcdcu, 12) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (cl ^ (dl | ~el)) + x[4] + 0xa953fd4eu, 9) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (bl ^ (cl | ~dl)) + x[0] + 0xa953fd4eu, 15) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (al ^ (bl | ~cl)) + x[5] + 0xa953fd4eu, 5) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (el ^ (al | ~bl)) + x[9] + 0xa953fd4eu, 11) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (dl ^ (el | ~al)) + x[7] + 0xa953fd4eu, 6) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (cl ^ (dl | ~el)) + x[12] + 0xa953fd4eu, 8) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (bl ^ (cl | ~dl)) + x[2] + 0xa953fd4eu, 13) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (al ^ (bl | ~cl)) + x[10] + 0xa953fd4eu, 12) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (el ^ (al | ~bl)) + x[14] + 0xa953fd4eu, 5) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (dl ^ (el | ~al)) + x[1] + 0xa953fd4eu, 12) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (cl ^ (dl | ~el)) + x[3] + 0xa953fd4eu, 13) + al;
        dl = qvRotl32(dl, 10);
        al = qvRotl32(al + (bl ^ (cl | ~dl)) + x[8] + 0xa953fd4eu, 14) + el;
        cl = qvRotl32(cl, 10);
        el = qvRotl32(el + (al ^ (bl | ~cl)) + x[11] + 0xa953fd4eu, 11) + dl;
        bl = qvRotl32(bl, 10);
        dl = qvRotl32(dl + (el ^ (al | ~bl)) + x[6] + 0xa953fd4eu, 8) + cl;
        al = qvRotl32(al, 10);
        cl = qvRotl32(cl + (dl ^ (el | ~al)) + x[15] + 0xa953fd4eu, 5) + bl;
        el = qvRotl32(el, 10);
        bl = qvRotl32(bl + (cl ^ (dl | ~el)) + x[13] + 0xa953fd4eu, 6) + al;
        dl = qvRotl32(dl, 10);
        ar = qvRotl32(ar + (br ^ (cr | ~dr)) + x[5] + 0x50a28be6u, 8) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (ar ^ (br | ~cr)) + x[14] + 0x50a28be6u, 9) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (er ^ (ar | ~br)) + x[7] + 0x50a28be6u, 9) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (dr ^ (er | ~ar)) + x[0] + 0x50a28be6u, 11) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (cr ^ (dr | ~er)) + x[9] + 0x50a28be6u, 13) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (br ^ (cr | ~dr)) + x[2] + 0x50a28be6u, 15) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (ar ^ (br | ~cr)) + x[11] + 0x50a28be6u, 15) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (er ^ (ar | ~br)) + x[4] + 0x50a28be6u, 5) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (dr ^ (er | ~ar)) + x[13] + 0x50a28be6u, 7) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (cr ^ (dr | ~er)) + x[6] + 0x50a28be6u, 7) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (br ^ (cr | ~dr)) + x[15] + 0x50a28be6u, 8) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (ar ^ (br | ~cr)) + x[8] + 0x50a28be6u, 11) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (er ^ (ar | ~br)) + x[1] + 0x50a28be6u, 14) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (dr ^ (er | ~ar)) + x[10] + 0x50a28be6u, 14) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (cr ^ (dr | ~er)) + x[3] + 0x50a28be6u, 12) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (br ^ (cr | ~dr)) + x[12] + 0x50a28be6u, 6) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (br ^ (cr & (ar ^ br))) + x[6] + 0x5c4dd124u, 9) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (ar ^ (br & (er ^ ar))) + x[11] + 0x5c4dd124u, 13) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (er ^ (ar & (dr ^ er))) + x[3] + 0x5c4dd124u, 15) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (dr ^ (er & (cr ^ dr))) + x[7] + 0x5c4dd124u, 7) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (cr ^ (dr & (br ^ cr))) + x[0] + 0x5c4dd124u, 12) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (br ^ (cr & (ar ^ br))) + x[13] + 0x5c4dd124u, 8) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (ar ^ (br & (er ^ ar))) + x[5] + 0x5c4dd124u, 9) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (er ^ (ar & (dr ^ er))) + x[10] + 0x5c4dd124u, 11) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (dr ^ (er & (cr ^ dr))) + x[14] + 0x5c4dd124u, 7) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (cr ^ (dr & (br ^ cr))) + x[15] + 0x5c4dd124u, 7) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (br ^ (cr & (ar ^ br))) + x[8] + 0x5c4dd124u, 12) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (ar ^ (br & (er ^ ar))) + x[12] + 0x5c4dd124u, 7) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (er ^ (ar & (dr ^ er))) + x[4] + 0x5c4dd124u, 6) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (dr ^ (er & (cr ^ dr))) + x[9] + 0x5c4dd124u, 15) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (cr ^ (dr & (br ^ cr))) + x[1] + 0x5c4dd124u, 13) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (br ^ (cr & (ar ^ br))) + x[2] + 0x5c4dd124u, 11) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + ((er | ~ar) ^ br) + x[15] + 0x6d703ef3u, 9) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + ((dr | ~er) ^ ar) + x[5] + 0x6d703ef3u, 7) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + ((cr | ~dr) ^ er) + x[1] + 0x6d703ef3u, 15) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + ((br | ~cr) ^ dr) + x[3] + 0x6d703ef3u, 11) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + ((ar | ~br) ^ cr) + x[7] + 0x6d703ef3u, 8) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + ((er | ~ar) ^ br) + x[14] + 0x6d703ef3u, 6) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + ((dr | ~er) ^ ar) + x[6] + 0x6d703ef3u, 6) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + ((cr | ~dr) ^ er) + x[9] + 0x6d703ef3u, 14) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + ((br | ~cr) ^ dr) + x[11] + 0x6d703ef3u, 12) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + ((ar | ~br) ^ cr) + x[8] + 0x6d703ef3u, 13) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + ((er | ~ar) ^ br) + x[12] + 0x6d703ef3u, 5) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + ((dr | ~er) ^ ar) + x[2] + 0x6d703ef3u, 14) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + ((cr | ~dr) ^ er) + x[10] + 0x6d703ef3u, 13) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + ((br | ~cr) ^ dr) + x[0] + 0x6d703ef3u, 13) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + ((ar | ~br) ^ cr) + x[4] + 0x6d703ef3u, 7) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + ((er | ~ar) ^ br) + x[13] + 0x6d703ef3u, 5) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (ar ^ (dr & (er ^ ar))) + x[8] + 0x7a6d76e9u, 15) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (er ^ (cr & (dr ^ er))) + x[6] + 0x7a6d76e9u, 5) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (dr ^ (br & (cr ^ dr))) + x[4] + 0x7a6d76e9u, 8) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (cr ^ (ar & (br ^ cr))) + x[1] + 0x7a6d76e9u, 11) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (br ^ (er & (ar ^ br))) + x[3] + 0x7a6d76e9u, 14) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (ar ^ (dr & (er ^ ar))) + x[11] + 0x7a6d76e9u, 14) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (er ^ (cr & (dr ^ er))) + x[15] + 0x7a6d76e9u, 6) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (dr ^ (br & (cr ^ dr))) + x[0] + 0x7a6d76e9u, 14) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (cr ^ (ar & (br ^ cr))) + x[5] + 0x7a6d76e9u, 6) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (br ^ (er & (ar ^ br))) + x[12] + 0x7a6d76e9u, 9) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (ar ^ (dr & (er ^ ar))) + x[2] + 0x7a6d76e9u, 12) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (er ^ (cr & (dr ^ er))) + x[13] + 0x7a6d76e9u, 9) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (dr ^ (br & (cr ^ dr))) + x[9] + 0x7a6d76e9u, 12) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (cr ^ (ar & (br ^ cr))) + x[7] + 0x7a6d76e9u, 5) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (br ^ (er & (ar ^ br))) + x[10] + 0x7a6d76e9u, 15) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (ar ^ (dr & (er ^ ar))) + x[14] + 0x7a6d76e9u, 8) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (cr ^ dr ^ er) + x[12], 8) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (br ^ cr ^ dr) + x[15], 5) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (ar ^ br ^ cr) + x[10], 12) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (er ^ ar ^ br) + x[4], 9) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (dr ^ er ^ ar) + x[1], 12) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (cr ^ dr ^ er) + x[5], 5) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (br ^ cr ^ dr) + x[8], 14) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (ar ^ br ^ cr) + x[7], 6) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (er ^ ar ^ br) + x[6], 8) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (dr ^ er ^ ar) + x[2], 13) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (cr ^ dr ^ er) + x[13], 6) + ar;
        dr = qvRotl32(dr, 10);
        ar = qvRotl32(ar + (br ^ cr ^ dr) + x[14], 5) + er;
        cr = qvRotl32(cr, 10);
        er = qvRotl32(er + (ar ^ br ^ cr) + x[0], 15) + dr;
        br = qvRotl32(br, 10);
        dr = qvRotl32(dr + (er ^ ar ^ br) + x[3], 13) + cr;
        ar = qvRotl32(ar, 10);
        cr = qvRotl32(cr + (dr ^ er ^ ar) + x[9], 11) + br;
        er = qvRotl32(er, 10);
        br = qvRotl32(br + (cr ^ dr ^ er) + x[11], 11) + ar;
        dr = qvRotl32(dr, 10);
        QvWord t = state[1] + cl + dr;
        state[1] = state[2] + dl + er;
        state[2] = state[3] + el + ar;
        state[3] = state[4] + al + br;
        state[4] = state[0] + bl + cr;
        state[0] = t;
    }
}

void compressPlain(QvWord* state, const QvOctet* data, std::size_t n)
{
    compressBody(state, data, n);
}

#if QV_HAVE_BMI2_PATH
QV_TARGET_BMI2 void compressBmi2(QvWord* state, const QvOctet* data, std::size_t n)
{
    compressBody(state, data, n);
}
#endif

typedef void (*CompressFn)(QvWord*, const QvOctet*, std::size_t);

CompressFn pickCompress()
{
#if QV_HAVE_BMI2_PATH
    if (qvCpuHasBmi2())
        return compressBmi2;
#endif
    return compressPlain;
}

} // namespace

QvRipemd160::QvRipemd160() : QvDhf(20, 64), countLo(0), countHi(0)
{
    for (QvWord& w : state)
        w = 0;
}

QvRipemd160::~QvRipemd160()
{
    qvWipe(state, sizeof(state));
    countLo = 0;
    countHi = 0;
}

QvHash* QvRipemd160::clone() const
{
    QvHash* h = new (std::nothrow) QvRipemd160(*this);
    if (h == nullptr)
        throw QvMemException(sizeof(QvRipemd160), "qvripemd160", "393");
    return h;
}

const QvWord* QvRipemd160::getOidArcs() const { return kOidArcs; }
const QvOctet* QvRipemd160::getOidDer() const { return kOidDer; }

void QvRipemd160::resetState()
{
    state[0] = 0x67452301u;
    state[1] = 0xefcdab89u;
    state[2] = 0x98badcfeu;
    state[3] = 0x10325476u;
    state[4] = 0xc3d2e1f0u;
    countLo = 0;
    countHi = 0;
}

void QvRipemd160::finalBlock()
{
    std::uint64_t octets = ((static_cast<std::uint64_t>(countHi) << 32) | countLo) + buffered;
    std::uint64_t bits = octets << 3;
    QvOctet len[8];
    qvStore32Le(len, static_cast<QvWord>(bits));
    qvStore32Le(len + 4, static_cast<QvWord>(bits >> 32));
    padWithLength(len, 8);
    QvOctet* out = digest.getData();
    for (unsigned int i = 0; i < getHashOctets() / 4; ++i)
        qvStore32Le(out + 4 * i, state[i]);
}

void QvRipemd160::processBlocks(const QvOctet* data, std::size_t n)
{
    std::uint64_t c = ((static_cast<std::uint64_t>(countHi) << 32) | countLo) + 64u * n;
    countLo = static_cast<QvWord>(c);
    countHi = static_cast<QvWord>(c >> 32);
    static const CompressFn compress = pickCompress();
    compress(state, data, n);
}
