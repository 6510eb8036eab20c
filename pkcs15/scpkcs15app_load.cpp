// Loading an application from the card, its directory lists, and erasing its
// PKCS#15 directory before a card is initialised again.
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15certlist.h"
#include "pkcs15/scpkcs15dataobjectlist.h"
#include "pkcs15/scpkcs15prvkeylist.h"
#include "pkcs15/scpkcs15pubkeylist.h"
#include "pkcs15/scpkcs15seckeylist.h"
#include "smartcard/sc_transactguard.h"
#include "support/debuglog.h"
#include "support/vtest.h"

SCRESULT SCPkcs15App::Load(bool force) {
    if (!m_pCard || !m_hasDirRecord) return SC_E_BAD_USAGE;
    if (!force && (m_flags & FLAG_LOADED)) {
        SCRESULT s = m_pCard->CheckCardState();
        if (s == 0) return 0;
        m_flags &= ~FLAG_LOADED;
        return s;
    }
    m_headers.Reset();
    m_dfCleared = false;
    SCPath appPath;
    SCRESULT r = BuildAbsolutePath(&appPath);
    if (r < 0) return r;
    // What EF.DIR names inside this DF counts as another application only where it stands as one.
    r = CheckNestedApplications();
    if (r < 0) return r;
    if (!m_tokenInfo.CopyBasePath(appPath) || !m_odf.CopyBasePath(appPath)) return SC_E_NO_MEMORY;
    m_flags &= ~(FLAG_WRITABLE | FLAG_KNOWN_PROFILE);

    bool tiFromRecord = false, odfFromRecord = false;
    if (m_dirRecord.wasDdo) {
        const ASNPkcs15DDO& ddo = m_dirRecord.ddo;
        SCPath p;
        if (ddo.wasTokenInfoPath) {
            if (!SCPkcs15PathObjectInfo::PathFromAsn(ddo.tokenInfoPath, &p)) p.Clear();
            if (p.Count() > 0) {
                if (!m_tokenInfo.SetPath(p)) return SC_E_NO_MEMORY;
                tiFromRecord = true;
            }
        }
        if (ddo.wasOdfPath) {
            if (!SCPkcs15PathObjectInfo::PathFromAsn(ddo.odfPath, &p)) p.Clear();
            if (p.Count() > 0) {
                if (!m_odf.SetPath(p)) return SC_E_NO_MEMORY;
                odfFromRecord = true;
            }
        }
        if (ddo.wasOid && GetProfileNumber(ddo.oid) != 0) m_flags |= FLAG_KNOWN_PROFILE;
    }
    if (!tiFromRecord) {
        const uint16_t id = 0x5032;
        if (!m_tokenInfo.SetPath(&id, 1)) return SC_E_NO_MEMORY;
    }
    if (!odfFromRecord) {
        const uint16_t id = 0x5031;
        if (!m_odf.SetPath(&id, 1)) return SC_E_NO_MEMORY;
    }
    m_flags |= FLAG_PATHS_FIXED;

    r = m_tokenInfo.Load(force);
    if (r < 0) {
        // A TokenInfo not (yet) written: the key set needs its copy, or the one held.
        if ((r == SC_E_FILE_NOT_FOUND || r == SC_E_INVALID_DATA_FORMAT) && !TakeKeySetCopy() && m_keySet.Held())
            (void)ApplyKeySetTo(m_keySet, &m_headers);
        return r;
    }
    // A TokenInfo that names no key set while the key set's copy stands was cut in
    // its writing (its tail still the card's filler): the token is not finished.
    if (!TokenInfoNamesKeySet() && TakeKeySetCopy()) {
        DebugLogWriteText(2, 0, "PKCS#15: TokenInfo names no key set beside the key set's copy - not written whole");
        return SC_E_INVALID_DATA_FORMAT;
    }
    if (m_tokenInfo.Contents().isReadOnly())
        m_flags &= ~FLAG_WRITABLE;
    else if (IsKnownProfile())
        m_flags |= FLAG_WRITABLE;

    SCRESULT lists = m_odf.Load(force);
    if (lists == 0 || lists == SC_E_FILE_NOT_FOUND) lists = BuildObjectLists();

    ReadProfileRecords();
    m_odf.SetCreateParameters(m_odf.GetLifeCycleState(), m_odf.GetAccessTemplate(), m_headers);
    m_tokenInfo.SetCreateParameters(m_tokenInfo.GetLifeCycleState(), m_tokenInfo.GetAccessTemplate(), m_headers);
    // The lists were made before the profile was read: their objects take its references
    // (the security environment of a key among them).
    for (DirList& l : m_lists)
        for (POSITION p = l.GetHeadPosition(); p;) {
            SCPkcs15ObjectList* list = l.GetNext(p);
            list->SetCreateParameters(list->GetLifeCycleState(), list->GetAccessTemplate(), m_headers);
        }
    if (lists == 0) m_flags |= FLAG_LOADED;
    return 0;
}

