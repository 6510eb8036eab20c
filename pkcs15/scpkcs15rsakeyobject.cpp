#include "pkcs15/scpkcs15rsakeyobject.h"

#include <cstring>
#include <new>
#include <vector>

#include "lib/libasn/x509/spkinfo.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvnumbers/qvn.h"
#include "libtorvapp/qvrsacipher.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15objectlist.h"
#include "smartcard/sc_digestinfo.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"
#include "support/vtest.h"

namespace {

const char kSrc[] = "pkcs15/scpkcs15rsakeyobject.cpp";
const uint8_t kDefaultExponent[3] = {0x01, 0x00, 0x01};
// A DF for keys guards every operation; the user PIN makes keys in it.
constexpr uint32_t kKeyDfFlags = 0x80000025u;

// A byte buffer that is overwritten with zeros before it goes.
struct WipedBytes {
    std::vector<uint8_t> b;
    explicit WipedBytes(size_t n) : b(n, 0) {}
    ~WipedBytes() {
        volatile uint8_t* p = b.data();
        for (size_t i = 0; i < b.size(); ++i) p[i] = 0;
    }
    uint8_t* data() { return b.data(); }
};


}  // namespace

SCPkcs15RsaKeyObject::SCPkcs15RsaKeyObject(SCCard* card) : SCPkcs15KeyObject(card, KEY_RSA) {}

SCPkcs15RsaKeyObject::~SCPkcs15RsaKeyObject() = default;

uint32_t SCPkcs15RsaKeyObject::SignificantLength(const ASNinteger& v) {
    uint32_t len = 0;
    ScPkcs15Magnitude(v, &len);
    return len;
}

SCRESULT SCPkcs15RsaKeyObject::PathResult() const { return m_path.Count() == 0 ? SC_E_BAD_USAGE : SC_E_NO_MEMORY; }

SCRESULT SCPkcs15RsaKeyObject::GetKeyAddress(bool byReference, KeyAddress* out) {
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() == 0) return PathResult();
    if (full.Count() < 2) return SC_E_BAD_USAGE;
    if (byReference) {
        out->df = full;
        out->fid = 0;
        out->hasFid = false;
    } else {
        out->df = SCPath(full.Ids(), full.Count() - 1);
        out->fid = full[full.Count() - 1];
        out->hasFid = true;
    }
    return 0;
}

void SCPkcs15RsaKeyObject::Reset(bool full) { SCPkcs15PathObjectInfo::Reset(full); }

SCRESULT SCPkcs15RsaKeyObject::Load(bool force) {
    m_flags &= ~FLAG_LOADED;
    if (!m_pCard) return m_lastResult = SC_E_BAD_USAGE;
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() == 0) return m_lastResult = PathResult();
    if (!force && IsKnownAbsent()) return SC_E_FILE_NOT_FOUND;
    m_flags |= FLAG_LOAD_TRIED;
    m_onCardGenerated = 0;
    m_valueState = VALUE_UNKNOWN;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    SCTransactGuard guard(m_pCard);
    SCRESULT res = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCPath tracked;
        res = ReadFileHeader(full.Ids(), static_cast<uint16_t>(full.Count()), &tracked,
                             m_pFileHeader ? nullptr : &m_pFileHeader);
        if (res >= 0) {
            const uint32_t ft = m_pFileHeader ? m_pFileHeader->GetFileType() : SC_FT_NONE;
            if (m_pFileHeader && m_keyReference == NO_KEY_REFERENCE && m_pFileHeader->GetKeyRef() != 0)
                m_keyReference = m_pFileHeader->GetKeyRef();
            const bool cardKey = (ft == SC_FT_KEY_FILE && m_keyReference != NO_KEY_REFERENCE) ||
                                 (ft == SC_FT_CLASSIC_KEY && ci.cardFamily == SC_CARD_TYPE_CLASSIC) ||
                                 (ft >= SC_KEYOBJ_GENERIC && ft <= SC_KEYOBJ_RSA_PRIVATE_ALT);
            if (cardKey) {
                m_valueState = VALUE_ON_CARD_ONLY;
                res = ReloadPublicPart();
            } else if (ft == SC_FT_KEY_FILE) {
                res = SC_E_NOT_FILE;
            } else if (ft != SC_FT_NONE && ft != SC_FT_TRANSPARENT) {
                res = SC_E_INVALID_FILE_TYPE;
            } else {
                MemFile file;
                res = ReadFileData(&file);
                if (res >= 0) {
                    ClearContents();
                    file.Seek(0);
                    const int64_t size = file.Size();
                    SCRESULT p = Parse(&file, static_cast<uint32_t>(size > 0 ? size : 0));
                    if (p < 0)
                        res = (ft == SC_FT_NONE && p == SC_E_INVALID_DATA_FORMAT) ? SC_E_INVALID_FILE_TYPE : p;
                    else if (p == 0 && ft == SC_FT_NONE)
                        res = SC_E_INVALID_FILE_TYPE;
                    else {
                        m_onCardGenerated = 0;
                        res = 0;
                    }
                }
            }
        }
        if (res == SC_E_ACCESS_DENIED && attempt == 0 && ReverifyPossible()) {
            SCRESULT v = Reverify(nullptr);
            if (v < 0) {
                res = v;
                break;
            }
            continue;
        }
        break;
    }
    if (res >= 0) {
        m_flags &= ~FLAG_DIRTY;
        m_flags |= FLAG_LOADED;
        res = 0;
    }
    m_lastResult = res;
    return res;
}

