// RSASSA-PSS-params and RSAES-OAEP-params (PKCS #1): the explicitly tagged hash,
// mask-generation and further members, with the defaults of the standard.
#pragma once

#include <cstdint>

#include "lib/libasn/asnexpl.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/x509/siganddigoid.h"

class RsaPssParams : public ASNsequenceF {
public:
    explicit RsaPssParams(uint32_t tag = 0);
    RsaPssParams(const RsaPssParams& other);
    RsaPssParams& operator=(const RsaPssParams& other);
    ~RsaPssParams() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Values equal to the defaults are left out of the encoding. Non-zero on success.
    int set(unsigned hashId, int mgfSelector, unsigned mgfHashId, int64_t saltLength, int trailerField);

    // Hash id (1 when absent, 0 for a digest outside the tables).
    int getHashId() const;
    // 0 for MGF1, -1 for any other mask-generation function.
    int getMgfSelector() const;
    // Hash id of MGF1 (1 when absent), 0 when unknown.
    int getMgfHashId() const;
    // 20 when absent; -1 when it does not fit.
    int64_t getSaltLength() const;
    // 1 when absent; -1 when it does not fit.
    int getTrailerField() const;

    // Hash id of [0] (1 when absent, 0 for an unknown digest).
    unsigned getHashAlgo() const;
    // Absent [1]: stores 1, returns 0. MGF1 with a known digest: stores its id, returns 0;
    // with a null output, 0 only when that id is 1. Anything else: -1, nothing stored.
    int getMgfHashAlgo(unsigned* mgfHash) const;
    // mgfFlag 0 with mgfHashAlgo 1 leaves [1] out; defaults are never written. 1, or 0.
    int setParams(unsigned hashAlgo, int mgfFlag, unsigned mgfHashAlgo, int64_t saltLength, int64_t trailerField);
    // Same presence, tags and values of every present field.
    bool operator==(const RsaPssParams& other) const;
    bool operator!=(const RsaPssParams& other) const { return !(*this == other); }

    ASNexpl<AlgorithmIdentifier> hashAlgorithm;
    ASNexpl<AlgorithmIdentifier> maskGenAlgorithm;
    ASNexpl<ASNinteger> saltLength;
    ASNexpl<ASNinteger> trailerField;
    uint8_t wasHashAlgorithm;
    uint8_t wasMaskGenAlgorithm;
    uint8_t wasSaltLength;
    uint8_t wasTrailerField;
};

class RsaOaepParams : public ASNsequenceF {
public:
    explicit RsaOaepParams(uint32_t tag = 0);
    RsaOaepParams(const RsaOaepParams& other);
    RsaOaepParams& operator=(const RsaOaepParams& other);
    ~RsaOaepParams() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Hash id (1 when absent), 0 for a digest outside the tables.
    int getHashId() const;
    // 0 for MGF1, -1 otherwise.
    int getMgfSelector() const;
    // Hash id of MGF1 (1 when absent), negative when invalid.
    int getMgfHashId() const;
    // The pSpecified label octets and their count; NULL and 0 when there is none.
    const uint8_t* getLabel(long* len) const;

    unsigned getHashAlgo() const;
    int getMgfHashAlgo(unsigned* mgfHash) const;
    // The pSpecified label, null and 0 for the empty label.
    const uint8_t* getLabel() const { return getLabel(nullptr); }
    unsigned getLabelLength() const;
    // Defaults are left out; a label is written only when non-null and non-empty. 1, or 0.
    int setParams(unsigned hashAlgo, int mgfFlag, unsigned mgfHashAlgo, const uint8_t* label, unsigned labelLen);
    bool operator==(const RsaOaepParams& other) const;
    bool operator!=(const RsaOaepParams& other) const { return !(*this == other); }

    ASNexpl<AlgorithmIdentifier> hashAlgorithm;
    ASNexpl<AlgorithmIdentifier> maskGenAlgorithm;
    ASNexpl<AlgorithmIdentifier> pSourceAlgorithm;
    uint8_t wasHashAlgorithm;
    uint8_t wasMaskGenAlgorithm;
    uint8_t wasPSourceAlgorithm;

private:
    ASNoctstr m_label;
};