SCRESULT SCPkcs15App::BuildObjectLists() {
    if (!m_pCard) return SC_E_CARD_NOT_CONNECTED;
    if (!m_odf.IsLoaded()) {
        SCRESULT r = m_odf.Load(false);
        if (r < 0) return r;
    }
    static const int kOrder[] = {0xA8, 0xA4, 0xA7, 0xA0, 0xA1, 0xA3, 0xA5, 0xA2, 0xA6};
    for (int tag : kOrder) GetListForTag(tag)->DeleteAll();

    SCPath app;
    const bool hasApp = BuildAbsolutePath(&app) >= 0;
    for (POSITION pos = m_odf.GetFirstEntryPosition(); pos;) {
        SCPkcs15OdfEntry* e = m_odf.GetNextEntry(pos);
        if (!e) continue;
        SCPath path;
        if (!SCPkcs15PathObjectInfo::PathFromAsn(e->value, &path)) path.Clear();
        // Another application's directory is not this token's, whoever may write the ODF:
        // the entry stays in the file, and nothing is read or written through it.
        if (hasApp && path.Count() > 0 && IsInOtherApplication(path.BuildAbsolute(app))) {
            DebugLogWrite(2, 0, "PKCS#15: the ODF entry %02X names %s in another application's DF: read around",
                          static_cast<unsigned>(e->tag), path.BuildAbsolute(app).Text().c_str());
            continue;
        }
        SCPkcs15ObjectList* list = AddObjectList(e->tag);
        if (!list) return SC_E_NO_MEMORY;
        if (path.Count() > 0 && (path.Count() > 0xFFFF || !list->SetPath(path.Ids(), static_cast<uint16_t>(path.Count()))))
            return SC_E_NO_MEMORY;
        list->SetCard(m_pCard);
    }

    ASNPkcs15AuthObject* user = nullptr;
    SCRESULT found = FindPinObject(PIN_USER, &user);
    if (found == 0 && user) SetAuthObjectForLists(user);
    return found;
}

SCPkcs15ObjectList* SCPkcs15App::CreateObjectList(int odfTag) const {
    switch (odfTag) {
        case 0xA0: return new (std::nothrow) SCPkcs15PrivateKeyList(m_pCard);
        case 0xA1:
        case 0xA2: return new (std::nothrow) SCPkcs15PublicKeyList(m_pCard);
        case 0xA3: return new (std::nothrow) SCPkcs15SecretKeyList(m_pCard);
        case 0xA4:
        case 0xA5:
        case 0xA6: return new (std::nothrow) SCPkcs15CertificateList(m_pCard);
        case 0xA7: return new (std::nothrow) SCPkcs15DataObjectList(m_pCard);
        case 0xA8: return new (std::nothrow) SCPkcs15AuthObjectList(m_pCard);
        default: AssertInvariant(0, "scpkcs15app", __LINE__, "0", nullptr); return nullptr;
    }
}