SCRESULT SCPkcs15RsaKeyObject::ReadPublicKeyFromCard(ASNinteger& modulus, ASNinteger& publicExponent) {
    AssertInvariant(m_pCard != nullptr, kSrc, __LINE__, "m_pCard");
    SCTransactGuard guard(m_pCard);
    std::vector<uint8_t> n(1024), e(1024);
    uint32_t nLen = 1024, eLen = 1024, bits = 0;
    SCRESULT rv = m_pCard->ReadRsaPublicKey(&nLen, &eLen, n.data(), e.data(), &bits, m_keyReference);
    if (rv == SC_E_INSUFFICIENT_BUFFER) {
        // The card has said how much it needs; the same key is asked again.
        try {
            if (nLen > n.size()) n.resize(nLen);
            if (eLen > e.size()) e.resize(eLen);
        } catch (const std::bad_alloc&) {
            return m_lastResult = SC_E_NO_MEMORY;
        }
        nLen = static_cast<uint32_t>(n.size());
        eLen = static_cast<uint32_t>(e.size());
        rv = m_pCard->ReadRsaPublicKey(&nLen, &eLen, n.data(), e.data(), &bits, m_keyReference);
        AssertInvariant(rv != SC_E_INSUFFICIENT_BUFFER, kSrc, __LINE__, "rv != (long)SC_E_INSUFFICIENT_BUFFER");
    }
    if (rv >= 0 && (nLen == 0 || eLen == 0)) rv = SC_E_KEY_CONTAINS_NO_DATA;
    if (rv >= 0) {
        // This card layer reports the modulus size, not how the key was made:
        // the generated flag is left as the caller set it.
        if (!modulus.setUnsigned(n.data(), nLen) || !publicExponent.setUnsigned(e.data(), eLen)) rv = SC_E_NO_MEMORY;
        else rv = 0;
    }
    m_lastResult = rv;
    return rv;
}

SCRESULT SCPkcs15RsaKeyObject::RsaModExp(const ASNinteger& modulus, const ASNinteger& exponent, const uint8_t* in,
                                         uint8_t* out) {
    uint32_t nLen = 0, eLen = 0;
    const uint8_t* n = ScPkcs15Magnitude(modulus, &nLen);
    const uint8_t* e = ScPkcs15Magnitude(exponent, &eLen);
    if (!n || !e) return SC_E_PKCS15_KEY_UNSUPPORTED;
    // An RSA modulus is odd: a zero or even one is a broken key, refused before
    // any arithmetic is set up on it.
    if (nLen == 0 || (n[nLen - 1] & 1) == 0) return SC_E_PKCS15_KEY_UNSUPPORTED;
    if (!in || !out) return SC_E_BAD_PARAMS;
    // A block that is not below the modulus is no RSA input: refusing it keeps the
    // result from silently standing for a different value.
    if (std::memcmp(in, n, nLen) >= 0) return SC_E_INVALID_DATA_VALUE;
    try {
        // The library's RSA key and raw cipher do the arithmetic.
        QvRsaPublicKey key(QvN(n, nLen, 0), QvN(e, eLen, 0));
        QvRsaCipher cipher;
        cipher.setPublicKey(&key);
        if (cipher.encryptWithLabel(in, nLen, nullptr, 0, out, nLen) != nLen) return SC_E_PKCS15_KEY_UNSUPPORTED;
        return 0;
    } catch (const QvMemException&) {
        return SC_E_NO_MEMORY;
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    } catch (const QvException&) {
        return SC_E_PKCS15_KEY_UNSUPPORTED;
    }
}

SCRESULT SCPkcs15RsaKeyObject::RsaPublicOperation(uint32_t mechanism, const ASNinteger& modulus,
                                                  const ASNinteger& exponent, const uint8_t* in, uint32_t inLen,
                                                  uint8_t* out) {
    if (mechanism != SC_SIGN_RAW) return SC_E_UNSUPPORTED_RSA_ALGO;
    if (inLen != SignificantLength(modulus)) return SC_E_INCONSISTENT_DATA;
    return RsaModExp(modulus, exponent, in, out);
}

