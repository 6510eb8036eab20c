// Hashing of encodings: digest, digestObject and their helpers.
#include <memory>

#include "lib/libasn/asnbase.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmd5.h"
#include "libtorvapp/qvripemd128.h"
#include "libtorvapp/qvripemd160.h"
#include "libtorvapp/qvsha1.h"
#include "libtorvapp/qvsha224.h"
#include "libtorvapp/qvsha256.h"
#include "libtorvapp/qvsha384.h"
#include "libtorvapp/qvsha512.h"
#include "support/memfile.h"

namespace {

QvHash* makeHash(unsigned id) {
    switch (id) {
        case 1: return new QvSha1();
        case 2: return new QvSha224();
        case 3: return new QvSha256();
        case 4: return new QvSha384();
        case 5: return new QvSha512();
        case 6: return new QvRipemd128();
        case 7: return new QvRipemd160();
        case 8: return new QvMd5();
        default: return nullptr;
    }
}

}  // namespace

void ASNobject::hashUpdate(const uint8_t* data, long len, QvHash* hash) {
    if (hash == nullptr || data == nullptr || len < 1) return;
    try {
        // step takes 32-bit lengths: feed large inputs in pieces.
        while (len > 0) {
            unsigned part = len > 0x40000000L ? 0x40000000u : static_cast<unsigned>(len);
            hash->step(data, part);
            data += part;
            len -= part;
        }
    } catch (const QvException& e) {
        AssertInvariant(0, "asnbase", __LINE__, "0", e.what());
    }
}

void ASNobject::digest_contents(QvHash*) const {
    // A type that is hashed must feed its own contents.
    AssertInvariant(0, "asnbase", __LINE__, "0",
                    "ASNobject::digest_contents FUNKCJA NIE POWINNA BY\xC4\x86 WYWO\xC5\x81YWANA");
}

void ASNobject::digestEndOfContents(QvHash* hash) const {
    static const uint8_t eoc[2] = {0, 0};
    hashUpdate(eoc, 2, hash);
}

void ASNobject::digestHeader(QvHash* hash) const {
    uint8_t buf[20];
    MemFile mf(static_cast<void*>(buf), sizeof buf, false, false);
    long n = writeHeader(&mf, lenOfBody());
    if (n > 0) hashUpdate(buf, n, hash);
}

void ASNobject::digestObject(QvHash* hash) const {
    if ((flags & ASN_FLAG_CONST) != 0 && source != nullptr && m_rxLength > 0) {
        // The octets received, as they were received.
        MemFile* mf = dynamic_cast<MemFile*>(source);
        if (mf != nullptr && mf->Size() >= srcOffset + m_rxLength) {
            hashUpdate(mf->GetPointer(static_cast<long>(srcOffset)), m_rxLength, hash);
            return;
        }
    }
    digestHeader(hash);
    digest_contents(hash);
    if ((flags & ASN_FLAG_INDEF) != 0) digestEndOfContents(hash);
    if ((flags & ASN_FLAG_EXPLICIT) != 0 && (flags & ASN_FLAG_EXPL_INDEF) != 0)
        digestEndOfContents(hash);
}

int ASNobject::digest(unsigned hashId, uint8_t* buf, long bufLen) const {
    AssertInvariant(buf != nullptr && bufLen > 0, "asnbase", __LINE__,
                    "digestBuff != NULL && digestBuffLen > 0", nullptr);
    std::unique_ptr<QvHash> h;
    try {
        h.reset(makeHash(hashId));
    } catch (const QvException& e) {
        AssertInvariant(0, "asnbase", __LINE__, "0", e.what());
    }
    AssertInvariant(h != nullptr, "asnbase", __LINE__, "false", nullptr);
    AssertInvariant(static_cast<unsigned>(bufLen) >= h->getHashOctets(), "asnbase", __LINE__,
                    "(unsigned int)digestBuffLen >= dhfCtx->getHashOctets()", nullptr);
    try {
        h->init();
        digestObject(h.get());
        h->finish();
        h->getHash(h->getHashOctets(), buf);
    } catch (const QvException& e) {
        AssertInvariant(0, "asnbase", __LINE__, "0", e.what());
    }
    return 1;
}