SCPkcs15ObjectList* SCPkcs15App::AddObjectList(int odfTag) {
    DirList* target = GetListForTag(odfTag);
    if (!target) {
        AssertInvariant(0, "scpkcs15app", __LINE__, "0", nullptr);
        return nullptr;
    }
    SCPkcs15ObjectList* list = CreateObjectList(odfTag);
    if (!list) return nullptr;
    list->SetCard(nullptr);
    if (odfTag == 0xA2 || odfTag == 0xA5) list->SetTrusted(true);
    if (!target->AddTail(list)) {
        delete list;
        return nullptr;
    }
    list->SetCard(m_pCard);
    SCPath appPath;
    if (BuildAbsolutePath(&appPath) < 0 || !list->CopyBasePath(appPath)) return nullptr;
    list->SetApplication(this);
    list->SetCreateParameters(list->GetLifeCycleState(), list->GetAccessTemplate(), m_headers);
    return list;
}

int SCPkcs15App::GetSerialNumber(uint8_t* buf, int bufLen) {
    if (!IsLoaded()) (void)Load(false);
    const ASNoctstr& sn = m_tokenInfo.Contents().serialNumber;
    long n = sn.getLength();
    if (n <= 0) return 0;
    if (n > bufLen || !buf) return static_cast<int>(-n);
    std::memcpy(buf, sn.getData(), static_cast<size_t>(n));
    return static_cast<int>(n);
}

SCRESULT SCPkcs15App::GetUsedPaths(SCPathList* out, uint32_t kind, uint32_t flags) {
    if (!out) return SC_E_BAD_PARAMS;
    // Kind 0: every list, the authentication objects too.
    const int lists = kind == 0 ? (1 << L_COUNT) - 1 : ListsForKind(kind);
    if (lists < 0) return SC_E_PKCS15_INVALID_ATTR;
    SCPkcs15ObjectAttributeList tmpl;
    if (kind != 0 && !tmpl.AddInteger(p15attr::kKind, kind)) return SC_E_NO_MEMORY;
    for (int i = 0; i < L_COUNT; ++i) {
        if (!(lists & (1 << i))) continue;
        for (POSITION p = m_lists[i].GetHeadPosition(); p;) {
            SCPkcs15ObjectList* f = m_lists[i].GetNext(p);
            SCPath full;
            if (f->GetPath().Count() > 0 && f->GetFullPathInto(full)) out->AddUnique(full.Ids(), full.Count());
            void* h = nullptr;
            for (;;) {
                uint32_t found = 0;
                void* prev = h;
                SCRESULT r = f->FindObjects(kind ? &tmpl : nullptr, &found, &h, flags != 0);
                if (IsCardGoneResult(r) || r == SC_E_NO_MEMORY) return r;
                if (r < 0 || !found || !h || h == prev) break;
                SCPkcs15PathObjectInfo* value = nullptr;
                r = f->GetValueObject(h, &value);
                if (IsCardGoneResult(r) || r == SC_E_NO_MEMORY) return r;
                if (value && value->GetPath().Count() > 0 && value->GetFullPathInto(full))
                    out->AddUnique(full.Ids(), full.Count());
            }
        }
    }
    return 0;
}

