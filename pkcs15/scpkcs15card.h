// The PKCS#15 view of one connected card: its application directory EF.DIR and
// the list of its PKCS#15 applications (one PKCS#11 token each, in list order).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "pkcs15/scpkcs15pathobjectinfo.h"
#include "support/ptrlist.h"

class SCPkcs15App;
class SCPkcs15Card;

// A list of pointers that never deletes its elements (the application type is
// not known here; applications are destroyed through the application services).
template <class T>
class SCPkcs15PtrList : public PointerList {
public:
    explicit SCPkcs15PtrList(int blockSize = 10) : PointerList(blockSize) {}
    T* GetHead() const { return static_cast<T*>(PointerList::GetHead()); }
    T* GetNext(POSITION& pos) const { return static_cast<T*>(PointerList::GetNext(pos)); }
    T* GetAt(POSITION pos) const { return static_cast<T*>(PointerList::GetAt(pos)); }
    POSITION AddTail(T* data) { return PointerList::AddTail(static_cast<void*>(data)); }
    T* RemoveHead() { return static_cast<T*>(PointerList::RemoveHead()); }
    T* RemoveTail() { return static_cast<T*>(PointerList::RemoveTail()); }
    T* RemoveAt(POSITION pos) { return static_cast<T*>(PointerList::RemoveAt(pos)); }
    POSITION Find(const T* data) const { return PointerList::Find(const_cast<void*>(static_cast<const void*>(data))); }
};

// The card's application directory (2F00 under the MF).
class SCPkcs15CardDir : public SCPkcs15PathObjectInfo {
public:
    explicit SCPkcs15CardDir(SCCard* card);
    ~SCPkcs15CardDir() override;

    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;
    // The records are written in place, filling the file up (a file made anew
    // gets room for more records): EF.DIR is never deleted and made again, so a
    // card pulled meanwhile keeps the old records or the new ones.
    SCRESULT Write(const uint8_t* data, uint32_t len, SCPath* currentDf) override;

    bool FindDirRecordByAid(const uint8_t* aid, uint32_t len) const;
    bool IsEmpty() const { return m_dirRecords.GetCount() == 0 && m_otherRecords.GetCount() == 0; }

    TypedPointerList<ASNPkcs15DIRRecord>& DirRecords() { return m_dirRecords; }
    const TypedPointerList<ASNPkcs15DIRRecord>& DirRecords() const { return m_dirRecords; }
    const TypedPointerList<ASNany>& OtherRecords() const { return m_otherRecords; }
    // The applications of other kinds EF.DIR names (an application template whose
    // identifier is not PKCS#15's), each with its DF's path: their DFs are no token's.
    std::vector<std::pair<std::vector<uint8_t>, SCPath>> OtherApplications() const;
    // Every record gone but those of other kinds' applications, which are not the module's to drop.
    void ClearKeepingOthers();
    bool HasSigG() const { return m_sigGPresent; }
    ASNSigGDirRecord& SigGRecord() { return m_sigG; }
    void SetSigGPresent(bool present) { m_sigGPresent = present; }

private:
    SCRESULT ParseElements(MemFile* in, uint32_t len);

    TypedPointerList<ASNPkcs15DIRRecord> m_dirRecords;
    ASNSigGDirRecord m_sigG;
    bool m_sigGPresent;
    TypedPointerList<ASNany> m_otherRecords;
};

// What the card object asks of the application layer (installed once by it with
// SCPkcs15SetCardAppServices). Without create, Load finds the applications'
// DIR records but makes no application objects.
struct SCPkcs15CardAppServices {
    // A new application over a DIR record (the record stays owned by EF.DIR); null on failure.
    SCPkcs15App* (*create)(SCCard* card, SCPkcs15Card* owner, ASNPkcs15DIRRecord* record, uint32_t optionBits);
    void (*destroy)(SCPkcs15App* app);
    SCRESULT (*load)(SCPkcs15App* app, uint32_t flags);
    bool (*isLoaded)(SCPkcs15App* app);
    ASNPkcs15DIRRecord* (*getDirRecord)(SCPkcs15App* app);
    SCRESULT (*createPkcs15Structure)(SCPkcs15App* app, const char* label, const SCFileHeaderList& refs);
    SCRESULT (*clearPkcs15Directory)(SCPkcs15App* app);
    // args: the four token-initialisation arguments, or null for none.
    SCRESULT (*initializeToken)(SCPkcs15App* app, const void* const* args);
    bool (*isPathUsed)(SCPkcs15App* app, const uint16_t* path, uint16_t len, uint32_t listMask, void* extra);
    bool (*isReferenceUsed)(SCPkcs15App* app, uint8_t kind, const void* value, uint16_t len, uint32_t listMask,
                            void* extra);
};
void SCPkcs15SetCardAppServices(const SCPkcs15CardAppServices* services);

