// Typed attribute values exchanged between the token layer and the PKCS#15
// layer, and owning lists of them (search templates, requests, updates).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pkcs15/scpkcs15codes.h"
#include "smartcard/sc_errors.h"

class ASNobject;

class SCPkcs15ObjectAttribute {
public:
    // Store types of the value bytes.
    enum StoreType : uint32_t {
        none = 0,
        binary = 1,
        string = 2,
        flags = 3,
        integer = 4,
        bigint = 5,
        boolean = 6,
        asnder = 7,
        date = 8,
    };

    explicit SCPkcs15ObjectAttribute(uint64_t type = 0);
    ~SCPkcs15ObjectAttribute();
    SCPkcs15ObjectAttribute(const SCPkcs15ObjectAttribute&) = delete;
    SCPkcs15ObjectAttribute& operator=(const SCPkcs15ObjectAttribute&) = delete;

    static uint32_t GetStoreTypeForAttribute(uint64_t type);

    uint64_t GetType() const { return m_type; }
    uint32_t GetLength() const { return m_length; }
    uint32_t GetCapacity() const { return m_capacity; }
    const uint8_t* GetValue() const { return m_value; }
    uint32_t GetStoreType() const { return m_storeType; }
    SCRESULT GetResult() const { return m_result; }
    void SetResult(SCRESULT r) { m_result = r; }
    // Wipes and frees the value; type, length, capacity and store type become 0.
    void Clear();

    // Setters: 1 on success, 0 when memory runs out or the input is malformed.
    int SetValue(const void* data, uint32_t size);
    int SetBinary(uint64_t type, const void* data, uint32_t len);
    int SetString(uint64_t type, const char* text, uint32_t len = ~0u);
    int SetFlags(uint64_t type, uint32_t value, uint32_t mask);
    int SetInteger(uint64_t type, uint32_t value);
    int SetBigInt(uint64_t type, const uint8_t* bytes, uint32_t len);
    int SetBoolean(uint64_t type, bool value);
    int SetAsnObject(uint64_t type, const ASNobject& obj);
    int SetDate(uint64_t type, const char* text, uint32_t len = ~0u);
    // A negative part omits it and every later part.
    int SetDate(uint64_t type, int year, int month, int day, int hour = -1, int minute = -1, int second = -1,
                int hundredths = -1);
    // The object's contents octets only (its header, or both headers of an
    // explicitly tagged object, removed); keeps the type.
    int SetAsnContents(const ASNobject& obj);
    int CopyValue(const SCPkcs15ObjectAttribute& other);
    // Raw copy; the type is set only when len is non-zero (else 0).
    int Set(uint64_t type, const void* data, uint32_t len);

    // Getters.
    const uint8_t* GetBinary(uint32_t* len) const;
    int GetBoolean(bool* value) const;
    int GetFlags(uint32_t* value, uint32_t* mask) const;
    int GetInteger(uint32_t* value) const;
    const uint8_t* GetBigInt(uint32_t* len) const;
    int GetDate(uint32_t* year, uint32_t* month, uint32_t* day, uint32_t* hour = nullptr, uint32_t* minute = nullptr,
                uint32_t* second = nullptr, uint32_t* hundredths = nullptr) const;
    // 0 success, -2 empty value, -1 out of memory while decoding, -3 another decoding failure.
    int GetAsnObject(ASNobject& obj) const;
    int GetAsnContents(ASNobject& obj) const;

    // 0 when equal; this attribute is the template side.
    int Compare(const SCPkcs15ObjectAttribute& other, bool sameTypeRequired) const;
    static int Compare(const SCPkcs15ObjectAttribute& a, const SCPkcs15ObjectAttribute& b, bool sameTypeRequired);
    // Kind matching of object kind codes (template t against object kind k).
    static bool KindMatches(uint32_t t, uint32_t k);

private:
    bool SetTyped(uint64_t type, uint32_t storeType);

    uint64_t m_type;
    uint32_t m_length;
    uint8_t* m_value;
    uint32_t m_capacity;

public:
    uint32_t m_storeType;

private:
    SCRESULT m_result;
};

class SCPkcs15ObjectAttributeList {
public:
    SCPkcs15ObjectAttributeList() = default;
    ~SCPkcs15ObjectAttributeList();
    SCPkcs15ObjectAttributeList(const SCPkcs15ObjectAttributeList&) = delete;
    SCPkcs15ObjectAttributeList& operator=(const SCPkcs15ObjectAttributeList&) = delete;

    size_t GetCount() const { return m_items.size(); }
    SCPkcs15ObjectAttribute* GetAt(size_t i) const { return i < m_items.size() ? m_items[i] : nullptr; }

    // Appends a new attribute; null when no memory can be had.
    SCPkcs15ObjectAttribute* AddAttribute(uint64_t type);
    SCPkcs15ObjectAttribute* AddInteger(uint64_t type, uint32_t value);
    SCPkcs15ObjectAttribute* AddBigInt(uint64_t type, const uint8_t* bytes, uint32_t len);
    SCPkcs15ObjectAttribute* AddFlags(uint64_t type, uint32_t value, uint32_t mask);
    SCPkcs15ObjectAttribute* AddDate(uint64_t type, const char* text, uint32_t len = ~0u);
    SCPkcs15ObjectAttribute* AddAsnObject(uint64_t type, const ASNobject& obj);
    SCPkcs15ObjectAttribute* AddBinary(uint64_t type, const void* data, uint32_t len);

    SCPkcs15ObjectAttribute* FindAttribute(uint64_t type) const;
    // Removes and deletes every attribute of the type; 1 when any was removed.
    int RemoveAttribute(uint64_t type);
    void RemoveAll();

private:
    // Removes the last attribute again after a failed setter.
    SCPkcs15ObjectAttribute* Keep(SCPkcs15ObjectAttribute* a, int ok);

    std::vector<SCPkcs15ObjectAttribute*> m_items;
};