const uint8_t* SCPkcs15RsaKeyObject::Pkcs1UnpadBlockType1(const uint8_t* block, uint32_t len) {
    if (!block || len < 11 || block[0] != 0x00 || block[1] != 0x01) return nullptr;
    uint32_t i = 2;
    while (i < len && block[i] == 0xFF) ++i;
    // At least eight FF octets, then the 00 separator.
    if (i == len || i - 2 < 8 || block[i] != 0x00) return nullptr;
    return block + i + 1;
}

SCRESULT SCPkcs15RsaKeyObject::RsaVerifyRecover(uint32_t mechanism, uint32_t hashId, const ASNinteger& modulus,
                                                const ASNinteger& exponent, const uint8_t* signature, uint8_t* out) {
    const uint32_t k = SignificantLength(modulus);
    if (k == 0) return SC_E_PKCS15_KEY_UNSUPPORTED;
    if (mechanism != SC_SIGN_RAW && mechanism != SC_SIGN_PKCS1 && mechanism != SC_SIGN_PKCS1_DIGEST)
        return SC_E_UNSUPPORTED_RSA_ALGO;
    WipedBytes work(k);
    SCRESULT r = RsaModExp(modulus, exponent, signature, work.data());
    if (r < 0) return r;
    if (mechanism == SC_SIGN_RAW) {
        std::memcpy(out, work.data(), k);
        return k;
    }
    const uint8_t* data = Pkcs1UnpadBlockType1(work.data(), k);
    if (!data) return SC_E_PKCS15_DIFFERENT;
    uint32_t len = k - static_cast<uint32_t>(data - work.data());
    if (mechanism == SC_SIGN_PKCS1_DIGEST) {
        const uint8_t* prefix = nullptr;
        uint32_t prefixLen = 0;
        const uint32_t digestLen = hashId ? scGetDigestInfo(hashId, &prefix, &prefixLen) : 0;
        if (digestLen == 0 || scGetHashIdFromDigestInfo(data, len) != hashId || len != prefixLen + digestLen)
            return SC_E_PKCS15_DIFFERENT;
        data += prefixLen;
        len = digestLen;
    }
    std::memmove(out, data, len);
    return len;
}

SCRESULT SCPkcs15RsaKeyObject::RsaVerify(uint32_t mechanism, uint32_t hashId, const ASNinteger& modulus,
                                         const ASNinteger& exponent, const uint8_t* signature,
                                         const uint8_t* expected, uint32_t expectedLen) {
    const uint32_t k = SignificantLength(modulus);
    if (k == 0) return SC_E_PKCS15_KEY_UNSUPPORTED;
    WipedBytes recovered(k);
    SCRESULT r = RsaVerifyRecover(mechanism, hashId, modulus, exponent, signature, recovered.data());
    if (r < 0) return r;
    // A raw input shorter than the modulus is the same number with leading zeros.
    uint32_t skip = 0;
    if (mechanism == SC_SIGN_RAW && expectedLen < static_cast<uint32_t>(r)) {
        skip = static_cast<uint32_t>(r) - expectedLen;
        if (!IsAllZero(recovered.data(), skip)) return SC_E_PKCS15_DIFFERENT;
    }
    if (static_cast<uint32_t>(r) - skip == expectedLen &&
        (expectedLen == 0 || std::memcmp(recovered.data() + skip, expected, expectedLen) == 0))
        return 0;
    return SC_E_PKCS15_DIFFERENT;
}

