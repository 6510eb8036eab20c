// In-memory configuration model: parameter records, parameter lists, sections and
// section lists, shared by every configuration source and the manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "support/cfgbase.h"
#include "support/ptrlist.h"

// Parameter flags.
const uint32_t CFG_OPT_OPTIONAL = 0x1;
const uint32_t CFG_OPT_KEEP_FIRST = 0x2;
const uint32_t CFG_OPT_NO_WRITE = 0x4;
const uint32_t CFG_OPT_SYSTEM_ONLY = 0x8;
const uint32_t CFG_OPT_CHANGED = 0x40000000;
const uint32_t CFG_OPT_HAS_VALUE = 0x80000000;

// Section flags.
const uint32_t CFG_SECT_TAKE_ALL = 0x1;          // take every parameter of the source
const uint32_t CFG_SECT_TAKE_SUBSECTIONS = 0x2;  // take the subsections too
const uint32_t CFG_SECT_OPTIONAL = 0x4;          // optional section, optional new parameters
const uint32_t CFG_SECT_NEW_NO_WRITE = 0x10;     // new parameters are never written back
const uint32_t CFG_SECT_NEW_KEEP_FIRST = 0x20;   // new parameters keep the first value

class CfgParamAndValue {
public:
    CfgParamAndValue();
    ~CfgParamAndValue();
    CfgParamAndValue(const CfgParamAndValue&) = delete;
    CfgParamAndValue& operator=(const CfgParamAndValue&) = delete;

    void Init();
    const char* GetName() const { return m_name.c_str(); }
    bool SetName(const char* name);
    uint32_t GetType() const { return m_type; }
    void SetType(uint32_t type);
    uint32_t GetFlags() const { return m_flags; }
    void SetFlags(bool on, uint32_t mask);
    bool TestFlags(uint32_t mask) const { return (m_flags & mask) != 0; }
    bool HasValue() const { return TestFlags(CFG_OPT_HAS_VALUE); }

    bool GetString(const char** out) const;
    bool GetBinary(const uint8_t** data, uint32_t* length) const;
    bool GetBool(bool* out) const;
    bool GetInt(unsigned long* out) const;
    bool SetString(const char* text);
    bool SetBinary(const uint8_t* data, size_t length);
    bool SetBool(bool value);
    bool SetInt(unsigned long value);
    // Frees (wipes) the value; number 0; has-value and changed cleared.
    void ClearValue();
    bool SetNameAndString(const char* name, const char* text);
    bool SetNameAndBinary(const char* name, const uint8_t* data, size_t length);
    CfgBase* GetSource() const { return m_source; }
    void SetSource(CfgBase* source) { m_source = source; }
    const char* GetComment() const { return m_comment.c_str(); }
    bool SetComment(const char* text);
    void Clear();

private:
    bool StoreBuffer(const void* data, size_t length, bool addNul);
    void FreeBuffer();

    std::string m_name;
    uint8_t* m_value = nullptr;  // owned; NULL for an empty value
    size_t m_valueSize = 0;      // bytes allocated (text: with its NUL)
    uint64_t m_number = 0;
    uint32_t m_type = CFG_TYPE_TEXT;
    uint32_t m_flags = 0;
    std::string m_comment;
    CfgBase* m_source = nullptr;
};

class CfgParamAndValueList : public TypedPointerList<CfgParamAndValue> {
public:
    CfgParamAndValueList();
    ~CfgParamAndValueList() override;

