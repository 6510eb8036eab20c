// What each everyday call costs the card: the commands the module sends and the
// octets of commands and answers together, from the card simulator's log, on a
// token made by C_InitToken (model 3) and on the shipped model-3 token. On a real
// card every command takes milliseconds, so these counts are the calls' speed.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
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

// A module over one simulated card: the card copied from the build, the module
// loaded with the simulator as its reader, the calls counted.
struct Token {
    const char* title;
    const std::string build = BuildDir();
    const std::string home = MakeTempDir("bench-card-commands");
    SimLog log;
    std::unique_ptr<Side> side;
    CK_FUNCTION_LIST* f = nullptr;
    CK_SESSION_HANDLE s = 0;

    Token(const char* what, const std::string& card, bool initialise) : title(what) {
        mkdir((home + "/.MIRTAL").c_str(), 0700);
        if (!CopyFile(build + "/libmirtalp11.so", home + "/module.so") ||
            !CopyFile(build + "/cards/" + card, home + "/card")) {
            std::printf("%s: cannot copy the module or the card\n", title);
            return;
        }
        std::ofstream(home + "/sim.conf") << "reader CardSim Reader 0\ncard " << home << "/card\n";
        setenv("CARDSIM_CONFIG", (home + "/sim.conf").c_str(), 1);
        std::ofstream(home + "/.MIRTAL/pkcs11.conf") << "EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \""
                                                     << build << "/libcardsim.so;Sim\"\nPKCS15Flags = 0x200\n";
        if (log.load == nullptr || log.load(nullptr) != 0 || log.get == nullptr || log.clear == nullptr) {
            std::printf("%s: the card simulator cannot be loaded\n", title);
            return;
        }
        side.reset(new Side(home + "/module.so", home));
        f = side->fl();
        if (f == nullptr) std::printf("%s: %s\n", title, side->error().c_str());
        if (f == nullptr || !initialise) return;
        CK_UTF8CHAR label[32];
        std::memset(label, ' ', sizeof label);
        std::memcpy(label, "Counted", 7);
        f->C_InitToken(0, U8("87654321"), 8, label);
        f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
        f->C_Login(s, CKU_SO, U8("87654321"), 8);
        f->C_InitPIN(s, U8("1234"), 4);
        f->C_CloseAllSessions(0);
    }
    ~Token() {
        side.reset();
        RemoveTree(home);
    }
    // The module started again, as a process of its own would, with a session; the user logged in.
    bool Restart(bool login) {
        side.reset();
        side.reset(new Side(home + "/module.so", home));
        f = side->fl();
        if (f == nullptr || f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) != CKR_OK)
            return false;
        return !login || f->C_Login(s, CKU_USER, U8("1234"), 4) == CKR_OK;
    }
    void Heading() { std::printf("\n%-46s %8s %9s\n", title, "commands", "octets"); }
    void Row(const char* what, CK_RV rv) {
        const std::pair<int, size_t> c = log.Count();
        std::printf("  %-44s %8d %9zu%s\n", what, c.first, c.second, rv == CKR_OK ? "" : "  (failed)");
    }
    // The first object of a class with this label.
    CK_OBJECT_HANDLE Find(CK_OBJECT_CLASS cls, const std::string& label) {
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, const_cast<char*>(label.data()), label.size()}};
        CK_OBJECT_HANDLE h = 0;
        CK_ULONG n = 0;
        if (f->C_FindObjectsInit(s, t, 2) == CKR_OK) f->C_FindObjects(s, &h, 1, &n);
        f->C_FindObjectsFinal(s);
        return n ? h : 0;
    }
};

// A data object of 256 octets, public.
CK_RV MakeData(Token& t, const std::string& label, char fill, CK_OBJECT_HANDLE* obj) {
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    std::string value(256, fill), name = label;
    CK_ATTRIBUTE d[] = {{CKA_CLASS, &data, sizeof data}, {CKA_TOKEN, &yes, sizeof yes},
                        {CKA_PRIVATE, &no, sizeof no},   {CKA_LABEL, &name[0], name.size()},
                        {CKA_VALUE, &value[0], value.size()}};
    return t.f->C_CreateObject(t.s, d, 5, obj);
}

