// One PKCS#15 application on a card: its TokenInfo, its ODF and the nine lists
// of object directory files, reached by the token layer through record
// handles; PIN operations keep the PINs that were verified so that a write
// that meets "security status not satisfied" can verify once more.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15objectlist.h"
#include "pkcs15/scpkcs15odf.h"
#include "pkcs15/scpkcs15tokeninfo.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_path.h"
#include "smartcard/sc_types.h"
#include "support/ptrlist.h"

class SCPkcs15App {
public:
    // State word.
    static constexpr uint32_t FLAG_WRITABLE = 0x1;
    static constexpr uint32_t FLAG_KNOWN_PROFILE = 0x2;
    static constexpr uint32_t FLAG_LOADED = 0x10;
    static constexpr uint32_t FLAG_PATHS_FIXED = 0x20;
    static constexpr uint32_t FLAG_0100 = 0x100;
    static constexpr uint32_t FLAG_NO_OTHER_APPS_A = 0x4000;
    static constexpr uint32_t FLAG_NO_OTHER_APPS_B = 0x8000;

    // PIN kinds of FindPinObject.
    static constexpr int PIN_USER = 0;
    static constexpr int PIN_SO = 1;
    static constexpr int PIN_UNBLOCK = 2;

    // pinFlags bits read as a mask.
    static constexpr uint32_t PINF_CASE_SENSITIVE = 0x1;
    static constexpr uint32_t PINF_LOCAL = 0x2;
    static constexpr uint32_t PINF_INITIALIZED = 0x10;
    static constexpr uint32_t PINF_NEEDS_PADDING = 0x20;
    static constexpr uint32_t PINF_UNBLOCKING = 0x40;
    static constexpr uint32_t PINF_SO = 0x80;

    // A PIN kept after it was verified: the PIN object's handle and a wiped-on-release copy.
    struct VerifiedPin {
        uint64_t identifier = 0;
        char* pin = nullptr;
        int32_t length = -1;  // negative: the length of the NUL-terminated text
        uint8_t tryLimit = 0;  // the tries the card showed left just after it took the value; 0: not known
        VerifiedPin() = default;
        ~VerifiedPin() { Set(nullptr, 0); }
        VerifiedPin(const VerifiedPin&) = delete;
        VerifiedPin& operator=(const VerifiedPin&) = delete;
        // Wipes and frees the old copy, then keeps a copy of text (len < 0: up to its NUL). false: no memory.
        bool Set(const char* text, int32_t len);
    };
    typedef TypedPointerList<VerifiedPin> VerifiedPinList;

    // The record is copied; null leaves the application without one.
    SCPkcs15App(SCCard* card, SCPkcs15Card* owner, const ASNPkcs15DIRRecord* record);
    ~SCPkcs15App();
    SCPkcs15App(const SCPkcs15App&) = delete;
    SCPkcs15App& operator=(const SCPkcs15App&) = delete;

    // ---- state (other layers read it only here) ----
    bool IsLoaded() const { return (m_flags & FLAG_LOADED) != 0; }
    bool IsWritable() const { return (m_flags & FLAG_WRITABLE) != 0; }
    bool ArePathsFixed() const { return (m_flags & FLAG_PATHS_FIXED) != 0; }
    bool IsKnownProfile() const;
    SCCard* GetCard() const { return m_pCard; }
    SCPkcs15Card* GetOwner() const { return m_pOwner; }
    ASNPkcs15DIRRecord* GetDirRecord() { return m_hasDirRecord ? &m_dirRecord : nullptr; }
    // The EF.DIR record this application was made from (compared by address only; may be gone).
    const ASNPkcs15DIRRecord* GetSourceDirRecord() const { return m_pDirSource; }
    SCPkcs15ODF& GetOdf() { return m_odf; }
    SCPkcs15TokenInfo& GetTokenInfoFile() { return m_tokenInfo; }
    const SCFileHeaderList& GetHeaderList() const { return m_headers; }
    SCFileHeaderList& GetHeaderList() { return m_headers; }

    // Profile number of an application-type identifier (0: unknown).
    static int GetProfileNumber(const ASNobjectId& oid);

