// Abstract block cipher: owns a copy of its key, checks the key length, builds
// its key schedules when first needed and processes single blocks.
#ifndef LIBTORVAPP_QVBC_H
#define LIBTORVAPP_QVBC_H

#include <cstddef>

#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvsym.h"

// Which schedule setKey builds at once (the other is built on first use).
enum QvKeyExpansionOption : unsigned int {
    QV_KEY_EXPANSION_ENCRYPT = 0,
    QV_KEY_EXPANSION_DECRYPT = 1,
    QV_KEY_EXPANSION_BOTH = 2
};

// How runBlocks takes a run of whole blocks: each block on its own, chained as
// CBC does (the chaining block is read and left updated), or as CTR does (the
// input XOR the encrypted counter block, which is then incremented).
enum class QvBcRun : unsigned int { Encrypt, Decrypt, CbcEncrypt, CbcDecrypt, Ctr };

// Adds one to a counter block of n octets (a multiple of four): big-endian
// over the whole block, wrapping past the top.
inline void qvBcIncrementCounter(QvOctet* c, unsigned int n) noexcept
{
    for (unsigned int i = n; i >= 4; i -= 4) {
        std::uint32_t w;
        __builtin_memcpy(&w, c + i - 4, 4);
        w = __builtin_bswap32(__builtin_bswap32(w) + 1);
        __builtin_memcpy(c + i - 4, &w, 4);
        if (w != 0)
            break;
    }
}

// Factory identifiers of the block ciphers.
enum : unsigned int {
    QV_BC_ALGO_AES = 1,
    QV_BC_ALGO_RIJNDAEL = 2,
    QV_BC_ALGO_DES = 3,
    QV_BC_ALGO_TDES = 4,
    QV_BC_ALGO_DES_EEE = 5,
    QV_BC_ALGO_DES_XEEEX = 6,
    QV_BC_ALGO_RC2 = 7
};

class QvBc : public QvSym {
public:
    QvBc();
    QvBc(const QvBc& other);
    QvBc& operator=(const QvBc&) = delete;
    ~QvBc() override;

    virtual QvBc* clone() const = 0;
    virtual void setKey(const QvOctet* externalKey, unsigned int externalKeyOctets,
                        QvKeyExpansionOption expOption);
    virtual void expandKey(QvKeyExpansionOption expOption);

    virtual unsigned int getAlgoId() const = 0;
    virtual const char* getName() const = 0;
    virtual unsigned int getBlockOctets() const = 0;
    virtual unsigned int getMinKeyOctets() const = 0;
    virtual unsigned int getMaxKeyOctets() const = 0;
    virtual unsigned int getKeyStepOctets() const = 0;
    // The OID as {count, arc, arc, ...} and as its DER encoding (tag and length included).
    virtual const std::uint32_t* getOidArcs() const = 0;
    virtual const QvOctet* getOidDer() const = 0;

    // One block; in and out may be the same area.
    virtual void encryptCore(const QvOctet* in, QvOctet* out) const = 0;
    virtual void decryptCore(const QvOctet* in, QvOctet* out) const = 0;
    virtual bool hasSeparateSchedules() const;

    // Exactly one block; a null out means in place.
    void encryptBlock(const QvOctet* in, QvOctet* out);
    void decryptBlock(const QvOctet* in, QvOctet* out);

    // `count` whole blocks in one call, for the modes: in and out are the same
    // area or do not overlap; `chain` (one block) is used by the CBC and CTR runs.
    // Key checks and schedule building as for single blocks.
    void runBlocks(QvBcRun how, const QvOctet* in, QvOctet* out, std::size_t count, QvOctet* chain);

    bool isKeySet() const { return keySet != 0; }
    bool isEncScheduleBuilt() const { return encBuilt != 0; }
    bool isDecScheduleBuilt() const { return decBuilt != 0; }

protected:
    // Stores the key after the class's own checks (default: nothing).
    virtual void _setKey(const QvOctet* externalKey, unsigned int externalKeyOctets);
    virtual void buildEncSchedule();
    virtual void buildDecSchedule();
    virtual void buildCommonSchedule();
    // The work of runBlocks once the schedule is there; the default runs the
    // single-block cores one block after the other.
    virtual void runBlocksCore(QvBcRun how, const QvOctet* in, QvOctet* out, std::size_t count,
                               QvOctet* chain) const;

    // Length checks of setKey; throws QvBadKeyLengthException.
    void checkKeyLength(unsigned int externalKeyOctets) const;
    // Steps after a successful _setKey: flags, then the schedule(s).
    void keyStored(QvKeyExpansionOption expOption);
    // Copies the key into `key`, reusing its storage when it is large enough
    // and wiping what an earlier, longer key left behind.
    void storeKey(const QvOctet* externalKey, unsigned int externalKeyOctets);

    QvOctMem key;
    QvOctet keySet;
    QvOctet encBuilt;
    QvOctet decBuilt;
};

// A new cipher for a factory identifier; the caller deletes it.
QvBc* qvBcCreateObject(unsigned int id);

#endif