class SCPkcs15Card : public SCPkcs15PtrList<SCPkcs15App> {
public:
    static constexpr uint32_t FLAG_LOAD_TRIED = 0x4000;
    static constexpr uint32_t FLAG_LOADED = 0x8000;
    static constexpr uint32_t OPTION_MASK = 0x3;
    // Where a token's TokenInfo cannot be read, its key set's copy is looked for.
    static constexpr uint32_t OPTION_KEY_SET_COPIES = 0x2;

    explicit SCPkcs15Card(SCCard* card);
    ~SCPkcs15Card() override;

    SCRESULT Load();
    int32_t GetApplicationCount() const { return GetCount(); }
    SCPkcs15App* GetApplicationAt(uint32_t index) const;
    int32_t IndexOfApplication(SCPkcs15App* app) const;

    // `dirSo`: the SO PIN an EF.DIR made for it is given (0xFF: the application's own).
    SCRESULT AddApplication(SCPkcs15App** out, const SCFileHeaderList& refs, const char* label, uint8_t dirSo = 0xFF);
    SCRESULT CreateApplicationRecord(ASNPkcs15DIRRecord** out, const char* label, const char* appTypeOid);
    SCRESULT InitializeApplication(SCPkcs15App* app, const void* const* tokenArgs);
    SCRESULT InitializeAllApplications();
    // The application's DF, then EF.DIR written without it (`writeDir`; else the caller
    // writes it once it has done what must come before).
    SCRESULT DeleteApplication(SCPkcs15App* app, bool writeDir = true);
    // Takes back an application that AddApplication made from `record` and that
    // nothing has written yet: both leave the lists in memory; the card is not asked.
    void DiscardApplication(SCPkcs15App* app, const ASNPkcs15DIRRecord* record);
    // Every application's DF, then EF.DIR written without them (`writeDir`; else the
    // caller writes it once it has done what must come before).
    SCRESULT DeleteAllApplications(bool writeDir = true);
    bool IsPathUsedByOtherApplication(const uint16_t* path, uint16_t len, SCPkcs15App* except, uint32_t listMask,
                                      void* extra);
    bool IsReferenceUsedByOtherApplication(uint8_t kind, const void* value, uint16_t len, SCPkcs15App* except,
                                           uint32_t listMask, void* extra);

    SCPkcs15CardDir& GetCardDir() { return m_dir; }
    SCCard* GetCard() const { return m_pCard; }
    SCRESULT GetLastResult() const { return m_lastResult; }
    bool IsLoaded() const { return (m_flags & FLAG_LOADED) != 0; }
    bool IsLoadTried() const { return (m_flags & FLAG_LOAD_TRIED) != 0; }
    // Bits 0x1 and 0x2: options handed to every application made here.
    void SetOptions(uint32_t options) { m_flags = (m_flags & ~OPTION_MASK) | (options & OPTION_MASK); }
    uint32_t GetOptions() const { return m_flags & OPTION_MASK; }

    // Application-type identifier of a card type; null when the type has none.
    static const char* GetAppTypeOid(uint32_t cardType);

private:
    SCRESULT MakeApplication(ASNPkcs15DIRRecord* record, SCPkcs15App** out);
    void DestroyApplication(SCPkcs15App* app);
    void RemoveDirRecord(ASNPkcs15DIRRecord* record);
    SCRESULT SearchByAid();
    SCRESULT EnsureDirLoaded();

    SCPkcs15CardDir m_dir;
    SCCard* m_pCard;
    uint32_t m_flags;
    SCRESULT m_lastResult;
};
