// What the benchmarks that load PKCS#11 modules share: a temporary folder, file
// copies, and a module loaded from a path of its own and initialised.
#ifndef BENCH_BENCH_MODULE_HOST_H
#define BENCH_BENCH_MODULE_HOST_H

#include <dlfcn.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pkcs11impl/cryptoki.h"

namespace {

inline std::string MakeTempDir(const char* stem) {
    std::string t = std::string("/tmp/") + stem + "-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

inline bool CopyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return static_cast<bool>(out);
}

inline void RemoveTree(const std::string& dir) {
    if (dir.empty()) return;
    const std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", dir.c_str());
}

// One PKCS#11 module loaded from a path of its own, so that two copies of ours
// (two configurations) live side by side. HOME is set while it loads and
// initialises: our module reads its per-user configuration then.
class Side {
public:
    Side(const std::string& path, const std::string& home) {
        const char* old = std::getenv("HOME");
        const std::string saved = old ? old : "";
        if (!home.empty()) setenv("HOME", home.c_str(), 1);
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            m_error = dlerror();
        } else {
            auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(m_handle, "C_GetFunctionList"));
            if (get == nullptr || get(&m_fl) != CKR_OK) {
                m_fl = nullptr;
                m_error = "no function list";
            } else if (m_fl->C_Initialize(nullptr) != CKR_OK) {
                m_fl = nullptr;
                m_error = "C_Initialize failed";
            }
        }
        if (!home.empty()) {
            if (old)
                setenv("HOME", saved.c_str(), 1);
            else
                unsetenv("HOME");
        }
    }
    ~Side() {
        if (m_fl) m_fl->C_Finalize(nullptr);
        // Ours and SoftHSM2 stay mapped: their static objects may outlive a
        // benchmark framework that reports after this destructor.
    }
    Side(const Side&) = delete;
    Side& operator=(const Side&) = delete;

    bool ok() const { return m_fl != nullptr && !m_slots.empty(); }
    const std::string& error() const { return m_error; }
    CK_FUNCTION_LIST* fl() const { return m_fl; }
    // The slots with a token, the first used by the single-token cases.
    const std::vector<CK_SLOT_ID>& slots() const { return m_slots; }

    // Waits until n tokens show (a card behind pcscd needs a moment).
    bool FindTokens(size_t n) {
        if (m_fl == nullptr) return false;
        for (int i = 0; i < 200; ++i) {
            CK_ULONG count = 0;
            if (m_fl->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK && count >= n) {
                std::vector<CK_SLOT_ID> ids(count);
                if (m_fl->C_GetSlotList(CK_TRUE, ids.data(), &count) == CKR_OK) {
                    ids.resize(count);
                    m_slots.clear();
                    for (CK_SLOT_ID id : ids) {
                        CK_TOKEN_INFO ti;
                        if (m_fl->C_GetTokenInfo(id, &ti) == CKR_OK && (ti.flags & CKF_TOKEN_INITIALIZED))
                            m_slots.push_back(id);
                    }
                    if (m_slots.size() >= n) return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        m_error = "the tokens did not show";
        return false;
    }
    void SetError(const std::string& e) { m_error = e; }

private:
    void* m_handle = nullptr;
    CK_FUNCTION_LIST* m_fl = nullptr;
    std::vector<CK_SLOT_ID> m_slots;
    std::string m_error;
};

}  // namespace

#endif