// The calls of one token, each counted.
void Measure(const char* title, const std::string& card, bool initialise) {
    Token t(title, card, initialise);
    if (t.f == nullptr) return;
    CK_FUNCTION_LIST* f = t.f;
    t.Heading();
    f->C_Finalize(nullptr);
    t.log.Count();
    CK_TOKEN_INFO ti;
    CK_RV rv = f->C_Initialize(nullptr);
    if (rv == CKR_OK) rv = f->C_GetTokenInfo(0, &ti);
    t.Row("C_Initialize, the first C_GetTokenInfo", rv);
    CK_SESSION_HANDLE& s = t.s;
    f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    t.Row("C_Login (user)", f->C_Login(s, CKU_USER, U8("1234"), 4));
    CK_OBJECT_HANDLE found[64];
    CK_ULONG n = 0;
    rv = f->C_FindObjectsInit(s, nullptr, 0);
    if (rv == CKR_OK) rv = f->C_FindObjects(s, found, 64, &n);
    f->C_FindObjectsFinal(s);
    t.Row("C_FindObjects, every object", rv);
    CK_OBJECT_HANDLE obj = 0;
    t.Row("C_CreateObject, a data object of 256 octets", MakeData(t, "Counted data object", 'v', &obj));
    std::string relabel = "A data object counted again";
    CK_ATTRIBUTE l[] = {{CKA_LABEL, &relabel[0], relabel.size()}};
    t.Row("C_SetAttributeValue, a longer label", f->C_SetAttributeValue(s, obj, l, 1));
    std::string shorter(100, 's');
    CK_ATTRIBUTE v[] = {{CKA_VALUE, &shorter[0], shorter.size()}};
    t.Row("C_SetAttributeValue, a shorter value", f->C_SetAttributeValue(s, obj, v, 1));
    t.Row("C_DestroyObject", f->C_DestroyObject(s, obj));
    CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG bits = 1024;
    CK_BYTE e[] = {1, 0, 1}, id[] = {0x77};
    CK_ATTRIBUTE pub[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_MODULUS_BITS, &bits, sizeof bits},
                          {CKA_PUBLIC_EXPONENT, e, sizeof e}, {CKA_ID, id, sizeof id}};
    CK_ATTRIBUTE prv[] = {{CKA_TOKEN, &yes, sizeof yes}, {CKA_PRIVATE, &yes, sizeof yes},
                          {CKA_SIGN, &yes, sizeof yes}, {CKA_ID, id, sizeof id}};
    CK_OBJECT_HANDLE hpub = 0, hprv = 0;
    t.Row("C_GenerateKeyPair, RSA 1024", f->C_GenerateKeyPair(s, &gen, pub, 4, prv, 4, &hpub, &hprv));
    CK_MECHANISM sign = {CKM_RSA_PKCS, nullptr, 0};
    CK_BYTE msg[] = "counted", sig[512];
    CK_ULONG sigLen = sizeof sig;
    rv = f->C_SignInit(s, &sign, hprv);
    if (rv == CKR_OK) rv = f->C_Sign(s, msg, sizeof msg - 1, sig, &sigLen);
    t.Row("C_SignInit, C_Sign", rv);
    t.Row("C_DestroyObject, the key pair", f->C_DestroyObject(s, hprv) == CKR_OK ? f->C_DestroyObject(s, hpub) : rv);
}

// A self-signed certificate of about 1 KB whose subject and issuer carry long
// names, as an authority issues them; empty on failure.
std::string LongNamesCertificate(EVP_PKEY* key, int n) {
    X509* x = X509_new();
    X509_NAME* name = X509_NAME_new();
    std::string cn = "A user whose name is long enough to fill a line, number " + std::to_string(n), der;
    const auto add = [name](const char* field, const std::string& v) {
        return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(v.data()),
                                          static_cast<int>(v.size()), -1, 0) == 1;
    };
    if (x && name && key && X509_set_version(x, 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(x), 1000 + n) == 1 &&
        add("C", "PL") && add("O", "An organisation with a long name of its own") && add("CN", cn) &&
        X509_set_subject_name(x, name) == 1 && X509_set_issuer_name(x, name) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(x), 0) && X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365) &&
        X509_set_pubkey(x, key) == 1 && X509_sign(x, key, EVP_sha256()) > 0) {
        der.resize(static_cast<size_t>(std::max(0, i2d_X509(x, nullptr))));
        unsigned char* p = reinterpret_cast<unsigned char*>(&der[0]);
        if (der.empty() || i2d_X509(x, &p) != static_cast<int>(der.size())) der.clear();
    }
    X509_NAME_free(name);
    X509_free(x);
    return der;
}

