// Hostile input to the modes of operation (decryption and unpadding of
// arbitrary ciphertexts in arbitrary pieces) and to the MACs: nothing may
// crash, every failure must be a library exception.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "libtorvapp/qvansimac.h"
#include "libtorvapp/qvcbc.h"
#include "libtorvapp/qvcbcmac.h"
#include "libtorvapp/qvcfb.h"
#include "libtorvapp/qvctr.h"
#include "libtorvapp/qvecb.h"
#include "libtorvapp/qvhmac.h"
#include "libtorvapp/qvofb.h"

namespace {

QvSymEnc* makeMode(std::uint8_t sel)
{
    const unsigned cipher = 1 + (sel >> 4) % 7;
    const unsigned pad = (sel >> 2) % 4;
    switch (sel % 5) {
    case 0:
        return new QvEcb(cipher, pad);
    case 1:
        return new QvCbc(cipher, pad);
    case 2:
        return new QvCfb(cipher, 1 + sel % 3, sel % 9, sel % 5, pad);
    case 3:
        return new QvOfb(cipher, sel % 17, pad);
    default:
        return new QvCtr(cipher, sel % 13, pad);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::uint8_t sel = data[0];
    const std::uint8_t keyLen = data[1] % 49;
    data += 2;
    size -= 2;
    if (size < keyLen)
        return 0;
    const std::uint8_t* key = data;
    data += keyLen;
    size -= keyLen;
    std::vector<std::uint8_t> out(size + 64);

    try {
        std::unique_ptr<QvSymEnc> m(makeMode(sel));
        m->setKey(key, keyLen);
        m->init(QV_SYM_DECRYPT, key, keyLen);
        std::size_t pos = 0, w = 0;
        while (pos < size) {
            const std::size_t take = std::min<std::size_t>(size - pos, 1 + data[pos] % 23);
            w += m->step(data + pos, unsigned(take), out.data() + w);
            pos += take;
        }
        w += m->finish(out.data() + w);
        if (w > size)
            __builtin_trap();
    } catch (const QvException&) {
    }

    try {
        std::unique_ptr<QvMac> mac;
        if (sel & 1)
            mac.reset(new QvHmac(1 + sel % 8));
        else if (sel & 2)
            mac.reset(new QvAnsiMac(3 + sel % 2, (sel >> 2) % 5));
        else
            mac.reset(new QvCbcMac(1 + (sel >> 3) % 7, (sel >> 2) % 5));
        mac->setKey(key, keyLen);
        mac->computeMac(data, unsigned(size));
        // verify reads len octets of its argument: never more than the input holds.
        const unsigned len = unsigned(size % 65);
        if ((len == 0 ? mac->getMacOctets() : len) <= size)
            (void)mac->verify(data, len);
    } catch (const QvException&) {
    }
    return 0;
}
