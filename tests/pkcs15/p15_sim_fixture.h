// PKCS#15 files against the card simulator: one reader per generated PKCS#15
// card image (copies in a temporary folder), the card factory installed, and the
// simulator's APDU log.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "smartcard/sc_card.h"
#include "smartcard/sc_card_create.h"
#include "smartcard/sc_reader_pcsc.h"
#include "tests/common/testsupport.h"

class P15Sim : public ::testing::Test {
protected:
    static std::vector<std::string> Images() { return {"pkcs15-model3", "pkcs15-model3-two-apps", "blank-model3"}; }

    void SetUp() override {
        char tmpl[] = "/tmp/p15card-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_dir = tmpl;
        const std::string conf = m_dir + "/cardsim.conf";
        {
            std::ofstream f(conf);
            for (const std::string& image : Images())
                f << "reader Card " << image << "\ncard " << Copy(image + ".card") << "\n";
        }
        setenv("CARDSIM_CONFIG", conf.c_str(), 1);
        const std::string spec = std::string(CARDSIM_LIBRARY) + ";Sim";
        ASSERT_EQ(SC_OK, SCReaderDravok::LoadDravokFunctions(spec.c_str())) << SCReaderDravok::GetLoadError();
        ASSERT_TRUE(SCReader::SetReaderTypes("TARVO-MELK"));
        m_handle = dlopen(CARDSIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, m_handle);
        m_loadConfig = reinterpret_cast<int (*)(const char*)>(dlsym(m_handle, "CardSimLoadConfig"));
        m_getLog = reinterpret_cast<size_t (*)(const char*, char*, size_t)>(dlsym(m_handle, "CardSimGetApduLog"));
        m_clearLog = reinterpret_cast<int (*)(const char*)>(dlsym(m_handle, "CardSimClearLog"));
        m_injectSw = reinterpret_cast<int (*)(const char*, unsigned, unsigned, int)>(dlsym(m_handle, "CardSimInjectSw"));
        m_addReader = reinterpret_cast<int (*)(const char*)>(dlsym(m_handle, "CardSimAddReader"));
        m_insert = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(m_handle, "CardSimInsert"));
        ASSERT_TRUE(m_loadConfig && m_getLog && m_clearLog && m_injectSw && m_addReader && m_insert);
        ASSERT_EQ(0, m_loadConfig(conf.c_str()));
        scInstallCardFactory();
    }

    void TearDown() override {
        m_readers.clear();
        SCReader::SetCardFactory(nullptr);
        SCReader::UnloadBackends();
        if (m_handle) dlclose(m_handle);
        std::string cmd = "rm -rf '" + m_dir + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", m_dir.c_str());
    }

    SCCard* Connect(const std::string& image) {
        SCReader* r = nullptr;
        const std::string name = "Card " + image;
        EXPECT_EQ(SC_OK, SCReader::CreateReader(name.c_str(), &r, SC_LIST_NORMAL));
        if (r == nullptr) return nullptr;
        m_readers.emplace_back(r);
        EXPECT_EQ(SC_OK, r->Init(0));
        EXPECT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
        m_reader = name;
        ClearLog();
        return r->GetCard();
    }

    // A card made by the simulator's image generator (arguments after the
    // command), in a reader of its own ("Card <name>").
    SCCard* ConnectGenerated(const std::string& name, const std::string& args) {
        const std::string path = m_dir + "/" + name + ".card";
        const std::string cmd = "/usr/bin/python3 " MIRTAL_SOURCE_DIR "/tools/cardsim/cardgen.py " + args + " '" + path + "'";
        EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
        const std::string reader = "Card " + name;
        EXPECT_EQ(0, m_addReader(reader.c_str()));
        EXPECT_EQ(0, m_insert(reader.c_str(), path.c_str()));
        return Connect(name);
    }

    std::vector<std::string> Commands() const {
        const size_t n = m_getLog(m_reader.c_str(), nullptr, 0);
        std::string s(n, '\0');
        if (n) m_getLog(m_reader.c_str(), &s[0], n);
        std::vector<std::string> out;
        std::istringstream in(s.c_str());
        for (std::string line; std::getline(in, line);)
            if (line.rfind("> ", 0) == 0) out.push_back(line.substr(2));
        return out;
    }
    void ClearLog() { m_clearLog(m_reader.c_str()); }
    void Inject(unsigned ins, unsigned sw, int count = 1) { m_injectSw(m_reader.c_str(), ins, sw, count); }

    std::string m_dir;
    std::string m_reader;

private:
    std::string Copy(const std::string& image) {
        const std::string from = std::string(CARDSIM_CARDS_DIR) + "/" + image;
        const std::string to = m_dir + "/" + image;
        EXPECT_TRUE(testsupport::CopyFile(from, to)) << from;
        return to;
    }
    void* m_handle = nullptr;
    int (*m_loadConfig)(const char*) = nullptr;
    size_t (*m_getLog)(const char*, char*, size_t) = nullptr;
    int (*m_clearLog)(const char*) = nullptr;
    int (*m_injectSw)(const char*, unsigned, unsigned, int) = nullptr;
    int (*m_addReader)(const char*) = nullptr;
    int (*m_insert)(const char*, const char*) = nullptr;
    std::vector<std::unique_ptr<SCReader>> m_readers;
};