SCRESULT SCPkcs15App::PathsInDeletionOrder(SCPathList* out) {
    // The files of the objects of one kind of directory.
    const auto valuesOf = [&](int idx) -> SCRESULT {
        for (POSITION p = m_lists[idx].GetHeadPosition(); p;) {
            SCPkcs15ObjectList* f = m_lists[idx].GetNext(p);
            void* h = nullptr;
            for (;;) {
                uint32_t found = 0;
                void* prev = h;
                SCRESULT r = f->FindObjects(nullptr, &found, &h, false);
                if (IsCardGoneResult(r) || r == SC_E_NO_MEMORY) return r;
                if (r < 0 || !found || !h || h == prev) break;
                SCPkcs15PathObjectInfo* value = nullptr;
                r = f->GetValueObject(h, &value);
                if (IsCardGoneResult(r) || r == SC_E_NO_MEMORY) return r;
                SCPath full;
                if (value && value->GetPath().Count() > 0 && value->GetFullPathInto(full))
                    out->AddUnique(full.Ids(), full.Count());
            }
        }
        return 0;
    };
    SCRESULT r = valuesOf(L_PRKDF);
    if (r >= 0) r = valuesOf(L_SKDF);
    SCPathList all, lists;
    if (r >= 0) r = GetUsedPaths(&all, 0, 0);
    if (r < 0) return r;
    SCPath full;
    for (int i = 0; i < L_COUNT; ++i)
        for (POSITION p = m_lists[i].GetHeadPosition(); p;)
            if (m_lists[i].GetNext(p)->GetFullPathInto(full)) lists.AddUnique(full.Ids(), full.Count());
    const auto isList = [&](const SCPath& path) {
        for (size_t i = 0; i < lists.Count(); ++i)
            if (lists.At(i).IsEqual(path)) return true;
        return false;
    };
    for (size_t i = 0; i < all.Count(); ++i)
        if (!isList(all.At(i))) out->AddUnique(all.At(i).Ids(), all.At(i).Count());
    // The PIN directory last of them: the PINs stand until the DF goes.
    for (int i = 0; i < L_COUNT; ++i)
        for (POSITION p = i == L_AODF ? nullptr : m_lists[i].GetHeadPosition(); p;)
            if (m_lists[i].GetNext(p)->GetFullPathInto(full)) out->AddUnique(full.Ids(), full.Count());
    for (size_t i = 0; i < all.Count(); ++i) out->AddUnique(all.At(i).Ids(), all.At(i).Count());
    if (m_odf.GetFullPathInto(full)) out->AddUnique(full.Ids(), full.Count());
    if (m_tokenInfo.GetFullPathInto(full)) out->AddUnique(full.Ids(), full.Count());
    return 0;
}

SCRESULT SCPkcs15App::SoMayDeleteEach(const SCPath& app, const SCPathList& paths) {
    SCAccessRequest probe;
    probe.operation = SC_AC_OP_DELETE_SELF;
    // A DF whose header shows no rules shows none for its files either.
    SCRESULT r = m_pCard->GetAccessRules(app.Ids(), app.Count(), &probe, 1, nullptr, 0, false, &m_headers);
    if (r == SC_E_UNSUPPORTED_FEATURE) return 0;
    if (r < 0) return r;
    SCValueSet held;
    m_pCard->GetVerifiedPins(&held);
    if (!held.Add(SC_AC_ALWAYS)) return SC_E_NO_MEMORY;
    const auto met = [&held](const SCAccessRequest& req) {
        for (int32_t k = 0; k < held.Count(); ++k)
            if (req.refs.Contains(held.At(k))) return true;
        return false;
    };
    // The DF goes last, once empty, under its own rule.
    for (size_t i = 0; i <= paths.Count(); ++i) {
        const SCPath& p = i < paths.Count() ? paths.At(i) : app;
        SCAccessRequest del;
        del.operation = SC_AC_OP_DELETE_SELF;
        if (i < paths.Count()) {
            r = m_pCard->GetAccessRules(p.Ids(), p.Count(), &del, 1, nullptr, 0, false, &m_headers);
            if (r == SC_E_FILE_NOT_FOUND || r == SC_E_UNSUPPORTED_FEATURE) continue;
            if (r < 0) return r;
        } else {
            del = probe;
        }
        if (!met(del)) {
            DebugLogWrite(2, 0, "PKCS#15: %s - the PINs held may not delete it: nothing deleted", p.Text().c_str());
            return SC_E_ACCESS_DENIED;
        }
    }
    return 0;
}