bool SCPkcs15RsaKeyObject::IsAllZero(const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (data[i] != 0) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Key-pair generation on the card.

namespace {

// A key exists already where a new one was to be made.
bool IsKeyExists(SCRESULT r) { return r == SC_E_KEY_EXISTS || r == SC_RESULT_CODE(0xE000000000016A89ULL); }

SCRESULT CreateKeyWithFallbacks(SCCard* card, const uint32_t* kinds, size_t nKinds, uint32_t modulusBits,
                                uint32_t exponentBits, uint16_t fid, uint32_t keyFlags, uint32_t fileType,
                                const SCFileHeaderList* refs, uint32_t keyRef, uint32_t* usedKind) {
    SCRESULT r = SC_E_INVALID_FILE_TYPE;
    for (size_t i = 0; i < nKinds; ++i) {
        *usedKind = kinds[i];
        r = card->CreateKeyObject(kinds[i], modulusBits, exponentBits, fid, 0, keyFlags & 0xFFFF, fileType, refs,
                                  keyRef, nullptr);
        if (r != SC_E_INVALID_FILE_TYPE) break;
    }
    // A key of that file or reference exists: it is never replaced.
    if (IsKeyExists(r)) r = SC_E_KEY_EXISTS;
    return r;
}

}  // namespace

SCRESULT SCPkcs15RsaKeyObject::SetGeneratedParts(SCPkcs15RsaKeyObject* pPrivatePart, SCPkcs15RsaKeyObject* pPublicPart,
                                                 const ASNinteger& n, const ASNinteger& e) {
    pPrivatePart->ClearValue();
    SCRESULT r = pPrivatePart->StorePublicPart(n, e);
    if (r >= 0 && pPublicPart) {
        pPublicPart->ClearValue();
        r = pPublicPart->StorePublicPart(n, e);
    }
    if (r < 0) return r;
    pPrivatePart->m_onCardGenerated = 1;
    pPrivatePart->m_valueState = VALUE_ON_CARD_ONLY;
    pPrivatePart->m_flags |= FLAG_LOADED | FLAG_LOAD_TRIED;
    pPrivatePart->m_flags &= ~FLAG_DIRTY;
    pPrivatePart->m_lastResult = 0;
    if (pPublicPart) {
        pPublicPart->m_onCardGenerated = 1;
        pPublicPart->m_flags |= FLAG_LOADED | FLAG_LOAD_TRIED;
        pPublicPart->m_lastResult = 0;
    }
    return 0;
}

SCRESULT SCPkcs15RsaKeyObject::GenerateKeyPair(SCPkcs15RsaKeyObject* pPrivatePart, SCPkcs15RsaKeyObject* pPublicPart,
                                               uint32_t modulusBits, const uint8_t* publicExponent,
                                               uint32_t publicExponentLen, uint32_t keyFlags) {
    AssertInvariant(pPrivatePart != nullptr, kSrc, __LINE__, "pPrivatePart");
    AssertInvariant(pPrivatePart->m_pCard != nullptr, kSrc, __LINE__, "pPrivatePart->m_pCard");
    AssertInvariant(pPrivatePart->m_pPkcs15App != nullptr, kSrc, __LINE__, "pPrivatePart->m_pPkcs15App");
    AssertInvariant(!pPublicPart || pPublicPart->m_pCard == pPrivatePart->m_pCard, kSrc, __LINE__,
                    "!pPublicPart || (pPublicPart->m_pCard == pPrivatePart->m_pCard)");
    AssertInvariant(!pPublicPart || pPublicPart->m_pPkcs15App == pPrivatePart->m_pPkcs15App, kSrc, __LINE__,
                    "!pPublicPart || (pPublicPart->m_pPkcs15App == pPrivatePart->m_pPkcs15App)");
    SCCard* card = pPrivatePart->m_pCard;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    card->GetCardInfo(&ci);
    if (!(ci.rsaCaps & SC_RSA_CAP_GENERATE)) return SC_E_UNSUPPORTED_FEATURE;
    if (ci.cardFamily != SC_CARD_TYPE_IAS)
        AssertInvariant(pPublicPart || !(ci.rsaCaps & SC_RSA_CAP_NEED_PUB), kSrc, __LINE__,
                        "pPublicPart || !(ci.rsaCaps & SC_RSA_CAP_NEED_PUB)");
    for (SCPkcs15RsaKeyObject* part : {pPrivatePart, pPublicPart}) {
        if (part && (part->m_accessTemplate == ACCESS_TEMPLATE_UNSET || !part->m_createRefs.HasUserPinRef()))
            return SC_E_BAD_USAGE;
    }
    const uint8_t* exp = publicExponent;
    uint32_t expLen = publicExponentLen, expBits = publicExponentLen * 8;
    if (!exp || expLen == 0) {
        exp = kDefaultExponent;
        expLen = 3;
        expBits = 17;
    }
    if (ci.cardFamily == SC_CARD_TYPE_IAS)
        return GenerateIasKeyPair(pPrivatePart, pPublicPart, modulusBits, exp, expBits, keyFlags, ci);
    KeyAddress priv, pub;
    SCRESULT r = pPrivatePart->GetKeyAddress((ci.rsaCaps & SC_RSA_CAP_PRIV_BY_REF) != 0, &priv);
    if (r < 0) return r;
    const uint8_t privRef = pPrivatePart->m_keyReference;
    uint8_t pubRef = NO_KEY_REFERENCE;
    bool otherDf = false;
    if (pPublicPart) {
        r = pPublicPart->GetKeyAddress((ci.rsaCaps & SC_RSA_CAP_PUB_BY_REF) != 0, &pub);
        if (r < 0) return r;
        pubRef = pPublicPart->m_keyReference;
        otherDf = !pub.df.IsEqual(priv.df);
    }
    SCTransactGuard guard(card);
    // A card that keeps no public key objects gets its public value as a file.
    bool pubAsFile = !pPublicPart || !(ci.rsaCaps & SC_RSA_CAP_PUBKEY_OBJECTS);
    bool privCreated = false, pubCreated = false, generated = false, dfCreated = false;
    ASNinteger n, e;
    for (int attempt = 0; attempt < 2; ++attempt) {
        r = card->SelectPath(priv.df.Ids(), priv.df.Count(), nullptr);
        if (r == SC_E_FILE_NOT_FOUND && !priv.hasFid && !dfCreated) {
            r = card->SelectPath(priv.df.Ids(), priv.df.Count() - 1, nullptr);
            if (r >= 0)
                r = card->CreateDf(127, priv.df[priv.df.Count() - 1], nullptr, 0, 0, kKeyDfFlags,
                                   &pPrivatePart->m_createRefs, nullptr);
            if (r >= 0) dfCreated = true;
        }
        if (r >= 0 && !privCreated) {
            SCFileHeader::SafeRelease(pPrivatePart->m_pFileHeader);
            pPrivatePart->m_pFileHeader = nullptr;
            const uint32_t kinds[] = {SC_KEYOBJ_RSA_PRIVATE, SC_KEYOBJ_RSA_PRIVATE_ALT, SC_KEYOBJ_GENERIC};
            uint32_t used = 0;
            r = CreateKeyWithFallbacks(card, kinds, 3, modulusBits, expBits, priv.fid, keyFlags,
                                       pPrivatePart->m_accessTemplate, &pPrivatePart->m_createRefs, privRef, &used);
            if (r >= 0) privCreated = true;
        }
        if (r >= 0 && !pubCreated && !pubAsFile) {
            if (otherDf && pub.fid == 0) {
                SCRESULT f = card->FindFreeFileId(pub.df.Ids(), pub.df.Count(), 0x7000);
                if (f < 0) r = f;
                else pub.fid = static_cast<uint16_t>(f);
            }
            if (r >= 0 && otherDf) r = card->SelectPath(pub.df.Ids(), pub.df.Count(), nullptr);
            if (r >= 0) {
                const uint32_t kinds[] = {SC_KEYOBJ_RSA_PUBLIC, SC_KEYOBJ_GENERIC};
                uint32_t used = 0;
                r = CreateKeyWithFallbacks(card, kinds, 2, modulusBits, expBits, pub.fid, 0,
                                           pPublicPart->m_accessTemplate, &pPublicPart->m_createRefs, pubRef, &used);
                if (r == SC_E_INVALID_FILE_TYPE) {
                    pubAsFile = true;
                    r = 0;
                } else if (r >= 0) {
                    pubCreated = true;
                }
                // Creating moved the selection away from the private DF.
                if (r >= 0) r = card->SelectPath(priv.df.Ids(), priv.df.Count(), nullptr);
            }
        }
        if (r >= 0 && !generated) {
            SCByteBuffer nOut, eOut;
            r = card->GenerateKeyPair(modulusBits, priv.fid, pubCreated ? pub.fid : 0, privRef,
                                      pubCreated ? pubRef : NO_KEY_REFERENCE, expBits, exp, &nOut, &eOut);
            if (r >= 0) {
                generated = true;
                const bool haveN = nOut.Data() && nOut.Size() && !IsAllZero(nOut.Data(), nOut.Size());
                const bool haveE = eOut.Data() && eOut.Size() && !IsAllZero(eOut.Data(), eOut.Size());
                if (haveN && haveE) {
                    if (!n.setUnsigned(nOut.Data(), static_cast<long>(nOut.Size())) ||
                        !e.setUnsigned(eOut.Data(), static_cast<long>(eOut.Size())))
                        r = SC_E_NO_MEMORY;
                } else {
                    // The card did not hand the public part over: read it back.
                    r = SC_E_INVALID_FILE_TYPE;
                    if (ci.rsaCaps & SC_RSA_CAP_PUB_FROM_PRIVATE) {
                        r = priv.hasFid ? card->SelectChildEf(priv.fid) : 0;
                        if (r >= 0) r = pPrivatePart->ReadPublicKeyFromCard(n, e);
                    }
                    if (r == SC_E_INVALID_FILE_TYPE && pubCreated) {
                        r = card->SelectPath(pub.df.Ids(), pub.df.Count(), nullptr);
                        if (r >= 0) r = card->SelectChildEf(pub.fid);
                        if (r >= 0) r = pPublicPart->ReadPublicKeyFromCard(n, e);
                    }
                }
            }
        }
        if (r >= 0 && pubCreated && otherDf) {
            // A public key object in another DF only served the generation: its value becomes a file.
            r = card->SelectPath(pub.df.Ids(), pub.df.Count(), nullptr);
            if (r >= 0) r = card->DeleteFile(pub.fid);
            if (r >= 0) {
                pubCreated = false;
                pubAsFile = true;
            }
        }
        if (r == SC_E_ACCESS_DENIED && attempt == 0) {
            SCRESULT v = pPrivatePart->ReverifyPossible() ? pPrivatePart->Reverify(nullptr) : SC_E_ACCESS_DENIED;
            if (v >= 0) continue;
            r = v;
        }
        break;
    }
    if (r >= 0) r = SetGeneratedParts(pPrivatePart, pPublicPart, n, e);
    if (r >= 0 && pPublicPart) {
        auto* pubObj = dynamic_cast<SCPkcs15PublicRsaKeyObject*>(pPublicPart);
        const bool asFile = pubAsFile || (otherDf && !(ci.rsaCaps & 0xA0));
        pPublicPart->m_valueState = asFile ? VALUE_PKCS15_OR_PUBLIC : VALUE_ON_CARD_ONLY;
        if (otherDf || pubAsFile) {
            pPublicPart->m_flags |= FLAG_DIRTY;
            if (pubObj) {
                r = pubObj->WritePublicKey(nullptr, 0, nullptr, 0);
                if (r == SC_E_INVALID_FILE_TYPE) {
                    pubObj->m_valueState = VALUE_PKCS15_OR_PUBLIC;
                    r = pubObj->WritePublicKey(nullptr, 0, nullptr, 0);
                }
                pubObj->m_onCardGenerated = 1;
            }
        } else {
            pPublicPart->m_flags &= ~FLAG_DIRTY;
        }
    }
    if (r >= 0) return 0;
    // Nothing this call made is left behind on the card, and nothing else goes.
    if (pubCreated && pub.fid != 0 && card->SelectPath(pub.df.Ids(), pub.df.Count(), nullptr) >= 0)
        card->DeleteFile(pub.fid);
    if (privCreated && card->SelectPath(priv.df.Ids(), priv.df.Count(), nullptr) >= 0) {
        // A key without a file of its own is deleted by its reference.
        if (!priv.hasFid || priv.fid == 0) {
            if (privRef != 0 && privRef != NO_KEY_REFERENCE) card->DeleteObject(privRef, SC_KEYOBJ_GENERIC);
        } else {
            card->DeleteFile(priv.fid);
        }
    }
    if (dfCreated && card->SelectPath(priv.df.Ids(), priv.df.Count() - 1, nullptr) >= 0)
        card->DeleteFileById(priv.df[priv.df.Count() - 1], SCPath(priv.df.Ids(), priv.df.Count() - 1));
    return r;
}

SCRESULT SCPkcs15RsaKeyObject::GenerateIasKeyPair(SCPkcs15RsaKeyObject* pPrivatePart,
                                                  SCPkcs15RsaKeyObject* pPublicPart, uint32_t modulusBits,
                                                  const uint8_t* exp, uint32_t expBits, uint32_t keyFlags,
                                                  const SCCardInfo& ci) {
    SCCard* card = pPrivatePart->m_pCard;
    const uint8_t keyRef = pPrivatePart->m_keyReference;
    if (keyRef < 1 || keyRef > 254) return SC_E_BAD_USAGE;
    SCPath privFull;
    if (!pPrivatePart->GetFullPathInto(privFull)) return SC_E_NO_MEMORY;
    if (!privFull.HasDfName() && privFull.Count() < 2) return SC_E_BAD_USAGE;
    if (pPublicPart) {
        SCPath pubFull;
        if (!pPublicPart->GetFullPathInto(pubFull)) return SC_E_NO_MEMORY;
        if (!pubFull.HasDfName() && pubFull.Count() < 2) return SC_E_BAD_USAGE;
    }
    // Keys live in the DF by their reference.
    KeyAddress priv;
    SCRESULT r = pPrivatePart->GetKeyAddress((ci.rsaCaps & SC_RSA_CAP_PRIV_BY_REF) != 0, &priv);
    if (r < 0) return r;
    SCTransactGuard guard(card);
    bool created = false, generated = false, dfCreated = false;
    ASNinteger n, e;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCPath tracked;
        r = priv.df.HasDfName() ? pPrivatePart->SelectApplication(priv.df, &tracked, nullptr)
                                : card->SelectPath(priv.df.Ids(), priv.df.Count(), nullptr);
        if (r == SC_E_FILE_NOT_FOUND && !dfCreated) {
            if (priv.df.Count() == 0) return SC_E_PKCS15_UNSUPPORTED_PROFILE;
            r = card->SelectPath(priv.df.Ids(), priv.df.Count() - 1, nullptr);
            if (r >= 0)
                r = card->CreateDf(127, priv.df[priv.df.Count() - 1], nullptr, 0, 0, kKeyDfFlags,
                                   &pPrivatePart->m_createRefs, nullptr);
            if (r >= 0) dfCreated = true;
        }
        if (r >= 0 && !created) {
            SCFileHeader::SafeRelease(pPrivatePart->m_pFileHeader);
            pPrivatePart->m_pFileHeader = nullptr;
            r = card->CreateKeyObject(SC_KEYOBJ_GENERIC, modulusBits, expBits, 0, 0, keyFlags & 0xFFFF,
                                      pPrivatePart->m_accessTemplate, &pPrivatePart->m_createRefs, keyRef, nullptr);
            // An existing key under this reference is never replaced.
            if (IsKeyExists(r)) r = SC_E_KEY_EXISTS;
            if (r >= 0) created = true;
        }
        if (r >= 0 && !generated) {
            SCByteBuffer nOut, eOut;
            r = card->GenerateKeyPair(modulusBits, 0, 0, keyRef, keyRef, expBits, exp, &nOut, &eOut);
            if (r >= 0) {
                generated = true;
                const bool haveN = nOut.Data() && nOut.Size() && !IsAllZero(nOut.Data(), nOut.Size());
                const bool haveE = eOut.Data() && eOut.Size() && !IsAllZero(eOut.Data(), eOut.Size());
                if (haveN && haveE) {
                    if (!n.setUnsigned(nOut.Data(), static_cast<long>(nOut.Size())) ||
                        !e.setUnsigned(eOut.Data(), static_cast<long>(eOut.Size())))
                        r = SC_E_NO_MEMORY;
                } else {
                    r = card->SelectPath(priv.df.Ids(), priv.df.Count(), nullptr);
                    if (r >= 0) r = pPrivatePart->ReadPublicKeyFromCard(n, e);
                }
            }
        }
        if (r == SC_E_ACCESS_DENIED && attempt == 0) {
            SCRESULT v = pPrivatePart->ReverifyPossible() ? pPrivatePart->Reverify(nullptr) : SC_E_ACCESS_DENIED;
            if (v >= 0) continue;
            r = v;
        }
        break;
    }
    if (r >= 0) r = SetGeneratedParts(pPrivatePart, pPublicPart, n, e);
    if (r >= 0 && pPublicPart) {
        pPublicPart->m_valueState = VALUE_PKCS15_OR_PUBLIC;
        pPublicPart->m_flags |= FLAG_DIRTY;
        if (auto* pubObj = dynamic_cast<SCPkcs15PublicRsaKeyObject*>(pPublicPart)) {
            r = pubObj->WritePublicKey(nullptr, 0, nullptr, 0);
            pubObj->m_onCardGenerated = 1;
        }
    }
    if (r >= 0) return 0;
    if (created && card->SelectPath(priv.df.Ids(), priv.df.Count(), nullptr) >= 0)
        card->DeleteObject(keyRef, SC_KEYOBJ_GENERIC);
    if (dfCreated && card->SelectPath(priv.df.Ids(), priv.df.Count() - 1, nullptr) >= 0)
        card->DeleteFileById(priv.df[priv.df.Count() - 1], SCPath(priv.df.Ids(), priv.df.Count() - 1));
    return r;
}

