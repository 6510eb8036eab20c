#include "pkcs15/scpkcs15rsaprvkeyobject.h"

#include <cstring>
#include <new>
#include <vector>

#include "keys/rsaprkey.h"
#include "lib/libpkcs15/asnpkcs15privatekeytype.h"
#include "smartcard/sc_card_classic.h"
#include "smartcard/sc_digestinfo.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace {

const char kSrc[] = "pkcs15/scpkcs15rsaprvkeyobject.cpp";
// A DF for keys guards every operation; the user PIN makes keys in it.
constexpr uint32_t kKeyDfFlags = 0x80000025u;

// A work block that is overwritten with zeros before it goes (it holds padded
// data or plaintext).
struct WipedBlock {
    std::vector<uint8_t> b;
    bool Allocate(size_t n) {
        try {
            b.assign(n, 0);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    ~WipedBlock() {
        volatile uint8_t* p = b.data();
        for (size_t i = 0; i < b.size(); ++i) p[i] = 0;
    }
    uint8_t* data() { return b.data(); }
};

bool Final(SCRESULT r) {
    return r >= 0 || r == SC_E_CARD_REMOVED || r == SC_E_KEY_CONTAINS_NO_DATA || r == SC_E_NO_SMARTCARD ||
           r == SC_E_NO_MEMORY;
}

}  // namespace

SCPkcs15PrivateRsaKeyObject::SCPkcs15PrivateRsaKeyObject(SCCard* card)
    : SCPkcs15RsaKeyObject(card), value(0), m_record(nullptr) {}

SCPkcs15PrivateRsaKeyObject::~SCPkcs15PrivateRsaKeyObject() { value.clear(); }

void SCPkcs15PrivateRsaKeyObject::ClearContents() { value.clear(); }
void SCPkcs15PrivateRsaKeyObject::ClearValue() { value.clear(); }

void SCPkcs15PrivateRsaKeyObject::Reset(bool full) {
    m_record = nullptr;
    SCPkcs15RsaKeyObject::Reset(full);
}

SCRESULT SCPkcs15PrivateRsaKeyObject::StorePublicPart(const ASNinteger& modulus, const ASNinteger& publicExponent) {
    try {
        value.modulus = modulus;
        value.publicExponent = publicExponent;
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    value.present[0] = 1;
    value.present[1] = 1;
    return 0;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::ReloadPublicPart() {
    value.clear();
    ASNinteger n, e;
    SCRESULT r = ReadPublicKeyFromCard(n, e);
    if (r < 0) return r;
    return StorePublicPart(n, e);
}

SCRESULT SCPkcs15PrivateRsaKeyObject::Parse(MemFile* in, uint32_t len) {
    const int64_t start = in->Tell();
    SCRESULT r = DecodeAsn(value, in, len);
    if (r > 0) {
        m_valueState = VALUE_PKCS15_OR_PUBLIC;
        return r;
    }
    if (r != SC_E_INVALID_DATA_FORMAT) return r;
    in->Seek(static_cast<long>(start));
    RSAPrivateKey key(0);
    r = DecodeAsn(key, in, len);
    if (r < 0) return r;
    long version = -1;
    try {
        version = key.version.getLong();
    } catch (const std::exception&) {
        version = -1;
    }
    if (version != 0) {
        key.clear();
        return SC_E_INVALID_DATA_FORMAT;
    }
    value.clear();
    const int c = value.setFromKey(key);
    key.clear();
    if (c != 1) {
        value.clear();
        return SC_E_NO_MEMORY;
    }
    m_valueState = VALUE_PKCS1_PRIVATE;
    return r;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::Encode(MemFile* out) {
    if (m_valueState == VALUE_PKCS15_OR_PUBLIC) return EncodeAsn(value, out);
    if (m_valueState != VALUE_PKCS1_PRIVATE) return SC_E_BAD_USAGE;
    if (!value.isComplete()) return SC_E_INSUFFICIENT_DATA;
    RSAPrivateKey key(0);
    SCRESULT r;
    try {
        key.version.setValue(0);
        const int c = value.toKey(key);
        r = c == 1 ? EncodeAsn(key, out) : c == 0 ? SC_E_INSUFFICIENT_DATA : SC_E_NO_MEMORY;
    } catch (const std::bad_alloc&) {
        r = SC_E_NO_MEMORY;
    }
    key.clear();
    return r;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::ModulusBytes(bool storedLength, uint32_t* k) {
    if (m_record) {
        const long bits = m_record->getKeySizeBits();
        if (bits > 0) {
            *k = static_cast<uint32_t>((bits + 7) / 8);
            return 0;
        }
    }
    if (!IsLoaded()) {
        SCRESULT r = Load(false);
        if (r < 0) return r;
    }
    *k = storedLength ? static_cast<uint32_t>(value.modulus.ASNoctstr::getLength()) : SignificantLength(value.modulus);
    return 0;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::MarkIfUnreliable(SCRESULT r, uint32_t len) const {
    if (r < 0) return r;
    SCReader* reader = m_pCard ? m_pCard->GetReader() : nullptr;
    if (reader && reader->GetMaxResponseLength() < len) return SC_W_PKCS15_OPERATION_NOT_RELIABLE;
    return r;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::PrepareCardOperation(SCTransactGuard&, const KeyAddress& addr,
                                                          const SCCardInfo& ci) {
    if (m_pPkcs15App && m_authHandle) {
        // No PIN kept to present (access denied): the card itself decides.
        SCRESULT v = Reverify(nullptr);
        if (v < 0 && v != SC_E_ACCESS_DENIED) return v;
    }
    SCRESULT r = SelectPath(addr.df.Ids(), static_cast<uint16_t>(addr.df.Count()), nullptr,
                            m_pFileHeader || addr.hasFid ? nullptr : &m_pFileHeader);
    if (r < 0) return r;
    if (ci.cardFamily == SC_CARD_TYPE_CLASSIC && m_createRefs.GetSeNumber() < 255) {
        r = SCCard_ClassIC::RestoreSecurityEnvironment(m_pCard, m_createRefs.GetSeNumber());
        if (r < 0) return r;
    }
    return 0;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::Sign(uint32_t mechanism, uint32_t hashId, const uint8_t* data,
                                           uint32_t dataLen, uint8_t* out, uint32_t* outLen) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!outLen) return SC_E_BAD_PARAMS;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    KeyAddress addr;
    SCRESULT r = GetKeyAddress((ci.rsaCaps & SC_RSA_CAP_PRIV_BY_REF) != 0, &addr);
    if (r < 0) return r;
    uint32_t k = 0;
    r = ModulusBytes(false, &k);
    if (r < 0) return r;
    if (k >= 65536 || k == 0) return SC_E_PKCS15_KEY_UNSUPPORTED;
    if (!out) {
        *outLen = k;
        return 0;
    }
    if (k > *outLen) {
        *outLen = k;
        return SC_E_INSUFFICIENT_BUFFER;
    }
    if (!data && dataLen) return SC_E_BAD_PARAMS;
    SCTransactGuard guard(m_pCard);
    r = PrepareCardOperation(guard, addr, ci);
    if (r < 0) return r;
    const uint16_t* fid = addr.hasFid ? &addr.fid : nullptr;
    const uint32_t capacity = *outLen < 65535 ? *outLen : 65535;
    uint32_t sigLen = capacity;
    r = m_pCard->ComputeSignature(fid, addr.hasFid, m_keyReference, mechanism, hashId, k, data, dataLen, out, &sigLen);
    if (r == SC_E_INVALID_DATA_LENGTH && mechanism == SC_SIGN_PKCS1) {
        const SCRESULT first = r;
        SCRESULT again = first;
        if (ci.cardFamily == SC_CARD_TYPE_SETCOS441 && scGetHashIdFromDigestInfo(data, dataLen) == SC_HASH_SHA1) {
            sigLen = capacity;
            again = m_pCard->ComputeSignature(fid, addr.hasFid, m_keyReference, SC_SIGN_PKCS1_DIGEST, SC_HASH_SHA1, k,
                                              data + 15, 20, out, &sigLen);
        }
        if (!Final(again) && dataLen + 11 <= k) {
            AssertInvariant(k <= 1024, kSrc, __LINE__, "modulusLen <= 1024");
            uint8_t block[1024];
            if (Pkcs1PadBlockType1(block, k, data, static_cast<int>(dataLen))) {
                sigLen = capacity;
                again = m_pCard->ComputeSignature(fid, addr.hasFid, m_keyReference, SC_SIGN_RAW, 0, k, block, k, out,
                                                  &sigLen);
            }
            SecureZero(block, sizeof block);
        }
        r = Final(again) ? again : first;
    }
    if (r == SC_E_INVALID_FILE_TYPE) {
        // Not a card key: the value is read and used here.
        r = IsLoaded() ? m_lastResult : Load(false);
        if (r < 0) return r;
        uint32_t len = *outLen;
        r = SignInSoftware(mechanism, hashId, data, dataLen, out, &len);
        if (r < 0) return r;
        *outLen = len;
        return MarkIfUnreliable(0, len);
    }
    if (r < 0) return r;
    *outLen = sigLen;
    return MarkIfUnreliable(0, sigLen);
}

SCRESULT SCPkcs15PrivateRsaKeyObject::Decrypt(uint32_t mechanism, const uint8_t* in, uint32_t inLen, uint8_t* out,
                                              uint32_t* outLen) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!outLen) return SC_E_BAD_PARAMS;
    if (!in && inLen) return SC_E_BAD_PARAMS;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    KeyAddress addr;
    SCRESULT r = GetKeyAddress((ci.rsaCaps & SC_RSA_CAP_PRIV_BY_REF) != 0, &addr);
    if (r < 0) return r;
    uint32_t k = 0;
    r = ModulusBytes(true, &k);
    if (r < 0) return r;
    if (k == 0 || k >= 65536) return SC_E_PKCS15_KEY_UNSUPPORTED;
    WipedBlock work;
    uint8_t* target = out;
    if (mechanism == SC_SIGN_RAW) {
        if (!out) {
            *outLen = k;
            return 0;
        }
        if (k > *outLen) {
            *outLen = k;
            return SC_E_INSUFFICIENT_BUFFER;
        }
    } else if (!out || *outLen < k) {
        if (!work.Allocate(k)) return SC_E_NO_MEMORY;
        target = work.data();
    }
    SCTransactGuard guard(m_pCard);
    r = PrepareCardOperation(guard, addr, ci);
    if (r < 0) return r;
    uint32_t plainLen = k;
    // The caller's room as it is: a length is never narrowed.
    if (target == out && *outLen > k) plainLen = *outLen;
    r = m_pCard->Decipher(addr.hasFid ? &addr.fid : nullptr, addr.hasFid, m_keyReference, mechanism, in, inLen, target,
                          &plainLen);
    if (r == SC_E_INVALID_FILE_TYPE) {
        r = IsLoaded() ? m_lastResult : Load(false);
        if (r < 0) return r;
        return DecryptInSoftware(mechanism, in, inLen, out, outLen);
    }
    if (r < 0) return r;
    if (!out) {
        *outLen = plainLen;
        return 0;
    }
    if (*outLen < plainLen) {
        *outLen = plainLen;
        return SC_E_INSUFFICIENT_BUFFER;
    }
    *outLen = plainLen;
    if (target != out) std::memcpy(out, target, plainLen);
    return MarkIfUnreliable(0, plainLen);
}

SCRESULT SCPkcs15PrivateRsaKeyObject::PrivateOperation(const uint8_t* in, uint8_t* out) {
    if (!value.present[0] || !in || !out) return SC_E_PKCS15_KEY_UNSUPPORTED;
    const uint32_t k = SignificantLength(value.modulus);
    const uint8_t* n = value.modulus.getData() + (value.modulus.getValueLength() - k);
    // A zero or even modulus is a broken key: refused before any arithmetic.
    if (k == 0 || (n[k - 1] & 1) == 0) return SC_E_PKCS15_KEY_UNSUPPORTED;
    if (std::memcmp(in, n, k) >= 0) return SC_E_INVALID_DATA_VALUE;
    // The library's PKCS#1 key does the arithmetic: the key as it stands, its missing
    // members derived from the primes when the private exponent is not known.
    RSAPrivateKey key(0);
    SCRESULT r = SC_E_PKCS15_KEY_UNSUPPORTED;
    try {
        if (value.isComplete()) {
            if (value.toKey(key) != 1) r = SC_E_NO_MEMORY;
        } else {
            ASNinteger* members[8] = {&key.modulus,  &key.publicExponent, &key.privateExponent, &key.prime1,
                                      &key.prime2,   &key.exponent1,      &key.exponent2,       &key.coefficient};
            for (int i = 0; i < 8; ++i)
                if (value.present[i]) *members[i] = *value.component(i);
        }
        if (r != SC_E_NO_MEMORY && (value.present[2] || key.completeCrt() == 1))
            r = key.privateBlock(in, k, out) == 1 ? 0 : SC_E_PKCS15_KEY_UNSUPPORTED;
    } catch (const std::bad_alloc&) {
        r = SC_E_NO_MEMORY;
    }
    key.clear();
    return r;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::SignInSoftware(uint32_t mechanism, uint32_t hashId, const uint8_t* data,
                                                     uint32_t dataLen, uint8_t* out, uint32_t* outLen) {
    AssertInvariant(outLen != nullptr, kSrc, __LINE__, "outputLen");
    const uint32_t k = SignificantLength(value.modulus);
    if (k == 0) return SC_E_PKCS15_KEY_UNSUPPORTED;
    if (!out) {
        *outLen = k;
        return 0;
    }
    if (*outLen < k) {
        *outLen = k;
        return SC_E_INSUFFICIENT_BUFFER;
    }
    if (!data && dataLen) return SC_E_BAD_PARAMS;
    WipedBlock block;
    if (!block.Allocate(k)) return SC_E_NO_MEMORY;
    switch (mechanism) {
        case SC_SIGN_RAW:
            if (dataLen > k) return SC_E_BAD_PARAMS;
            if (dataLen) std::memcpy(block.data() + (k - dataLen), data, dataLen);
            break;
        case SC_SIGN_PKCS1:
            // 00 01, at least eight FF octets, 00, then the data.
            if (dataLen < 1 || dataLen + 11 > k || !Pkcs1PadBlockType1(block.data(), k, data, static_cast<int>(dataLen)))
                return SC_E_INVALID_DATA_LENGTH;
            break;
        case SC_SIGN_PKCS1_DIGEST: {
            const uint8_t* prefix = nullptr;
            uint32_t prefixLen = 0;
            const uint32_t digestLen = scGetDigestInfo(hashId, &prefix, &prefixLen);
            if (digestLen == 0) return SC_E_UNSUPPORTED_HASH_ALGO;
            if (digestLen + prefixLen + 11 > k || digestLen != dataLen) return SC_E_INVALID_DATA_LENGTH;
            if (!Pkcs1PadBlockType1(block.data(), k - digestLen, prefix, static_cast<int>(prefixLen)))
                return SC_E_INVALID_DATA_LENGTH;
            std::memcpy(block.data() + (k - digestLen), data, digestLen);
            break;
        }
        default:
            return SC_E_UNSUPPORTED_RSA_ALGO;
    }
    SCRESULT r = PrivateOperation(block.data(), out);
    if (r < 0) return r;
    *outLen = k;
    return 0;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::DecryptInSoftware(uint32_t mechanism, const uint8_t* in, uint32_t inLen,
                                                        uint8_t* out, uint32_t* outLen) {
    AssertInvariant(outLen != nullptr, kSrc, __LINE__, "outputLen");
    const uint32_t k = SignificantLength(value.modulus);
    if (k == 0) return SC_E_PKCS15_KEY_UNSUPPORTED;
    if (inLen != k || !in) return SC_E_INVALID_DATA_LENGTH;
    if (mechanism != SC_SIGN_RAW && mechanism != SC_SIGN_PKCS1) return SC_E_UNSUPPORTED_RSA_ALGO;
    WipedBlock block;
    if (!block.Allocate(k)) return SC_E_NO_MEMORY;
    SCRESULT r = PrivateOperation(in, block.data());
    if (r < 0) return r;
    const uint8_t* msg = block.data();
    uint32_t msgLen = k;
    if (mechanism == SC_SIGN_PKCS1) {
        const uint8_t* b = block.data();
        if (k < 11 || b[0] != 0x00 || b[1] != 0x02) return SC_E_CRYPT_ERROR;
        uint32_t i = 2;
        while (i < k && b[i] != 0x00) ++i;
        if (i == k || i - 2 < 8) return SC_E_CRYPT_ERROR;
        msg = b + i + 1;
        msgLen = k - i - 1;
    }
    if (!out) {
        *outLen = msgLen;
        return 0;
    }
    if (msgLen > *outLen) {
        *outLen = msgLen;
        return SC_E_INSUFFICIENT_BUFFER;
    }
    if (msgLen) std::memcpy(out, msg, msgLen);
    *outLen = msgLen;
    return 0;
}

void SCPkcs15PrivateRsaKeyObject::DeleteFromCard(const KeyAddress& addr) {
    // A key file goes by its identifier, a key without a file by its reference (a key
    // deletion: the PIN of the same number stays).
    if (addr.hasFid)
        m_pCard->DeleteFile(addr.fid);
    else if (m_keyReference != 0 && m_keyReference != NO_KEY_REFERENCE)
        m_pCard->DeleteObject(m_keyReference, SC_KEYOBJ_GENERIC);
}

SCRESULT SCPkcs15PrivateRsaKeyObject::ImportKey(uint32_t keyFlags, const uint8_t* modulus, uint32_t modulusLen,
                                                const uint8_t* privateExponent, uint32_t privateExponentLen,
                                                const uint8_t* publicExponent, uint32_t publicExponentLen,
                                                const uint8_t* prime1, uint32_t prime1Len, const uint8_t* prime2,
                                                uint32_t prime2Len, const uint8_t* exponent1, uint32_t exponent1Len,
                                                const uint8_t* exponent2, uint32_t exponent2Len,
                                                const uint8_t* coefficient, uint32_t coefficientLen) {
    if (!m_pCard || m_accessTemplate == ACCESS_TEMPLATE_UNSET || !m_createRefs.HasUserPinRef()) return SC_E_BAD_USAGE;
    const uint32_t nBits = BitLength(modulus, modulusLen), dBits = BitLength(privateExponent, privateExponentLen);
    const uint32_t eBits = BitLength(publicExponent, publicExponentLen);
    const uint32_t pBits = BitLength(prime1, prime1Len), qBits = BitLength(prime2, prime2Len);
    const uint32_t dpBits = BitLength(exponent1, exponent1Len), dqBits = BitLength(exponent2, exponent2Len);
    const uint32_t qiBits = BitLength(coefficient, coefficientLen);
    if (nBits == 0 || eBits == 0) return SC_E_INSUFFICIENT_DATA;
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() == 0) return PathResult();
    if (full.Count() < 2) return SC_E_BAD_USAGE;
    value.clear();
    if (!pBits && !qBits && !dpBits && !dqBits && !qiBits && dBits) keyFlags |= SC_KEYFLAG_PLAIN;
    SCTransactGuard guard(m_pCard);
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    KeyAddress addr;
    SCRESULT r = GetKeyAddress((ci.rsaCaps & SC_RSA_CAP_PRIV_BY_REF) != 0, &addr);
    if (r < 0) return r;
    const uint16_t fidValue = addr.hasFid ? addr.fid : 0;
    auto importAll = [&]() {
        return m_pCard->ImportRsaKey(modulus, nBits, privateExponent, dBits, publicExponent, eBits, prime1, pBits,
                                     prime2, qBits, exponent1, dpBits, exponent2, dqBits, coefficient, qiBits,
                                     fidValue, m_keyReference, keyFlags, m_accessTemplate, &m_createRefs);
    };
    // What this call made, and only that, goes again on a failure: a key that is on the
    // card already is never written over.
    bool created = false, dfCreated = false, imported = false, reverified = false;
    for (;;) {
        r = m_pCard->SelectPath(addr.df.Ids(), addr.df.Count(), nullptr);
        if (r == SC_E_FILE_NOT_FOUND && !addr.hasFid && !dfCreated) {
            r = m_pCard->SelectPath(addr.df.Ids(), addr.df.Count() - 1, nullptr);
            if (r >= 0)
                r = m_pCard->CreateDf(127, addr.df[addr.df.Count() - 1], nullptr, 0, 0, kKeyDfFlags, &m_createRefs,
                                      nullptr);
            if (r >= 0) dfCreated = true;
        }
        if (r >= 0 && !created) {
            SCFileHeader::SafeRelease(m_pFileHeader);
            m_pFileHeader = nullptr;
            if (addr.hasFid) {
                const SCRESULT probe = m_pCard->SelectChildEf(addr.fid);
                if (probe >= 0) r = SC_E_KEY_EXISTS;
                else if (probe != SC_E_FILE_NOT_FOUND) r = probe;
                else r = m_pCard->SelectPath(addr.df.Ids(), addr.df.Count(), nullptr);
            }
            if (r >= 0) {
                const uint32_t kinds[] = {SC_KEYOBJ_RSA_PRIVATE, SC_KEYOBJ_RSA_PRIVATE_ALT, SC_KEYOBJ_GENERIC};
                for (uint32_t kind : kinds) {
                    r = m_pCard->CreateKeyObject(kind, nBits, eBits, fidValue, 0, keyFlags & 0xFFFF,
                                                 m_accessTemplate, &m_createRefs, m_keyReference, nullptr);
                    if (r != SC_E_INVALID_FILE_TYPE) break;
                }
                if (r == SC_E_KEY_EXISTS || r == SC_RESULT_CODE(0xE000000000016A89ULL)) r = SC_E_KEY_EXISTS;
                else if (r >= 0) created = true;
            }
        }
        if (r >= 0) {
            r = SC_E_INVALID_FILE_TYPE;
            if (ci.cardFamily == SC_CARD_TYPE_CLASSIC && nBits && dBits)
                r = m_pCard->ImportRsaKey(modulus, nBits, privateExponent, dBits, publicExponent, eBits, nullptr, 0,
                                          nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, fidValue, m_keyReference,
                                          keyFlags, m_accessTemplate, &m_createRefs);
            if (r < 0 && r != SC_E_ACCESS_DENIED) r = importAll();
            if (r == SC_RESULT_CODE(0xE000000000016A89ULL)) r = SC_E_KEY_EXISTS;
            if (r >= 0) imported = true;
        }
        if (r == SC_E_ACCESS_DENIED && !reverified && ReverifyPossible()) {
            reverified = true;
            SCRESULT v = Reverify(nullptr);
            if (v >= 0) continue;
            r = v;
        }
        break;
    }
    auto rollBack = [&]() {
        if (created && m_pCard->SelectPath(addr.df.Ids(), addr.df.Count(), nullptr) >= 0) DeleteFromCard(addr);
        if (dfCreated && m_pCard->SelectPath(addr.df.Ids(), addr.df.Count() - 1, nullptr) >= 0)
            m_pCard->DeleteFileById(addr.df[addr.df.Count() - 1], SCPath(addr.df.Ids(), addr.df.Count() - 1));
    };
    if (r < 0 || !imported) {
        rollBack();
        return r < 0 ? r : SC_E_CRYPT_ERROR;
    }
    m_flags &= ~(FLAG_LOADED | FLAG_LOAD_TRIED);
    if (ci.cardFamily != SC_CARD_TYPE_CLASSIC) {
        r = Load(true);
        if (r >= 0) {
            m_flags &= ~FLAG_DIRTY;
            m_onCardGenerated = 0;
            return 0;
        }
        if (r != SC_E_UNSUPPORTED_FEATURE && r != SC_E_INVALID_FILE_TYPE) {
            rollBack();
            return r;
        }
    }
    if (!value.setComponents(modulus, modulusLen, publicExponent, publicExponentLen, dBits ? privateExponent : nullptr,
                             privateExponentLen, pBits ? prime1 : nullptr, prime1Len, qBits ? prime2 : nullptr,
                             prime2Len, dpBits ? exponent1 : nullptr, exponent1Len, dqBits ? exponent2 : nullptr,
                             exponent2Len, qiBits ? coefficient : nullptr, coefficientLen)) {
        value.clear();
        rollBack();
        return SC_E_NO_MEMORY;
    }
    m_flags |= FLAG_LOADED | FLAG_LOAD_TRIED;
    m_flags &= ~FLAG_DIRTY;
    m_onCardGenerated = 0;
    return 0;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::Delete() {
    if (!m_pCard) return SC_E_BAD_USAGE;
    SCTransactGuard guard(m_pCard);
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    KeyAddress addr;
    SCRESULT r = GetKeyAddress((ci.rsaCaps & SC_RSA_CAP_PRIV_BY_REF) != 0, &addr);
    if (r < 0) return r;
    // Neither a key file nor a reference: there is nothing to address.
    if (!addr.hasFid && m_keyReference == NO_KEY_REFERENCE) return SC_E_BAD_USAGE;
    for (int attempt = 0; attempt < 2; ++attempt) {
        r = m_pCard->SelectPath(addr.df.Ids(), addr.df.Count(), nullptr);
        if (r >= 0) {
            if (!addr.hasFid) {
                r = m_pCard->DeleteObject(m_keyReference, SC_KEYOBJ_GENERIC);
                if (r >= 0 && ci.cardFamily == SC_CARD_TYPE_CLASSIC) {
                    SCPath parent(addr.df.Ids(), addr.df.Count() - 1);
                    r = m_pCard->DeleteFileById(addr.df[addr.df.Count() - 1], parent);
                    if (r == SC_E_DIR_NOT_EMPTY) r = 0;
                }
            } else {
                r = m_pCard->DeleteFile(addr.fid);
            }
        }
        if (r == SC_E_ACCESS_DENIED && attempt == 0 && ReverifyPossible()) {
            // The key stays: a failed verification is the failure of the deletion.
            SCRESULT v = Reverify(nullptr);
            if (v < 0) return v;
            continue;
        }
        break;
    }
    if (r < 0) return r;
    SCFileHeader::SafeRelease(m_pFileHeader);
    m_pFileHeader = nullptr;
    m_flags |= FLAG_LOAD_TRIED;
    m_flags &= ~FLAG_LOADED;
    m_lastResult = SC_E_FILE_NOT_FOUND;
    return 0;
}

SCRESULT SCPkcs15PrivateRsaKeyObject::GetFileSize() {
    if (!m_pFileHeader) {
        if (IsKnownAbsent()) return 0;
        if (!IsLoaded()) {
            SCRESULT r = Load(false);
            if (r == SC_E_FILE_NOT_FOUND) return 0;
        }
        if (!m_pFileHeader) {
            MemFile encoded;
            if (IsLoaded() && m_valueState > 0 && Encode(&encoded) > 0) return static_cast<SCRESULT>(encoded.Size());
            return -1;
        }
    }
    if (m_pFileHeader->GetFileType() != SC_FT_KEY_FILE) return m_pFileHeader->GetFileSize() & 0xFFFF;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    if (m_record && ci.cardFamily == SC_CARD_TYPE_CLASSIC) {
        const long b = (m_record->getKeySizeBits() + 7) / 8;
        return b / 2 + 2 * b + 40;
    }
    MemFile encoded;
    if (IsLoaded() && m_valueState > 0 && Encode(&encoded) > 0) return static_cast<SCRESULT>(encoded.Size());
    return -1;
}
