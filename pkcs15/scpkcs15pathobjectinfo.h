// Base of every PKCS#15 object that lives in one card file: its place (path
// relative to the application's DF, optional byte window), the card, the owning
// application, and the one read / write / delete procedure of the layer.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15path.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15errors.h"
#include "pkcs15/scpkcs15recordfile.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_path.h"

class ASNobject;
class GenericFile;
class MemFile;
class SCPkcs15App;

// What the file objects ask of their application. The application layer
// installs these once (SCPkcs15SetAppServices); without them a file object
// behaves as one without an application.
struct SCPkcs15AppServices {
    // Does the application keep the value of the PIN this handle names (so that it can verify it again)?
    bool (*keepsPinValue)(SCPkcs15App* app, const void* pinHandle);
    // Verifies the kept PIN again; records in currentDf the DF it selected (may be null).
    SCRESULT (*verifyCachedPin)(SCPkcs15App* app, const void* pinHandle, SCPath* currentDf);
    // Is the absolute path used by any directory file or object of the application (lists by mask)?
    bool (*isPathUsed)(SCPkcs15App* app, const uint16_t* path, uint16_t count, uint32_t listMask);
    // The references of the PINs the application keeps verified (at most max); their number.
    size_t (*keptPinReferences)(SCPkcs15App* app, uint8_t* refs, size_t max);
};
void SCPkcs15SetAppServices(const SCPkcs15AppServices* services);

class SCPkcs15PathObjectInfo {
public:
    // State bits of the flags word.
    static constexpr uint32_t FLAG_LOADED = 0x8000;
    static constexpr uint32_t FLAG_LOAD_TRIED = 0x4000;
    static constexpr uint32_t FLAG_DIRTY = 0x2000;
    static constexpr uint32_t ACCESS_TEMPLATE_UNSET = 0xFFFFFFFFu;

    explicit SCPkcs15PathObjectInfo(SCCard* card);
    virtual ~SCPkcs15PathObjectInfo();
    SCPkcs15PathObjectInfo(const SCPkcs15PathObjectInfo&) = delete;
    SCPkcs15PathObjectInfo& operator=(const SCPkcs15PathObjectInfo&) = delete;