void SCPkcs15App::ListOnlyWhatStands(const SCPathList& gone, const SCPath& refused) {
    const auto isGone = [&gone](const SCPath& path) {
        for (size_t i = 0; i < gone.Count(); ++i)
            if (gone.At(i).IsEqual(path)) return true;
        return false;
    };
    m_partlyCleared = true;
    DebugLogWrite(2, 0, "PKCS#15: %s - the card refused its deletion after %u files went: the directories that "
                  "name them are written without them", refused.Text().c_str(), static_cast<unsigned>(gone.Count()));
    for (int i = 0; i < L_COUNT; ++i) {
        for (POSITION pos = m_lists[i].GetHeadPosition(); pos;) {
            SCPkcs15ObjectList* f = m_lists[i].GetNext(pos);
            std::vector<void*> handles;
            void* h = nullptr;
            for (;;) {
                uint32_t found = 0;
                void* prev = h;
                const SCRESULT r = f->FindObjects(nullptr, &found, &h, false);
                if (r < 0 || !found || !h || h == prev) break;
                SCPkcs15PathObjectInfo* value = nullptr;
                SCPath full;
                if (f->GetValueObject(h, &value) >= 0 && value && value->GetPath().Count() > 0 &&
                    value->GetFullPathInto(full) && isGone(full)) {
                    try {
                        handles.push_back(h);
                    } catch (const std::bad_alloc&) {
                        break;
                    }
                }
            }
            if (handles.empty()) continue;
            for (void* gh : handles) f->RemoveValueObject(gh);
            SCPath file;
            if (!f->GetFullPathInto(file) || isGone(file)) continue;
            SCPkcs15WriteOutcome outcome;
            SCRESULT r = f->WriteDirectoryFile(&outcome);
            const char* how = "written without them";
            // A directory the card does not let the SO write, and that names nothing standing any more, goes.
            if (r < 0 && outcome.cardUnchanged && f->IsEmpty() && !IsCardGoneResult(r) && file.Count() > 1) {
                r = m_pCard->DeleteFileById(file[file.Count() - 1], SCPath(file.Ids(), file.Count() - 1));
                how = "deleted, as it names nothing else";
            }
            if (r < 0)
                DebugLogWrite(2, 0, "PKCS#15: %s still names %u files gone: the card refused to change it",
                              file.Text().c_str(), static_cast<unsigned>(handles.size()));
            else
                DebugLogWrite(2, 0, "PKCS#15: %s named %u files gone: %s", file.Text().c_str(),
                              static_cast<unsigned>(handles.size()), how);
        }
    }
}