// ---------------------------------------------------------------------------
// Public RSA key object.

SCPkcs15PublicRsaKeyObject::SCPkcs15PublicRsaKeyObject(SCCard* card)
    : SCPkcs15RsaKeyObject(card), value(0), m_record(nullptr) {}

SCPkcs15PublicRsaKeyObject::~SCPkcs15PublicRsaKeyObject() = default;

SCRESULT SCPkcs15PublicRsaKeyObject::Parse(MemFile* in, uint32_t len) {
    m_valueState = VALUE_UNKNOWN;
    const int64_t start = in->Tell();
    SCRESULT r = DecodeAsn(value, in, len);
    if (r > 0) {
        m_valueState = VALUE_PKCS15_OR_PUBLIC;
        return r;
    }
    if (r != SC_E_INVALID_DATA_FORMAT) return r;
    for (int32_t state : {VALUE_SPKI_IMPLICIT, VALUE_SPKI_EXPLICIT}) {
        in->Seek(static_cast<long>(start));
        SubPubKeyInfo spki(0xA1);
        if (state == VALUE_SPKI_EXPLICIT) spki.setExplicitTag();
        r = DecodeAsn(spki, in, len);
        if (r == SC_E_INVALID_DATA_FORMAT) continue;
        if (r < 0) return r;
        RSAPublicKey key(0);
        if (!spki.isRsaKey() || spki.getPublicKey(&key, nullptr) != 1) return SC_E_INVALID_DATA_FORMAT;
        value = key;
        m_valueState = state;
        return r;
    }
    return r;
}