    // ---- handles ----
    SCPkcs15ObjectList* FindListForHandle(const void* handle) const;
    SCRESULT GetObjectKind(void* handle);
    // The list of a tag A0..A8 (null for another tag).
    TypedPointerList<SCPkcs15ObjectList>* GetListForTag(int odfTag);
    const TypedPointerList<SCPkcs15ObjectList>* GetListForTag(int odfTag) const;
    // The first directory file of a tag; null (with a warning) for another tag.
    SCPkcs15ObjectList* FindDirectoryFile(int odfTag, uint32_t flags = 0);

    // Number of handles appended to out, or a failure.
    SCRESULT FindObjects(const SCPkcs15ObjectAttributeList* tmpl, std::vector<void*>* out, uint32_t flag = 0);
    SCRESULT FindFirstObject(int odfTag, const SCPkcs15ObjectAttributeList* tmpl, void** handle, uint32_t flag = 0);
    SCRESULT FindAllObjects(int odfTag, std::vector<void*>* out, const SCPkcs15ObjectAttributeList* tmpl,
                            uint32_t flag = 0);
    SCRESULT GetObjectSize(void* handle);
    SCRESULT GetAttributeValues(void* handle, SCPkcs15ObjectAttributeList* attrs);
    SCRESULT GetAttributeValue(void* handle, SCPkcs15ObjectAttribute* attr);
    SCRESULT SetAttributeValues(void* handle, const SCPkcs15ObjectAttributeList* attrs);
    SCRESULT DestroyObject(void* handle, bool deleteValueFile);
    SCRESULT Sign(void* handle, uint32_t mechanism, uint32_t option, const uint8_t* in, uint32_t inLen, uint8_t* out,
                  uint32_t* outLen);
    SCRESULT Decrypt(void* handle, uint32_t mechanism, const uint8_t* in, uint32_t inLen, uint8_t* out,
                     uint32_t* outLen);
    // Kind of a key to be created for a key class (0x10100, 0x20100, 0x30100); 0 when none.
    uint32_t GetDefaultKeyKind(uint32_t keyClass);
    SCRESULT FindFreeKeyReference(const uint16_t* path, uint16_t pathLen, int startRef, bool searchOtherApps,
                                  const void* excludeHandle);
    bool IsKeyReferenceUsed(int ref, const uint16_t* absPath, uint16_t absPathLen, uint32_t listMask,
                            const void* excludeHandle);
    // readOnly: the records of the directories read so far alone (a new file's place:
    // a record names only a file that is there, which the card's answer covers).
    bool IsPathUsed(const uint16_t* absPath, uint16_t absPathLen, uint32_t listMask, const void* excludeHandle,
                    bool readOnly = false);
    SCRESULT GetDirectoryPaths(SCPathList* out, uint32_t kind, bool clear);
    // The certificate and the public key that belong to a private key (by its
    // identifier, its key identifiers, then its public key); SC_E_PKCS15_ATTR_NOT_FOUND
    // when none does, SC_E_PKCS15_INVALID_HANDLE when the handle is no private key.
    SCRESULT FindCertificateForKey(void* privateKey, void** certificate);
    SCRESULT FindPublicKeyForKey(void* privateKey, void** publicKey);
    // The key reference of a private key (below 256).
    SCRESULT GetKeyReference(void* handle);
    // Hands an authentication object to every directory file but the AODF's.
    void SetAuthObjectForLists(const ASNPkcs15AuthObject* authObject);
    SCRESULT GetObjectPaths(void* handle, SCPathList* out);
    void* FindHandleForValueObject(const SCPkcs15PathObjectInfo* value, SCPkcs15ObjectList** dirFile);
    // The label of TokenInfo and, with `dirRecord`, of the application's EF.DIR record.
    SCRESULT SetTokenLabel(const char* text, uint32_t len, bool dirRecord = true);
    SCRESULT SetSerialNumber(const char* text, uint32_t len);
    void SetFlagBits(uint32_t bits) { m_flags |= bits & (FLAG_NO_OTHER_APPS_A | FLAG_NO_OTHER_APPS_B); }
    // Whether key-reference checks also ask the card's other applications.
    bool AsksOtherApplications() const {
        return m_pOwner && !(m_flags & (FLAG_NO_OTHER_APPS_A | FLAG_NO_OTHER_APPS_B));
    }
    void ClearFlagBits(uint32_t bits) { m_flags &= ~(bits & (FLAG_NO_OTHER_APPS_A | FLAG_NO_OTHER_APPS_B)); }
    bool HasFlagBits(uint32_t bits) const { return (m_flags & bits) != 0; }