SCRESULT SCPkcs15App::ClearPkcs15Directory() {
    if (!m_pCard) return SC_E_BAD_USAGE;
    SCPath app;
    SCRESULT r = BuildAbsolutePath(&app);
    if (r < 0) return r;
    SCTransactGuard guard(m_pCard);
    m_partlyCleared = false;
    m_dfCleared = false;
    // The key set goes over to the structure built anew as the card holds it now:
    // the TokenInfo is read afresh, and one the card does not give ends the call
    // before anything is deleted.
    KeySet held;
    try {
        held = m_keySet;
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    const bool wasRead = IsLoaded();
    SCRESULT read = wasRead ? m_tokenInfo.Load(true) : Load(true);
    // The TokenInfo of a token read whole is no more absent because one answer says so.
    if (wasRead && read == SC_E_FILE_NOT_FOUND) read = m_tokenInfo.Load(true);
    if (wasRead && read == SC_E_FILE_NOT_FOUND) {
        m_flags &= ~FLAG_LOADED;  // the next call reads the token again, its TokenInfo too
        m_tokenInfo.ForgetFile();
        DebugLogWrite(2, 0, "PKCS#15: %s - the card says twice that the TokenInfo of the token read from it is absent: "
                      "nothing deleted", app.Text().c_str());
        return SC_E_FILE_STATUS_UNKNOWN;
    }
    // This call read the token from its DF: the card's saying that the DF is absent
    // is its answer changing, whatever command it answers.
    const bool readHere = wasRead || read >= 0;
    r = TakeKeySetAsRead(held, read);
    // The key set stays on the card while no TokenInfo names it.
    if (r >= 0) r = KeepKeySetCopy();
    // Nothing is gone yet: a "not found" here deletes nothing.
    if (r == SC_E_FILE_NOT_FOUND) r = SC_E_FILE_STATUS_UNKNOWN;
    if (r < 0) return r;
    const uint16_t dfId = app[app.Count() - 1];
    SCPath parent(app.Ids(), app.Count() - 1);
    // The DF the token's lies in must stand: a "not found" is asked once more.
    auto selectParent = [&]() -> SCRESULT {
        if (app.Count() <= 1) return 0;
        SCRESULT s = m_pCard->SelectPathThunk(parent.Ids(), parent.Count(), 0);
        if (s == SC_E_FILE_NOT_FOUND) s = m_pCard->SelectPathThunk(parent.Ids(), parent.Count(), 0);
        if (s != SC_E_FILE_NOT_FOUND) return s;
        DebugLogWrite(2, 0, "PKCS#15: %s - the card says twice that %s is absent: the DF is not deleted",
                      app.Text().c_str(), parent.Text().c_str());
        return SC_E_FILE_STATUS_UNKNOWN;
    };
    // What a "not found" for the DF leaves (`sent`: its DELETE answered so). A DF
    // read in this call cannot have gone without its DELETE; one never read here
    // gets its DELETE, and counts as gone where the DELETE and a selection after it
    // say so: a DF that stands is not gone because one answer said it was.
    std::function<SCRESULT(bool)> absent;
    const auto deleteDf = [&]() -> SCRESULT {
        SCRESULT s = selectParent();
        if (s >= 0) s = app.Count() > 1 ? m_pCard->DeleteFileById(dfId) : m_pCard->DeleteFileById(dfId, parent);
        return s == SC_E_FILE_NOT_FOUND ? absent(true) : s;
    };
    absent = [&](bool sent) -> SCRESULT {
        if (readHere) {
            DebugLogWrite(2, 0, "PKCS#15: %s - the card says the DF is absent%s, though the token was read from it in "
                          "this call: the card changed its answer", app.Text().c_str(), sent ? " to its DELETE" : "");
            return SC_E_FILE_STATUS_UNKNOWN;
        }
        if (!sent) return deleteDf();
        const SCRESULT still = m_pCard->SelectPath(app.Ids(), app.Count(), nullptr);
        if (still == SC_E_FILE_NOT_FOUND) return still;
        if (still >= 0)
            DebugLogWrite(2, 0, "PKCS#15: %s - the card answered the DF's DELETE \"not found\" and then shows the DF: "
                          "the card changed its answer", app.Text().c_str());
        return still < 0 ? still : SC_E_FILE_STATUS_UNKNOWN;
    };
    // The DF counts as gone once deleted, or where it was gone already.
    const auto done = [&](SCRESULT res) -> SCRESULT {
        if (res >= 0 || res == SC_E_FILE_NOT_FOUND) m_dfCleared = true;
        return res < 0 ? res : 0;
    };
    // A card that deletes a DF with its files takes the token in one command, under
    // the DF's rule (which the caller asked of its header).
    const bool whole = m_pCard->DeletesDfWithFiles();
    if (whole) {
        r = deleteDf();
        if (r != SC_E_DIR_NOT_EMPTY) return done(r);
        DebugLogWriteText(2, 0, "PKCS#15: Katalog DF(Pkcs15) nie jest pusty - kasowanie rekursywne...");
    }

    // Otherwise each file goes by itself. The objects' files go first, the keys
    // leading (the SO is refused a key its holder keeps to itself, and then nothing
    // is gone yet), then the directories that name them, the ODF and TokenInfo
    // last. Where headers show rules, every deletion is asked of them before the
    // first one.
    SCPathList paths;
    r = PathsInDeletionOrder(&paths);
    if (r == SC_E_FILE_NOT_FOUND) r = SC_E_FILE_STATUS_UNKNOWN;
    if (r < 0) return r;
    r = SoMayDeleteEach(app, paths);
    // The DF's own header said it is absent.
    if (r == SC_E_FILE_NOT_FOUND) return done(absent(false));
    if (r < 0) return r;

    auto deleteTree = [&]() -> SCRESULT {
        size_t count = 0;
        size_t need = paths.ResolveRelative(app.Ids(), app.Count(), 0, nullptr, &count);
        std::vector<uint16_t> words(need > 512 ? need : 512);
        paths.ResolveRelative(app.Ids(), app.Count(), 0, words.data(), &count);
        return m_pCard->DeleteDfTree(dfId, m_headers, words.data(), count, 0xFFFFFFFFu);
    };
    if (!whole) {
        // Such a card keeps a DF that holds a PIN, and this call deletes none: where
        // the token's PINs stand in its DF, the DF would stay without its files.
        std::vector<std::pair<SCPath, uint8_t>> pins;
        try {
            r = GetNamedPins(&pins);
        } catch (const std::bad_alloc&) {
            r = SC_E_NO_MEMORY;
        }
        if (r == SC_E_FILE_NOT_FOUND) r = SC_E_FILE_STATUS_UNKNOWN;
        if (r < 0) return r;
        for (const auto& pin : pins) {
            if (pin.second < 0x80 || pin.first.Count() < app.Count() ||
                !SCPath(pin.first.Ids(), app.Count()).IsEqual(app))
                continue;
            DebugLogWrite(2, 0, "PKCS#15: %s holds PIN %02X, which keeps the DF on this card: nothing deleted",
                          pin.first.Text().c_str(), static_cast<unsigned>(pin.second));
            return SC_E_ACCESS_DENIED;
        }
        // One by one, so that a refusal tells what went before it.
        SCPathList gone;
        for (size_t i = 0; i < paths.Count(); ++i) {
            const SCPath& p = paths.At(i);
            if (p.Count() <= app.Count()) continue;
            r = m_pCard->DeleteFileById(p[p.Count() - 1], SCPath(p.Ids(), p.Count() - 1));
            if (r == SC_E_FILE_NOT_FOUND) continue;
            if (r < 0) {
                if (gone.Count() > 0 && !IsCardGoneResult(r)) ListOnlyWhatStands(gone, p);
                return r;
            }
            if (!gone.AddUnique(p.Ids(), p.Count())) return SC_E_NO_MEMORY;
        }
        paths.Clear();
    }
    r = selectParent();
    if (r < 0) return r;
    r = deleteTree();
    if (r == SC_E_FILE_NOT_FOUND) r = absent(false);
    if (r != SC_E_DIR_NOT_EMPTY) return done(r);

    DebugLogWriteText(2, 0,
                      "PKCS#15: Katalog DF(Pkcs15) wciąż nie jest pusty - kasowanie ewentualnych pozostałości...");
    auto add = [&](uint16_t fid) {
        SCPath p = app;
        p.Append(fid);
        paths.AddUnique(p.Ids(), p.Count());
    };
    add(0x5200);
    add(0x5201);
    for (uint16_t i = 0; i < 4; ++i) {
        add(0x5300 + i);
        add(0x5400 + i);
        add(0x5600 + i);
        add(0x5500 + i);
        add(0x5700 + i);
    }
    for (uint16_t i = 0; i < 40; ++i) {
        add(0x6000 + i);
        add(0x7000 + i);
        add(0x9000 + i);
        add(0xA000 + i);
        add(0x8000 + i);
    }
    r = deleteTree();
    if (r == SC_E_FILE_NOT_FOUND) r = absent(false);
    return done(r);
}