void SCPkcs15PublicRsaKeyObject::ClearContents() { value.clear(); }

SCRESULT SCPkcs15PublicRsaKeyObject::Encode(MemFile* out) {
    if (m_valueState == VALUE_SPKI_IMPLICIT || m_valueState == VALUE_SPKI_EXPLICIT) {
        SubPubKeyInfo spki(0xA1);
        if (m_valueState == VALUE_SPKI_EXPLICIT) spki.setExplicitTag();
        if (spki.setRsaPublicKey(value) != 1) return SC_E_NO_MEMORY;
        return EncodeAsn(spki, out);
    }
    return EncodeAsn(value, out);
}

void SCPkcs15PublicRsaKeyObject::Reset(bool full) {
    m_record = nullptr;
    SCPkcs15RsaKeyObject::Reset(full);
}

SCRESULT SCPkcs15PublicRsaKeyObject::StorePublicPart(const ASNinteger& modulus, const ASNinteger& publicExponent) {
    try {
        value.setModulus(modulus);
        value.setPublicExponent(publicExponent);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    return 0;
}

SCRESULT SCPkcs15PublicRsaKeyObject::ReloadPublicPart() {
    value.clear();
    ASNinteger n, e;
    SCRESULT r = ReadPublicKeyFromCard(n, e);
    if (r < 0) return r;
    return StorePublicPart(n, e);
}

SCRESULT SCPkcs15PublicRsaKeyObject::WritePublicKey(const uint8_t* modulus, uint32_t modulusLen,
                                                    const uint8_t* publicExponent, uint32_t publicExponentLen) {
    if (!m_pCard || m_accessTemplate == ACCESS_TEMPLATE_UNSET || !m_createRefs.HasUserPinRef()) return SC_E_BAD_USAGE;
    const bool given = modulus || modulusLen || publicExponent || publicExponentLen;
    const uint8_t* n = modulus;
    const uint8_t* e = publicExponent;
    uint32_t nLen = modulusLen, eLen = publicExponentLen;
    if (!given) {
        n = ScPkcs15Magnitude(value.modulus, &nLen);
        e = ScPkcs15Magnitude(value.publicExponent, &eLen);
    }
    const uint32_t nBits = BitLength(n, nLen), eBits = BitLength(e, eLen);
    if (nBits == 0 || eBits == 0) return SC_E_INSUFFICIENT_DATA;
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() == 0) return PathResult();
    if (full.Count() < 2) return SC_E_BAD_USAGE;
    // Copies: the value members may be what n and e point into.
    std::vector<uint8_t> nCopy(n, n + nLen), eCopy(e, e + eLen);
    if (m_valueState == VALUE_UNKNOWN) {
        SCCardInfo ci;
        std::memset(&ci, 0, sizeof ci);
        m_pCard->GetCardInfo(&ci);
        m_valueState = (ci.rsaCaps & SC_RSA_CAP_PUBKEY_OBJECTS) ? VALUE_ON_CARD_ONLY : VALUE_PKCS15_OR_PUBLIC;
    }
    if (m_valueState != VALUE_ON_CARD_ONLY) {
        if (!value.setModulusBytes(nCopy.data(), nLen) || !value.setPublicExponentBytes(eCopy.data(), eLen))
            return SC_E_NO_MEMORY;
        return Write(nullptr, 0, nullptr);
    }
    const uint16_t fid = full[full.Count() - 1];
    SCTransactGuard guard(m_pCard);
    bool created = false;
    SCRESULT r = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        r = m_pCard->SelectPath(full.Ids(), full.Count() - 1, nullptr);
        if (r >= 0) {
            SCFileHeader::SafeRelease(m_pFileHeader);
            m_pFileHeader = nullptr;
            r = m_pCard->WriteRsaPublicKey(nCopy.data(), nBits, eCopy.data(), eBits, fid, m_keyReference, 0,
                                           m_accessTemplate, &m_createRefs);
            if (r >= 0 || r == SC_E_UNSUPPORTED_EXPONENT) break;
            if (r != SC_E_ACCESS_DENIED && !created) {
                r = m_pCard->CreateKeyObject(SC_KEYOBJ_RSA_PUBLIC, nBits, eBits, fid, m_lifeCycleState, 0,
                                             m_accessTemplate, &m_createRefs, m_keyReference, nullptr);
                if (r == SC_E_INVALID_FILE_TYPE)
                    r = m_pCard->CreateKeyObject(SC_KEYOBJ_GENERIC, nBits, eBits, fid, m_lifeCycleState, 0,
                                                 m_accessTemplate, &m_createRefs, m_keyReference, nullptr);
                if (r >= 0) {
                    created = true;
                    r = m_pCard->WriteRsaPublicKey(nCopy.data(), nBits, eCopy.data(), eBits, 0xFFFF, 0xFF, 0,
                                                   0xFFFFFFFFu, nullptr);
                }
                if (r != SC_E_ACCESS_DENIED) break;
            }
        }
        if (r == SC_E_ACCESS_DENIED && attempt == 0 && ReverifyPossible()) {
            SCRESULT v = Reverify(nullptr);
            if (v >= 0) continue;
            r = v;
        }
        break;
    }
    if (r < 0) {
        if (created) m_pCard->DeleteFile(fid);
        return r;
    }
    if (!value.setModulusBytes(nCopy.data(), nLen) || !value.setPublicExponentBytes(eCopy.data(), eLen))
        return SC_E_NO_MEMORY;
    m_flags &= ~FLAG_DIRTY;
    m_onCardGenerated = 0;
    return 0;
}