    // ---- paths and labels ----
    SCRESULT BuildAbsolutePath(SCPath* out) const;
    SCRESULT BuildAbsolutePath(const uint16_t* rel, uint16_t count, SCPath* out) const;
    // Whether an absolute path lies in another application's DF: the deepest DF of
    // the card's applications that holds it is not this one's. Asks the card nothing.
    // An EF.DIR record naming this DF again, or a place inside it that is no DF
    // carrying the record's name (StandsAsApplication), is no other application.
    bool IsInOtherApplication(const SCPath& path) const;
    // Whether a DF stands where the record names this application, carrying the
    // record's name: 1 yes, 0 no (nothing there, a file, another name), or a
    // failure. One SELECT, once per reading of the card (KnownNotToStand then tells).
    SCRESULT StandsAsApplication();
    bool KnownNotToStand() const { return m_stands == 0; }
    // The applications of the card inside this one's DF are asked whether they stand
    // (StandsAsApplication), before this one's directories are read around them.
    SCRESULT CheckNestedApplications();
    uint32_t GetDirPathKey() const;
    // Label length (negated when buf was too small), 0 without a label.
    int GetTokenLabel(char* buf, int size);
    void SetCard(SCCard* card);
    // Forgets the verified PINs, the state and the structure read (lists, ODF, TokenInfo);
    // full also the DIR record and the owner.
    void Clear(bool full);

    // ---- loading and clearing ----
    SCRESULT Load(bool force);
    SCRESULT BuildObjectLists();
    SCPkcs15ObjectList* AddObjectList(int odfTag);
    SCPkcs15ObjectList* CreateObjectList(int odfTag) const;
    int GetSerialNumber(uint8_t* buf, int bufLen);
    // Deletes the token's DF with its files. The DF counts as deleted only where its
    // DELETE was sent and the card then shows it gone; a "not found" before that (to
    // its parent's SELECT, to its own) is asked once more and, where the card keeps
    // saying so, fails the call before its first deletion. Where this call read the
    // token from the DF, any "not found" for the DF is the card changing its answer:
    // SC_E_FILE_STATUS_UNKNOWN, logged. SC_E_FILE_NOT_FOUND: the DF, never read here,
    // was gone already (its DELETE and a SELECT after it said so).
    SCRESULT ClearPkcs15Directory();
    // The files of the token's DF in the order a card that deletes no DF with its
    // files takes them: the keys' files, the other objects', the directories, the
    // ODF and TokenInfo.
    SCRESULT PathsInDeletionOrder(SCPathList* out);
    // Where the headers show rules: whether the PINs the card holds verified meet
    // the delete rule of every file of `paths` (SC_E_ACCESS_DENIED where one does not).
    SCRESULT SoMayDeleteEach(const SCPath& app, const SCPathList& paths);
    // After the card refused to delete `refused`, once the files of `gone` went:
    // every directory that named one of them is written without it (deleted where
    // the card refuses the write and it names nothing more), in memory too.
    void ListOnlyWhatStands(const SCPathList& gone, const SCPath& refused);
    // Whether the last ClearPkcs15Directory failed after files went.
    bool PartlyCleared() const { return m_partlyCleared; }
    SCRESULT GetUsedPaths(SCPathList* out, uint32_t kind, uint32_t flags);