// A certificate object as clients write it: label, identifier, subject, issuer, serial.
CK_RV MakeCertificate(Token& t, EVP_PKEY* key, int n) {
    std::string der = LongNamesCertificate(key, n);
    if (der.empty()) return CKR_GENERAL_ERROR;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    unsigned char* buf = nullptr;
    const int nameLen = x ? i2d_X509_NAME(X509_get_subject_name(x), &buf) : -1;
    std::string subject = nameLen > 0 ? std::string(reinterpret_cast<char*>(buf), nameLen) : std::string();
    OPENSSL_free(buf);
    X509_free(x);
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    std::string label = "Certificate of a user whose name is long enough, number " + std::to_string(n);
    std::string id = {static_cast<char>(n), static_cast<char>(n >> 8)}, serial = {0x02, 0x02, static_cast<char>((1000 + n) >> 8),
                                                                                 static_cast<char>(1000 + n)};
    CK_ATTRIBUTE c[] = {{CKA_CLASS, &cls, sizeof cls},          {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                        {CKA_TOKEN, &yes, sizeof yes},          {CKA_PRIVATE, &no, sizeof no},
                        {CKA_LABEL, &label[0], label.size()},   {CKA_ID, &id[0], id.size()},
                        {CKA_SUBJECT, &subject[0], subject.size()}, {CKA_ISSUER, &subject[0], subject.size()},
                        {CKA_SERIAL_NUMBER, &serial[0], serial.size()}, {CKA_VALUE, &der[0], der.size()}};
    CK_OBJECT_HANDLE obj = 0;
    return t.f->C_CreateObject(t.s, c, 10, &obj);
}

// The everyday calls each in a process of its own (the module started again, the
// user logged in and the object found before the count): on a token made by
// C_InitToken with two data objects and a key pair, and again after 20
// certificates with long names (up to the 30th in the end).
void MeasureEachInAProcess() {
    Token t("Each call in a process of its own (model 3)", "blank-model3.card", true);
    EVP_PKEY* key = EVP_RSA_gen(2048);
    CK_OBJECT_HANDLE h = 0;
    if (t.f == nullptr || key == nullptr || !t.Restart(true) || MakeData(t, "Object 1", '1', &h) != CKR_OK ||
        MakeData(t, "Object 2", '2', &h) != CKR_OK) {
        std::printf("%s: the token cannot be made\n", t.title);
        EVP_PKEY_free(key);
        return;
    }
    t.Heading();
    int certificates = 0;
    for (int round = 0; round < 2; ++round) {
        std::printf("  %s\n", round ? "after 20 certificates with long names" : "with two data objects");
        while (round && certificates < 20 && t.Restart(true)) MakeCertificate(t, key, certificates++);
        CK_RV rv = t.Restart(true) ? CKR_OK : CKR_GENERAL_ERROR;
        std::string value(256, round ? 'b' : 'a'), label = round ? "Object 2" : "Renamed 2";
        CK_ATTRIBUTE v[] = {{CKA_VALUE, &value[0], value.size()}}, l[] = {{CKA_LABEL, &label[0], label.size()}};
        h = t.Find(CKO_DATA, "Object 1");
        t.log.Count();
        t.Row("C_SetAttributeValue, same-length value", rv == CKR_OK ? t.f->C_SetAttributeValue(t.s, h, v, 1) : rv);
        rv = t.Restart(true) ? CKR_OK : CKR_GENERAL_ERROR;
        h = t.Find(CKO_DATA, round ? "Renamed 2" : "Object 2");
        t.log.Count();
        t.Row("C_SetAttributeValue, another label", rv == CKR_OK ? t.f->C_SetAttributeValue(t.s, h, l, 1) : rv);
        rv = t.Restart(true) && MakeData(t, "Doomed", 'd', &h) == CKR_OK && t.Restart(true) ? CKR_OK : CKR_GENERAL_ERROR;
        h = t.Find(CKO_DATA, "Doomed");
        t.log.Count();
        t.Row("C_DestroyObject, a data object", rv == CKR_OK ? t.f->C_DestroyObject(t.s, h) : rv);
        rv = t.Restart(true) ? CKR_OK : CKR_GENERAL_ERROR;
        t.log.Count();
        t.Row(round ? "C_CreateObject, the 21st certificate" : "C_CreateObject, the 1st certificate",
              rv == CKR_OK ? MakeCertificate(t, key, certificates++) : rv);
    }
    while (certificates < 30 && t.Restart(true)) MakeCertificate(t, key, certificates++);
    CK_RV rv = t.Restart(false) ? CKR_OK : CKR_GENERAL_ERROR;
    t.log.Count();
    if (rv == CKR_OK) rv = t.f->C_Login(t.s, CKU_USER, U8("1234"), 4);
    CK_OBJECT_HANDLE found[64];
    CK_ULONG n = 0;
    if (rv == CKR_OK) rv = t.f->C_FindObjectsInit(t.s, nullptr, 0);
    if (rv == CKR_OK) rv = t.f->C_FindObjects(t.s, found, 64, &n);
    t.f->C_FindObjectsFinal(t.s);
    t.Row("C_Login, C_FindObjects of 30 certificates", rv == CKR_OK && n < 32 ? CKR_GENERAL_ERROR : rv);
    EVP_PKEY_free(key);
}

// The SO's calls on a blank card of each model and a user's C_SetPIN without a
// login, each in a process of its own (the module started again before the count).
void MeasurePinCalls() {
    std::printf("\n%-46s %8s %9s\n", "PIN calls, one process each", "commands", "octets");
    const auto label = [](const char* text) {
        static CK_UTF8CHAR l[32];
        std::memset(l, ' ', sizeof l);
        std::memcpy(l, text, std::strlen(text));
        return l;
    };
    for (const char* model : {"1", "3", "4", "7"}) {
        Token t("", std::string("blank-model") + model + ".card", false);
        const auto fresh = [&t] {
            t.side.reset();
            t.side.reset(new Side(t.home + "/module.so", t.home));
            t.f = t.side->fl();
            t.log.Count();
            return t.f != nullptr;
        };
        const auto so = [&t] {
            t.s = 0;
            CK_RV rv = t.f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &t.s);
            if (rv == CKR_OK) rv = t.f->C_Login(t.s, CKU_SO, U8("87654321"), 8);
            return rv;
        };
        const std::string m = std::string("model ") + model + ": ";
        if (t.f == nullptr || !fresh()) return;
        t.Row((m + "C_InitToken").c_str(), t.f->C_InitToken(0, U8("87654321"), 8, label("Counted")));
        CK_RV rv = fresh() ? so() : CKR_GENERAL_ERROR;
        t.Row((m + "C_Login (SO), C_InitPIN").c_str(), rv == CKR_OK ? t.f->C_InitPIN(t.s, U8("1234"), 4) : rv);
        rv = fresh() ? CKR_OK : CKR_GENERAL_ERROR;
        t.Row((m + "C_InitToken again").c_str(), rv == CKR_OK ? t.f->C_InitToken(0, U8("87654321"), 8, label("Counted")) : rv);
        rv = fresh() ? CKR_OK : CKR_GENERAL_ERROR;
        t.Row((m + "C_InitToken, a new label").c_str(),
              rv == CKR_OK ? t.f->C_InitToken(0, U8("87654321"), 8, label("Relabelled")) : rv);
    }
    Token t("", "pkcs15-model3.card", false);
    if (t.f == nullptr || !t.Restart(false)) return;
    t.log.Count();
    CK_RV rv = t.f->C_SetPIN(t.s, U8("1234"), 4, U8("5678"), 4);
    t.Row("model 3: C_SetPIN without a login", rv);
}

}  // namespace

int main() {
    std::printf("Card commands and octets (commands and answers together) of each call\n");
    Measure("Token made by C_InitToken (model 3)", "blank-model3.card", true);
    Measure("The shipped token (model 3)", "pkcs15-model3.card", false);
    MeasureEachInAProcess();
    MeasurePinCalls();
    return 0;
}
