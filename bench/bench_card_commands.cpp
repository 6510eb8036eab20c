// What each everyday call costs the card: the commands the module sends and the
// octets of commands and answers together, from the card simulator's log, on a
// token made by C_InitToken (model 3) and on the shipped model-3 token. On a real
// card every command takes milliseconds, so these counts are the calls' speed.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_module_host.h"
#include "bench/bench_paths.h"

namespace {

using benchpaths::BuildDir;

// The simulator's log, read through its control interface (the same library the module loads).
struct SimLog {
    void* handle = dlopen((BuildDir() + "/libcardsim.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    size_t (*get)(const char*, char*, size_t) =
        handle ? reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(handle, "CardSimGetApduLog")) : nullptr;
    int (*clear)(const char*) = handle ? reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimClearLog")) : nullptr;
    int (*load)(const char*) = handle ? reinterpret_cast<int (*)(const char*)>(dlsym(handle, "CardSimLoadConfig")) : nullptr;

    // Commands and octets since the last count.
    std::pair<int, size_t> Count() {
        std::string text(get(nullptr, nullptr, 0), '\0');
        if (!text.empty()) get(nullptr, &text[0], text.size());
        clear(nullptr);
        int commands = 0;
        size_t octets = 0;
        std::istringstream in(text.c_str());
        for (std::string line; std::getline(in, line);) {
            if (line.compare(0, 2, "> ") == 0) ++commands;
            if (line.compare(0, 2, "> ") == 0 || line.compare(0, 2, "< ") == 0) octets += (line.size() - 2) / 2;
        }
        return {commands, octets};
    }
};

CK_UTF8CHAR_PTR U8(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

// The calls of one token, each counted.
void Measure(const char* title, const std::string& card, bool initialise) {
    const std::string build = BuildDir();
    const std::string home = MakeTempDir("bench-card-commands");
    mkdir((home + "/.MIRTAL").c_str(), 0700);
    if (!CopyFile(build + "/libmirtalp11.so", home + "/module.so") || !CopyFile(build + "/cards/" + card, home + "/card")) {
        std::printf("%s: cannot copy the module or the card\n", title);
        return;
    }
    std::ofstream(home + "/sim.conf") << "reader CardSim Reader 0\ncard " << home << "/card\n";
    setenv("CARDSIM_CONFIG", (home + "/sim.conf").c_str(), 1);
    std::ofstream(home + "/.MIRTAL/pkcs11.conf") << "EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \""
                                                 << build << "/libcardsim.so;Sim\"\nPKCS15Flags = 0x200\n";
    SimLog log;
    if (log.load == nullptr || log.load(nullptr) != 0) {
        std::printf("%s: the card simulator cannot be loaded\n", title);
        RemoveTree(home);
        return;
    }
    std::unique_ptr<Side> side(new Side(home + "/module.so", home));
    CK_FUNCTION_LIST* f = side->fl();
    if (f == nullptr || log.get == nullptr || log.clear == nullptr) {
        std::printf("%s: %s\n", title, f == nullptr ? side->error().c_str() : "no simulator log");
        RemoveTree(home);
        return;
    }
    CK_SESSION_HANDLE s = 0;
    if (initialise) {
        CK_UTF8CHAR label[32];
        std::memset(label, ' ', sizeof label);
        std::memcpy(label, "Counted", 7);
        f->C_InitToken(0, U8("87654321"), 8, label);
        f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
        f->C_Login(s, CKU_SO, U8("87654321"), 8);
        f->C_InitPIN(s, U8("1234"), 4);
        f->C_CloseAllSessions(0);
    }
    std::printf("\n%-46s %8s %9s\n", title, "commands", "octets");
    const auto row = [&](const char* what, CK_RV rv) {
        const std::pair<int, size_t> c = log.Count();
        std::printf("  %-44s %8d %9zu%s\n", what, c.first, c.second, rv == CKR_OK ? "" : "  (failed)");
    };
    f->C_Finalize(nullptr);
    log.Count();
    CK_TOKEN_INFO ti;
    CK_RV rv = f->C_Initialize(nullptr);
    if (rv == CKR_OK) rv = f->C_GetTokenInfo(0, &ti);
    row("C_Initialize, the first C_GetTokenInfo", rv);
    f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    row("C_Login (user)", f->C_Login(s, CKU_USER, U8("1234"), 4));
    CK_OBJECT_HANDLE found[64];
    CK_ULONG n = 0;
    rv = f->C_FindObjectsInit(s, nullptr, 0);
    if (rv == CKR_OK) rv = f->C_FindObjects(s, found, 64, &n);
    f->C_FindObjectsFinal(s);
    row("C_FindObjects, every object", rv);
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    std::string value(256, 'v'), label = "Counted data object";
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &data, sizeof data},      {CKA_TOKEN, &yes, sizeof yes},
                        {CKA_PRIVATE, &no, sizeof no},        {CKA_LABEL, &label[0], label.size()},
                        {CKA_VALUE, &value[0], value.size()}};
    CK_OBJECT_HANDLE obj = 0;
    row("C_CreateObject, a data object of 256 octets", f->C_CreateObject(s, t, 5, &obj));
    std::string relabel = "A data object counted again";
    CK_ATTRIBUTE l[] = {{CKA_LABEL, &relabel[0], relabel.size()}};
    row("C_SetAttributeValue, a longer label", f->C_SetAttributeValue(s, obj, l, 1));
    std::string shorter(100, 's');
    CK_ATTRIBUTE v[] = {{CKA_VALUE, &shorter[0], shorter.size()}};
    row("C_SetAttributeValue, a shorter value", f->C_SetAttributeValue(s, obj, v, 1));
    row("C_DestroyObject", f->C_DestroyObject(s, obj));
    CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 1024;
    CK_BYTE e[] = {1, 0, 1}, id[] = {0x77};
    CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_MODULUS_BITS, &bits, sizeof bits},
                          {CKA_PUBLIC_EXPONENT, e, sizeof e}, {CKA_ID, id, sizeof id}};
    CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_PRIVATE, &yes, sizeof yes},
                          {CKA_SIGN, &yes, sizeof yes}, {CKA_ID, id, sizeof id}};
    CK_OBJECT_HANDLE hpub = 0, hprv = 0;
    row("C_GenerateKeyPair, RSA 1024", f->C_GenerateKeyPair(s, &gen, pub, 4, prv, 4, &hpub, &hprv));
    CK_MECHANISM sign = {CKM_RSA_PKCS, nullptr, 0};
    CK_BYTE msg[] = "counted", sig[512];
    CK_ULONG sigLen = sizeof sig;
    rv = f->C_SignInit(s, &sign, hprv);
    if (rv == CKR_OK) rv = f->C_Sign(s, msg, sizeof msg - 1, sig, &sigLen);
    row("C_SignInit, C_Sign", rv);
    row("C_DestroyObject, the key pair", f->C_DestroyObject(s, hprv) == CKR_OK ? f->C_DestroyObject(s, hpub) : rv);
    side.reset();
    RemoveTree(home);
}

}  // namespace

int main() {
    std::printf("Card commands and octets (commands and answers together) of each call\n");
    Measure("Token made by C_InitToken (model 3)", "blank-model3.card", true);
    Measure("The shipped token (model 3)", "pkcs15-model3.card", false);
    return 0;
}