    // ---- security-environment records ----
    // Fills the header list with a card profile's template for a token index (negative: the card's only
    // token); 1 when the profile has a template for it, else 0.
    static int GetProfileSecurityTemplate(int profile, SCFileHeaderList* headers, int tokenIndex);
    // Finds (by owner, and number when matchNumber) or appends the seInfo entry and sets its number; 1 or 0.
    static int SetSecurityEnvironment(ASNPkcs15TokenInfo* tokenInfo, const char* owner, int number,
                                      bool matchNumber);
    // Stores the header list's values that differ from the profile template as seInfo entries; 1 when all stored.
    int WriteProfileRecords(ASNPkcs15TokenInfo* tokenInfo, const SCFileHeaderList& headers);
    // Rebuilds the header list from the profile template, the AODF PINs and the TokenInfo's seInfo.
    void ReadProfileRecords(SCFileHeaderList* headers);
    // Reads security environment n of an IAS application (by AID; none: the IAS-ECC default) into the
    // header list; 1 on success, 0 on failure (logged).
    int ReadSecurityInfoEnvListFromCard(SCFileHeaderList* headers, int n, const uint8_t* aid, size_t aidLen);
    // Token index of the profile templates: -1, 0, or the application's place on the card.
    int GetTokenIndex() const;
    // The token index whose template gave this token its PINs (its layout), which another
    // application listed before it may have moved off its place: the one whose user PIN
    // the PIN directory names in the master file (where `byDirectory`: the directory is the
    // owners'); else the first for the first token of this module's profile the card lists
    // (the one made on a card that held none), its place for any other.
    int GetLayoutIndex(bool byDirectory);

    // The key set a structure built anew keeps: the TokenInfo's supportedAlgorithms
    // entry that gives the token its Diffie-Hellman group (DER, as the card had it)
    // and the group's number, which its seInfo entries name. None on a token without.
    struct KeySet {
        std::vector<uint8_t> entry;
        int group = -1;
        bool Held() const { return group >= 0 && !entry.empty(); }
        bool operator==(const KeySet& o) const { return group == o.group && entry == o.entry; }
    };
    const KeySet& GetKeySet() const { return m_keySet; }
    // Whether the TokenInfo read names a key-agreement group (an seInfo entry of
    // such an owner, or a supportedAlgorithms entry of such an algorithm), with
    // or without its key set; *ref: the card's key it is agreed with (0: none named).
    bool TokenInfoNamesGroup(uint8_t* ref);
    // An application that holds none takes the key set its card had (kept by the
    // caller where the card's TokenInfo is not to be had, as after a cut).
    void KeepKeySet(const KeySet& keySet);

    // ---- creating a PKCS#15 structure ----
    // Builds TokenInfo, the ODF, the directory lists and the profile's PIN objects in memory
    // (all marked for writing; nothing is written here).
    SCRESULT CreatePkcs15Structure(const char* label, const SCFileHeaderList& profile);
    // Adds one PIN object to an AODF list (null: the application's). protectingAuthId 0: none;
    // path null with pathLen 0xFFFF: the application's path, null with another length: none.
    SCRESULT CreatePinObject(const char* label, uint8_t pinReference, uint8_t authId, uint8_t protectingAuthId,
                             int minLength, uint32_t creationFlags, ASNPkcs15AuthObject** out, const uint16_t* path,
                             uint16_t pathLen, SCPkcs15ObjectList* aodf);
    // Creation flags of CreatePinObject.
    static constexpr uint32_t PINCREATE_SO = 0x1000;
    static constexpr uint32_t PINCREATE_UNBLOCKING = 0x2000;
    static constexpr uint32_t PINCREATE_INITIALIZED = 0x400;
    static constexpr uint32_t PINCREATE_CHANGE_DISABLED = 0x200;
    static constexpr uint32_t PINCREATE_UNBLOCK_DISABLED = 0x100;

    // ---- creating objects from attribute lists ----
    // Creation flags.
    static constexpr uint32_t CREATE_WRITABLE_LIST = 0x2;      // use and make a writable directory
    static constexpr uint32_t CREATE_NO_NEW_LIST = 0x10;       // a missing directory is not made
    static constexpr uint32_t CREATE_RECORD_ONLY = 0x40;       // build the record, write nothing
    static constexpr uint32_t CREATE_RSA_FILE_FALLBACK = 0x100;  // an RSA key may go into a file
    static constexpr uint32_t CREATE_RSA_AS_FILE = 0x200;        // an RSA key goes into a file
    static constexpr uint32_t CREATE_PUBLIC_IF_KEPT = 0x8000;    // no public key where the card keeps none