    virtual void SetCard(SCCard* card) { m_pCard = card; }
    virtual void SetCreateParameters(uint32_t lifeCycleState, uint32_t accessTemplate, const SCFileHeaderList& refs);
    // The PIN object that guards this file, by its handle (null: none).
    void SetAuthHandle(const void* pinHandle) { m_authHandle = pinHandle; }
    virtual void SetApplication(SCPkcs15App* app) { m_pPkcs15App = app; }
    virtual SCRESULT GetFileStructure();
    virtual SCRESULT GetFileSize();
    // Whether GetFileSize would read the file (no header of it is known).
    bool SizeReadsFile() const { return !m_pFileHeader && !(IsLoaded() && m_length != 0) && !IsKnownAbsent(); }
    virtual bool IsAccessAllowed(uint16_t ref, bool* exists);
    virtual bool IsOp0Allowed(uint16_t ref);
    virtual bool IsOp7Allowed(uint16_t ref);
    virtual bool IsOp16Allowed(uint16_t ref);
    virtual bool FileExists();
    // The file's size as the card gives it now (selected afresh), or a failure.
    SCRESULT SizeOnCard();
    // A file of exactly len octets (selected afresh) gets these octets in one
    // command (*written): the file's size, or a failure.
    SCRESULT RewriteSameSize(const uint8_t* data, uint32_t len, bool* written);
    // The most octets one UPDATE BINARY carries to this card.
    uint32_t CommandLength() const;
    virtual SCRESULT Load(bool force);
    // Load for a value its record says anyone may read: a file whose read rule, as
    // its selection answers it, asks for a PIN is not read (SC_E_ACCESS_DENIED),
    // though another application's login may have opened it to this one.
    SCRESULT LoadOpenValue(bool force);
    virtual SCRESULT ReadRawContents(MemFile* out, bool force);
    // The contents the card holds now: for a file of records that this transaction
    // has read or written, as it read or wrote them (no command); else read afresh.
    SCRESULT ReadCurrent(MemFile* out);
    virtual SCRESULT Write(const uint8_t* data, uint32_t len, SCPath* currentDf);
    // The same, saying how a write of a file of records ended (a value file's
    // outcome is its result alone).
    SCRESULT Write(const uint8_t* data, uint32_t len, SCPath* currentDf, SCPkcs15WriteOutcome* outcome);
    // Whether the last write of a value file made it (it was not on the card).
    bool MadeByLastWrite() const { return m_madeByWrite; }
    virtual SCRESULT Delete();
    // Takes away a file this call made, after a later step of the call failed.
    SCRESULT DeleteMade();
    // Handle interface of the object lists; defaults for a plain file object.
    virtual void* GetRecordList() { return nullptr; }
    // *handles in: the record after which the search goes on (null: from the first);
    // out: the next match or null. skipPrivate passes over private records.
    virtual SCRESULT FindObjects(const SCPkcs15ObjectAttributeList* tmpl, uint32_t* found, void** handles,
                                 bool skipPrivate);
    SCRESULT FindObjects(const SCPkcs15ObjectAttributeList* tmpl, uint32_t* found, void** handles) {
        return FindObjects(tmpl, found, handles, false);
    }
    virtual SCRESULT GetAttribute(void*, SCPkcs15ObjectAttribute*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT GetObjectKind(void*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT GetObjectSize(void*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT GetValueObject(void*, SCPkcs15PathObjectInfo** out);
    virtual SCRESULT IsPrivate(void*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT IsReadOnly(void*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT SetAttribute(void*, const SCPkcs15ObjectAttribute*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT CreateRecord(const SCPkcs15ObjectAttributeList*, void**) { return SC_E_UNSUPPORTED_FEATURE; }
    virtual void RemoveValueObject(void*) {}
    // Forgets a record without card access and hands its value object to the
    // caller, who then owns it (null: none).
    virtual SCPkcs15PathObjectInfo* TakeValueObject(void*) { return nullptr; }
    virtual SCRESULT CommitObject(void*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT WriteValueObjects() { return 0; }
    virtual SCRESULT DecodeRecord(void*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT EncodeRecord(void*) { return SC_E_PKCS15_INVALID_HANDLE; }
    virtual SCRESULT DeleteObject(void*) { return SC_E_PKCS15_INVALID_HANDLE; }
    // The record, and its value file only with deleteValue.
    virtual SCRESULT DeleteObject(void*, bool) { return SC_E_PKCS15_INVALID_HANDLE; }
    // (handle, mechanism, hash id, data, length, out, in/out length)
    virtual SCRESULT Sign(void*, uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
        return SC_E_PKCS15_WRONG_HANDLE_TYPE;
    }
    virtual SCRESULT Decrypt(void*, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) {
        return SC_E_PKCS15_WRONG_HANDLE_TYPE;
    }
    // Bytes to objects and back.
    virtual SCRESULT Parse(MemFile* in, uint32_t len);
    virtual void ClearContents() {}
    virtual SCRESULT Encode(MemFile* out);
    virtual void Reset(bool full);
    // Whether the records in these octets all decode as this file's records (a file
    // of records that tells them apart says; any other takes them all).
    virtual bool RecordsDecode(const uint8_t*, uint32_t) { return true; }

    // ---- place ----
    bool SetBasePath(const uint16_t* ids, uint16_t count);
    bool CopyBasePath(const SCPath& path);
    bool SetPath(const uint16_t* ids, uint16_t count, uint32_t index = 0, uint32_t length = 0);
    bool SetPath(const SCPath& path, uint32_t index = 0, uint32_t length = 0);
    bool SetPathFromAsn(const ASNPkcs15Path& path);
    // The file identifiers of a PKCS#15 path (index and length left out).
    static bool PathFromAsn(const ASNPkcs15Path& path, SCPath* out);
    const uint16_t* GetFullPath(uint16_t* count);
    bool GetFullPathInto(SCPath& out) const;
    const SCPath& GetPath() const { return m_path; }
    const SCPath& GetBasePath() const { return m_basePath; }
    uint32_t GetIndex() const { return m_index; }
    uint32_t GetLength() const { return m_length; }

    // ---- card steps ----
    SCRESULT SelectPath(const uint16_t* path, uint16_t count, SCPath* currentDf, SCFileHeader** header);
    SCRESULT ReadFileHeader(const uint16_t* path, uint16_t count, SCPath* currentDf, SCFileHeader** header);
    SCRESULT SelectApplication(const SCPath& path, SCPath* currentDf, SCFileHeader** header);
    SCRESULT ReadFileData(MemFile* out);
    SCRESULT UpdateContents(const uint8_t* data, uint32_t len);
    SCRESULT CreateAndWrite(const uint8_t* data, uint32_t len);
    SCRESULT AllocateFileId(uint16_t firstFid, const uint16_t* parent, uint16_t parentLen);
    void ForgetFile();

    // ---- state ----
    uint32_t GetFlags() const { return m_flags; }
    bool IsLoaded() const { return (m_flags & FLAG_LOADED) != 0; }
    bool IsLoadTried() const { return (m_flags & FLAG_LOAD_TRIED) != 0; }
    bool IsDirty() const { return (m_flags & FLAG_DIRTY) != 0; }
    // Whether records of len octets can be written where the PIN with this reference
    // is verified: 1 when they fit the file or it may grow (its rules, a free place
    // for its spare, the DF's free memory where the card tells it), 0 when not, or
    // a failure. Nothing is written: a call checks before its first write.
    SCRESULT CanHold(uint32_t len, uint8_t pinRef);
    // The same for what this file object holds in memory, written with the PINs the
    // card saw verified and those the application keeps (as a write would grow it).
    SCRESULT CanHoldContents();
    // Whether the PINs a write of this file holds (as CanHoldContents counts them)
    // meet its update rule: 1 yes or where the header shows no rules (the card
    // decides), 0 no, or a failure. A creation asks it before it answers "no room".
    SCRESULT HeldMayUpdate();
    // Whether the file's rules for the operation op (SC_AC_OP_*) are met with the
    // access condition ref or with none: 1 yes, 0 no, a failure where the card shows
    // no rules or the header cannot be read (passBothHeaders: the DF's rules too).
    SCRESULT CheckAccess(uint32_t op, uint16_t ref, bool passBothHeaders);
    // Puts back, octet for octet, what the last successful Write of a file of records
    // changed, in the same transaction: a call that fails after it takes it back.
    SCRESULT UndoLastWrite();
    // A file of records whose last reading found a whole spare in its place (a
    // growth a cut left), or a spare of it cut short or never written: the next
    // call that may write the token finishes the growth, or takes the spare away.
    bool SawWholeSpare() const { return m_recordFile && m_recordFile->SawWholeSpare(); }
    bool SawDeadSpare() const { return m_recordFile && m_recordFile->SawDeadSpare(); }
    SCRESULT FinishCutGrowth();
    void SetDirty(bool dirty) { m_flags = dirty ? (m_flags | FLAG_DIRTY) : (m_flags & ~FLAG_DIRTY); }
    // fresh: a file still to be written (loaded and dirty); else neither read nor written.
    void SetFresh(bool fresh) {
        m_flags = fresh ? (m_flags | FLAG_LOADED | FLAG_DIRTY) : (m_flags & ~(FLAG_LOADED | FLAG_DIRTY));
    }
    bool IsKnownAbsent() const { return IsLoadTried() && m_lastResult == SC_E_FILE_NOT_FOUND; }
    // Whether the last load's result stands as the answer: a value read, or a header
    // that says the value lives elsewhere. A read that failed is not kept: the next
    // request reads again.
    bool LoadAnswerKept() const {
        return IsLoadTried() &&
               (m_lastResult >= 0 || m_lastResult == SC_E_NOT_FILE || m_lastResult == SC_E_INVALID_FILE_TYPE);
    }
    SCRESULT GetLastResult() const { return m_lastResult; }
    SCCard* GetCard() const { return m_pCard; }
    SCPkcs15App* GetApplication() const { return m_pPkcs15App; }
    const void* GetAuthHandle() const { return m_authHandle; }
    uint32_t GetAccessTemplate() const { return m_accessTemplate; }
    uint32_t GetLifeCycleState() const { return m_lifeCycleState; }
    const SCFileHeaderList& GetCreateReferences() const { return m_createRefs; }
    // The references alone (the application copies its header list here after loading).
    void SetCreateReferences(const SCFileHeaderList& refs) { m_createRefs = refs; }

    // ---- helpers ----
    static SCRESULT DecodeAsn(ASNobject& obj, GenericFile* in, uint32_t len);
    static SCRESULT EncodeAsn(const ASNobject& obj, GenericFile* out);
    static bool ComparePaths(const ASNPkcs15Path& a, const ASNPkcs15Path& b);
    static uint8_t GetPinReference(const ASNPkcs15AuthObject* authObject);

protected:
    friend class SCPkcs15RecordFile;
    // Makes this a file of records (directories, the ODF, EF.DIR; oneRecord:
    // TokenInfo): read to its end, rewritten in place step by step, grown through
    // a spare (SCPkcs15RecordFile). createRoom: the least size of a file made
    // anew, so that records to come are written in place too; firstRead: the
    // octets the first read of a file of one record asks for.
    void SetRecordsLayout(bool oneRecord, uint32_t createRoom, uint32_t firstRead);
    bool IsRecordsFile() const { return m_recordFile && m_index == 0 && m_length == 0; }
    // The access conditions (0xC000 | PIN reference) a write of this file holds:
    // the PINs the card saw verified and those the application keeps verified.
    void GrowthConditions(SCValueSet* out) const;
    bool ReverifyPossible() const;
    // Whether the header of the last selection asks a PIN, and nothing less, to read the file.
    bool ReadAsksPin() const;
    SCRESULT Reverify(SCPath* currentDf);

    SCPath m_path;
    uint32_t m_index;
    uint32_t m_length;
    uint32_t m_lifeCycleState;
    uint32_t m_accessTemplate;
    SCFileHeaderList m_createRefs;
    uint32_t m_flags;
    SCRESULT m_lastResult;
    SCPath m_basePath;
    SCFileHeader* m_pFileHeader;
    SCFileHeader* m_pParentHeader;
    SCCard* m_pCard;
    SCPkcs15App* m_pPkcs15App;
    // A handle, not the record: a merge, a reload or a deletion may free the PIN
    // record while this object lives; the handle then names nothing.
    const void* m_authHandle;
    // Set while a file missing on the card is not to be made (Write answers SC_E_FILE_NOT_FOUND).
    bool m_noCreate = false;
    bool m_madeByWrite = false;
    // Set while a value open to all is read (LoadOpenValue).
    bool m_openValue = false;
    // The read and write of a file of records (null for a value file).
    std::unique_ptr<SCPkcs15RecordFile> m_recordFile;

private:
    SCPath m_fullPath;  // storage behind GetFullPath
};