    CfgParamAndValue* FindParam(const char* name, bool ignoreCase) const;
    CfgParamAndValue* FindParamFormatted(bool ignoreCase, const char* format, ...) const
        __attribute__((format(printf, 3, 4)));
    // NULL on failure; nothing is left appended then.
    CfgParamAndValue* AddParam(const char* name, uint32_t type, bool optional);
    CfgParamAndValue* AddParamFormatted(uint32_t type, bool optional, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    CfgParamAndValue* GetOrAddParam(const char* name, uint32_t type, bool optional, bool ignoreCase);
    CfgParamAndValue* GetOrAddParamFormatted(uint32_t type, bool optional, bool ignoreCase, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    bool RemoveParam(const char* name, bool ignoreCase);
    bool RemoveParamFormatted(bool ignoreCase, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Indexed names: base, an opening bracket, the index, the matching closing bracket.
    bool SplitIndexedName(const char* name, std::string* base, std::string* index) const;
    bool IndexedNameMatches(const char* name, const char* base, const char* index, bool ignoreCase) const;
    CfgParamAndValue* FindIndexed(const char* base, const char* index, bool ignoreCase) const;
    // *position starts at 0 and is advanced past the record returned.
    CfgParamAndValue* FindNextIndexed(const char* base, size_t* position, bool ignoreCase) const;
    int CountIndexed(const char* base, bool ignoreCase) const;
    bool RemoveIndexed(const char* base, bool ignoreCase);
    CfgParamAndValue* AddIndexedParam(const char* base, const char* index, uint32_t type, bool optional);
    bool SetBrackets(const char* open, const char* close);

private:
    std::string m_open, m_close;
    bool m_openSet = false, m_closeSet = false;
};

class CfgSection : public CfgParamAndValueList {
public:
    CfgSection();
    ~CfgSection() override;

    const char* GetName() const { return m_name.c_str(); }
    bool SetName(const char* name);
    // The part after the last backslash.
    const char* GetShortName() const;
    const char* GetComment() const { return m_comment.c_str(); }
    bool SetComment(const char* text);
    uint32_t GetSectionFlags() const { return m_sectionFlags; }
    void SetSectionFlags(bool on, uint32_t mask);
    CfgBase* GetSource() const { return m_source; }
    void SetSource(CfgBase* source) { m_source = source; }

private:
    std::string m_name;
    std::string m_comment;
    uint32_t m_sectionFlags = 0;
    CfgBase* m_source = nullptr;
};

class CfgSectionList : public TypedPointerList<CfgSection> {
public:
    CfgSectionList();
    ~CfgSectionList() override;

    CfgSection* FindSection(const char* name, bool ignoreCase) const;
    CfgSection* FindSectionFormatted(bool ignoreCase, const char* format, ...) const
        __attribute__((format(printf, 3, 4)));
    // New section whose flag 0x1 is flag; NULL on failure.
    CfgSection* AddSection(const char* name, bool flag);
    CfgSection* AddSectionFormatted(bool flag, const char* format, ...) __attribute__((format(printf, 3, 4)));
    CfgSection* GetOrAddSection(const char* name, bool ignoreCase);
    CfgSection* GetOrAddSectionFormatted(bool ignoreCase, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    bool RemoveSection(const char* name, bool ignoreCase);
    bool RemoveSectionFormatted(bool ignoreCase, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // *position starts at 0 and is advanced past the section returned.
    CfgSection* FindNextSubsection(size_t* position, const char* parent, bool ignoreCase) const;
    CfgSection* GetSubsection(int index, const char* parent, bool ignoreCase) const;
    int CountSubsections(const char* parent, bool ignoreCase) const;

    bool SplitIndexedSectionName(const char* name, std::string* base, std::string* index) const;
    CfgSection* FindIndexedSection(const char* base, const char* index) const;
    CfgSection* FindIndexedSectionByNumber(const char* base, int index) const;
    CfgSection* AddIndexedSection(const char* base, const char* index);
    CfgSection* AddIndexedSectionByNumber(const char* base, int index);
    bool RemoveIndexedSections(const char* base);
    bool SetBrackets(const char* open, const char* close);

    // Names compared by the lookups (FindSection, FindNextSubsection) since the
    // list was made; a test reads it to see that lookups do not scan the list.
    unsigned long GetNameComparisons() const { return m_comparisons; }

private:
    // Sections by case-folded name and by case-folded parent name, in list order,
    // made when a lookup finds the list changed (a section added through
    // AddSection is taken in without remaking them). Section names do not
    // change while a section is in a list.
    struct Index;
    const Index* CurrentIndex() const;

    std::string m_open = "({<[", m_close = ")}>]";
    mutable std::unique_ptr<Index> m_index;
    mutable unsigned long m_comparisons = 0;
};

bool CfgSectionIsDirectSubsection(const char* name, const char* parent, bool ignoreCase);
bool CfgSectionIsSubsection(const char* name, const char* parent, bool ignoreCase);