    // Creates the object that attribute 1 names (a handle out); every handle out is
    // cleared first and set only on success.
    SCRESULT CreateObject(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    SCRESULT CreatePrivateKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    SCRESULT CreateRsaPrivateKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    SCRESULT CreateDsaPrivateKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    SCRESULT CreateEcPrivateKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    SCRESULT CreatePublicKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    SCRESULT CreateCertificateObject(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    SCRESULT CreateDataObject(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    SCRESULT CreateSecretKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags);
    // Records a certificate whose file (full path) is on the card already.
    SCRESULT CreateCertificate(const SCPath& valuePath, const SCPkcs15ObjectAttributeList& attrs, void** out,
                               uint32_t flags);
    // Generates an RSA key pair on the card with its records (publicAttrs may be null).
    SCRESULT GenerateKeyPair(const SCPkcs15ObjectAttributeList& privateAttrs,
                             const SCPkcs15ObjectAttributeList* publicAttrs, void** privateOut, void** publicOut,
                             uint32_t flags);
    // The first half of every key creation: the record in its directory, its key object
    // (private) or value file (public) prepared, flags, usage and the further attributes.
    SCRESULT CreatePrivateKeyRecord(const SCPkcs15ObjectAttributeList& attrs, void** rec, SCPkcs15PathObjectInfo** obj,
                                    uint32_t accessFlags, bool native, uint32_t flags);
    SCRESULT CreatePublicKeyRecord(const SCPkcs15ObjectAttributeList& attrs, void** rec, SCPkcs15PathObjectInfo** obj,
                                   uint32_t accessFlags, bool native, uint32_t flags);

    // ---- PINs ----
    SCRESULT FindPinObject(int kind, ASNPkcs15AuthObject** ppAuthInfo);
    SCRESULT FindAuthObjectForObject(void* object, ASNPkcs15AuthObject** pin, bool unblocking);
    bool IsPinObject(const void* handle) const;
    // The PIN record a handle names (null: none), and a PIN record's handle. The PIN
    // operations take records: a handle is turned into one for each call.
    ASNPkcs15AuthObject* PinFor(const void* handle) const;
    static void* HandleOfPin(const ASNPkcs15AuthObject* pin);
    static uint8_t GetPinReference(const ASNPkcs15AuthObject* pin);
    // The absolute path of the DF that holds the PIN (the application's DF for a
    // PIN record without a path); nothing is sent to the card.
    SCRESULT GetPinDf(const ASNPkcs15AuthObject* pin, SCPath* df) const;
    // Whether a PIN record's path names a DF in another application's DF (`at`, when
    // given, gets it): such a record is read around, its PIN never asked, set or deleted.
    bool NamesOtherApplicationsPin(const ASNPkcs15AuthObject* pin, SCPath* at = nullptr) const;
    // Appends the PINs the PIN directories name (DF and reference), reading the
    // application and its directories where this process has not read them; a
    // file the card does not hold names nothing, one it does not give is the failure.
    SCRESULT GetNamedPins(std::vector<std::pair<SCPath, uint8_t>>* out);
    bool HasSoPin();
    SCRESULT VerifyPin(ASNPkcs15AuthObject* pin, const char* text, bool remember, SCPath* outPath);
    SCRESULT QueryPinStatus(ASNPkcs15AuthObject* pin, SCPath* outPath) { return VerifyPin(pin, nullptr, false, outPath); }
    SCRESULT ChangePin(ASNPkcs15AuthObject* pin, const char* oldPin, const char* newPin);
    SCRESULT UnblockPin(ASNPkcs15AuthObject* pin, const char* unblockPin, const char* newPin);
    // Judges a new value of `len` octets for the PIN before anything is sent: its
    // record's minLength and its maxLength, or storedLength where it gives no
    // maxLength (a padded PIN holds no more than storedLength), and the card's own
    // limits. SC_E_PIN_TOO_SHORT for a length outside them. Values presented to
    // check a PIN are never judged here.
    SCRESULT JudgeNewPin(const ASNPkcs15AuthObject* pin, size_t len) const;
    // Presents a kept value where the card needs it: the card is asked first (VERIFY
    // without data); a PIN it holds verified needs nothing sent, and the value goes
    // only while the card shows as many tries left as just after it last took it, and
    // more than one (a lost answer to it is asked about again). Otherwise, or where the card refuses
    // it, the login ends (EndLogin) and the answer is SC_E_PKCS15_NOT_LOGGED_IN.
    SCRESULT VerifyCachedPin(const ASNPkcs15AuthObject* pin, SCPath* extra);
    // Has the card take the kept value now, under the same rule, before it goes as the
    // data of another command: a PIN the card holds verified (it shows no count, and
    // may have been changed and verified elsewhere) has its verification ended first
    // (VERIFY P1=FF). 0 once the card took it; else the login ended as above.
    SCRESULT TakeKeptPin(const ASNPkcs15AuthObject* pin);
    // Learns, right after a login's verification, the tries the card gives the PIN:
    // its verification ended (VERIFY P1=FF), the card shows them, and the value
    // verifies it again. A card that keeps it verified leaves them unknown.
    SCRESULT LearnTryLimit(const ASNPkcs15AuthObject* pin);
    // Ends the login that kept the PIN at `at`: every kept value is forgotten, and
    // the card forgets, at the call's end, that PIN and the others the login held.
    void EndLogin(const SCCard::PinAt& at, const char* why);
    // Whether a login of this application ended since the last call (the PINs it ended at).
    bool TakeLoginEnded(std::vector<SCCard::PinAt>* at);
    static bool AnyLoginEnded();
    // In a forked child that starts afresh: the count is that of the parent's applications.
    static void StartAfreshInChild();
    // Verifies every kept PIN again (the card forgot them in a reset); the
    // context form is what a write hands the card (SCCard::BeginWrite).
    SCRESULT VerifyKeptPinsAgain();
    // Whether logins are kept.
    bool KeepsPins() const { return m_verifiedPins.GetCount() != 0; }
    static SCRESULT RestoreAfterReset(void* app) { return static_cast<SCPkcs15App*>(app)->VerifyKeptPinsAgain(); }
    SCRESULT LogoutPin(ASNPkcs15AuthObject* pin, bool full);
    SCRESULT Logout(bool resetCard);
    // Deletes, in each DF between the application's directories and a local PIN's own DF,
    // a PIN of the same reference: the card would find it for the files there before the
    // application's own (the user may make PINs where the user may make keys). Another
    // application's DFs are left; a PIN the card keeps there is the failure.
    SCRESULT DeleteShadowingPins(const ASNPkcs15AuthObject* pin);
    bool HasVerifiedPin(const ASNPkcs15AuthObject* pin) const;
    // The references of the PINs kept verified (at most max into refs); their number.
    size_t KeptPinReferences(uint8_t* refs, size_t max) const;
    // The PINs kept since their logins, as the card finds them: a PIN's reference,
    // and its DF where its record gives a path (else empty: found from anywhere).
    void KeptPins(std::vector<SCCard::PinAt>* out) const;
    SCCard::PinAt PinAtOf(const ASNPkcs15AuthObject* pin) const;
    // Finishes the growths that cuts left in the files of records of this application
    // (and its card's EF.DIR) that a reading found: every call that may write the
    // token does, before it writes anything else.
    SCRESULT FinishCutGrowths();
    // Creates or resets a PIN on the card from its PIN object; record is the card's creation record
    // (filled here from the PIN attributes); outPath receives the PIN's DF.
    SCRESULT SetPin(ASNPkcs15AuthObject* pin, const char* authPin, const char* newPin, SCPinParams* record,
                    SCPath* outPath);
    // Sets the officer and user PINs (when given with their records) and writes every file of the
    // structure, creating missing DFs on the way.
    SCRESULT InitializeToken(const char* userPin, SCPinParams* userRecord, const char* soPin, SCPinParams* soRecord);
    // Deletes the objects of the directory files that only this PIN guards, each record
    // before its value file; the directory files stay.
    SCRESULT DeletePinObjects(ASNPkcs15AuthObject* pin, bool includeAodf);
    // Whether the file's write condition is the user PIN (condition: 0xC000 | its reference).
    bool IsWritableWithUserPin(SCPkcs15PathObjectInfo* file, uint16_t* condition);
    // Whether the file needs a PIN at all and whether that is the security officer's.
    void CheckSoPinAccess(SCPkcs15PathObjectInfo* file, bool* needsPin, bool* soRequired);
    const VerifiedPin* GetCurrentPin() const { return m_pCurrentPin; }
    int GetVerifiedPinCount() const { return m_verifiedPins.GetCount(); }

private:
    typedef TypedPointerList<SCPkcs15ObjectList> DirList;
    enum { L_PRKDF, L_PUKDF, L_TRUSTED_PUKDF, L_CDF, L_TRUSTED_CDF, L_USEFUL_CDF, L_DODF, L_AODF, L_SKDF, L_COUNT };
    static int ListIndexForTag(int odfTag);
    // The lists a kind code selects (bit i: list index i); negative for an unknown kind.
    static int ListsForKind(uint32_t kind);
    SCRESULT FindAllInList(const DirList& list, std::vector<void*>* out, const SCPkcs15ObjectAttributeList* tmpl,
                           uint32_t flag);
    bool PathMatches(SCPkcs15PathObjectInfo* f, const uint16_t* absPath, uint16_t absPathLen);
    // Whether the path is a place where the spare of the file f may stand.
    static bool IsSparePlace(SCPkcs15PathObjectInfo* f, const uint16_t* absPath, uint16_t absPathLen);
    SCRESULT FindMatchingObject(void* privateKey, bool certificate, void** out);
    struct Creation;
    // The key's directory written after its value, the ODF after a directory made here;
    // on a failure the key written and the record go again.
    SCRESULT FinishKeyCreation(Creation& c, SCPkcs15PathObjectInfo* key, bool keyWritten, SCRESULT r, void** out);
    // A new directory file for a tag: its list, a free file under the application DF and
    // its ODF entry (the ODF is marked to be written with it). made is set when the list
    // was made here.
    SCRESULT GetListForCreation(int odfTag, uint32_t flags, SCPkcs15ObjectList** list);
    SCRESULT NewDirectoryFile(int odfTag, uint32_t accessTemplate, SCPkcs15ObjectList** out);
    // Takes back a directory made by this creation (its file when written, its ODF entry, the list).
    void DropNewDirectory(SCPkcs15ObjectList* list, bool deleteFile);
    // The directories made by the current creation: the ODF is written once they are,
    // and they go again when the creation fails.
    void BeginCreation() { m_madeLists.clear(); }
    bool IsMadeList(const SCPkcs15ObjectList* list) const;
    SCRESULT CommitMadeLists();
    void DropMadeLists(bool deleteFiles);
    SCRESULT ApplyAttributes(SCPkcs15ObjectList* list, void* rec, const SCPkcs15ObjectAttributeList& attrs,
                             const uint64_t* only, size_t onlyCount, const uint64_t* skip, size_t skipCount,
                             bool ignoreInvalidNames);
    SCRESULT SetRecordGuard(SCPkcs15ObjectList* list, void* rec);
    // The access templates of new directory files and value files.
    uint32_t DirectoryTemplate(uint32_t flags);
    uint32_t ValueTemplate(bool privateObject);
    // The private- and public-key directories as the card holds them now.
    SCRESULT RefreshKeyLists();
    // Whether every directory a creation writes takes its records, found out before the
    // call's first write: the list with the new record (as the card holds it now; one made
    // here is made to size) and the ODF where a directory was made. 0, SC_E_FILE_TOO_SMALL
    // or a failure; nothing is written.
    SCRESULT CheckRoom(SCPkcs15ObjectList* list, void* rec);
    // The directory write after a new key record.
    // mayHoldRecord: the card's directory may now hold the record (written, or a write cut short).
    SCRESULT WriteKeyDirectory(SCPkcs15ObjectList* list, void* rec, bool* mayHoldRecord);

    // PIN helpers
    // Whether the record is one of the application's PIN records.
    bool HoldsPin(const ASNPkcs15AuthObject* pin) const;
    SCRESULT SelectPinDf(const ASNPkcs15AuthObject* pin, SCPath* outPath);
    VerifiedPin* FindVerifiedPin(const ASNPkcs15AuthObject* pin) const;
    SCRESULT RememberPin(const ASNPkcs15AuthObject* pin, const char* text);
    // VerifyCachedPin, or with `take` TakeKeptPin.
    SCRESULT VerifyKept(const ASNPkcs15AuthObject* pin, SCPath* extra, bool take);
    // After a failed RESET RETRY COUNTER that the card split in two: where it took the
    // unblocking value alone, the trace says the PIN's count is whole, its value unchanged.
    void NoteUnblockedAlone(const ASNPkcs15AuthObject* pin, SCRESULT refused);
    void ForgetPin(const ASNPkcs15AuthObject* pin);
    void ForgetAllPins();
    bool IsCurrentPin(const ASNPkcs15AuthObject* pin) const;
    // The card refused a value typed for the PIN: a try spent like any other. Where it
    // is the kept value, that is stale and the login ends; another leaves the kept
    // value to wait for the card's whole count.
    void Refused(const ASNPkcs15AuthObject* pin, const char* typed);
    // VERIFY (text null: without data) in the DF selected, with the IAS-ECC reading of 6A81.
    SCRESULT AskCard(const uint8_t* data, uint32_t len, uint8_t ref);

    // loading helpers
    void ReadProfileRecords() { ReadProfileRecords(&m_headers); }
    // The key set of the TokenInfo just read (read: its load result), before the
    // structure is erased: taken when it is the one held or none was; a TokenInfo
    // not read, or naming another, is the failure. Nothing left to read keeps it.
    SCRESULT TakeKeySetAsRead(const KeySet& held, SCRESULT read);
    // Puts the key set held into the new TokenInfo and the header list.
    SCRESULT CarryKeySet();
    static bool ApplyKeySetTo(const KeySet& keySet, SCFileHeaderList* headers);
    // Whether the TokenInfo read names a key-agreement group with its key set.
    bool TokenInfoNamesKeySet();
    // The key set's copy beside EF.DIR (scpkcs15app_keysetcopy.cpp): made before the
    // structure is erased (nothing is erased where it cannot be), taken away once
    // the new TokenInfo stands, and read, with the PIN references the token is
    // built with, where the TokenInfo cannot be (the card's options allowing).
    SCRESULT KeepKeySetCopy();
    void DropKeySetCopy();
    bool TakeKeySetCopy();

public:
    // A copy of this module's that a cut left beside the whole token that names its
    // key set goes (the SO verified); one SELECT where none stands. Failures are logged.
    void DropLeftKeySetCopy();

private:

public:
    // The token's DF, EF.DIR's DF (where the copy stands) and, where asked, EF.DIR's header.
    SCRESULT KeySetCopyPlaces(SCPath* df, SCPath* dirDf, std::unique_ptr<SCFileHeader>* dirHeader);

private:
    std::vector<uint8_t> KeySetCopyRecords() const;
    void DeleteAllLists();

    SCPkcs15ODF m_odf;
    SCPkcs15TokenInfo m_tokenInfo;
    SCCard* m_pCard;
    SCPkcs15Card* m_pOwner;
    uint32_t m_flags;
    ASNPkcs15DIRRecord m_dirRecord;
    bool m_hasDirRecord;
    const ASNPkcs15DIRRecord* m_pDirSource;
    DirList m_lists[L_COUNT];
    SCFileHeaderList m_headers;
    VerifiedPinList m_verifiedPins;
    VerifiedPin* m_pCurrentPin;
    std::vector<SCCard::PinAt> m_endedAt;  // TakeLoginEnded
    std::vector<SCPkcs15ObjectList*> m_madeLists;
    KeySet m_keySet;
    uint16_t m_keySetCopyFid = 0;  // the copy this application made or read; 0: none
    int8_t m_stands = -1;  // StandsAsApplication's answer, -1 not asked yet
    bool m_partlyCleared = false;  // the last ClearPkcs15Directory deleted files before a refusal
    bool m_dfCleared = false;      // ClearPkcs15Directory counted the DF gone, and no DF was made since
};

// The card or its reader is gone: operations that walk many objects stop.
inline bool IsCardGoneResult(SCRESULT r) {
    return r == SC_E_NO_SMARTCARD || r == SC_E_CARD_REMOVED ||
           (r >= SC_E_READER_SUBSYSTEM_NOT_RUNNING && r <= SC_E_READER_NOT_AVAILABLE);
}

// An error answer that one more try may get past: no refusal, no missing file,
// no card gone, nothing the caller got wrong. Taking away what a failed call
// wrote tries such an answer once more.
inline bool MayTryAgain(SCRESULT r) {
    return r < 0 && r != SC_E_BAD_USAGE && r != SC_E_NO_MEMORY && r != SC_E_ACCESS_DENIED &&
           r != SC_E_FILE_NOT_FOUND && r != SC_E_CARD_WAS_RESET && !IsCardGoneResult(r);
}

// Installs the application's services for the card object and the file objects
// (called once; idempotent).
void SCPkcs15InstallAppServices();
