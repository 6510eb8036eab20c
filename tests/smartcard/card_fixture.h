// Card drivers against the card simulator: the simulator library loaded as the
// "TARVO-MELK" back-end with one reader per generated card image (copies in a
// temporary folder), the card factory installed, and the simulator's control
// functions (APDU log, injected status words).
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

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

class CardSim : public ::testing::Test {
protected:
    // Reader names: "Card <image base name>".
    static std::vector<std::string> Images() {
        return {"pkcs15-model3", "pkcs15-model3-puk", "blank-model1", "blank-model3", "blank-model4", "blank-model7",
                "unknown-atr",   "ias-not-activated", "qualified-model1", "pkcs15-gp-channel", "ias-dh-channel"};
    }

    void SetUp() override {
        char tmpl[] = "/tmp/card-drivers-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_dir = tmpl;
        const std::string conf = m_dir + "/cardsim.conf";
        {
            std::ofstream f(conf);
            for (const std::string& image : Images()) f << "reader Card " << image << "\ncard " << Copy(image + ".card") << "\n";
        }
        setenv("CARDSIM_CONFIG", conf.c_str(), 1);
        const std::string spec = std::string(CARDSIM_LIBRARY) + ";Sim";
        ASSERT_EQ(SC_OK, SCReaderDravok::LoadDravokFunctions(spec.c_str())) << SCReaderDravok::GetLoadError();
        ASSERT_TRUE(SCReader::SetReaderTypes("TARVO-MELK"));
        m_handle = dlopen(CARDSIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, m_handle);
        Resolve("CardSimLoadConfig", m_loadConfig);
        Resolve("CardSimInjectSw", m_injectSw);
        Resolve("CardSimInjectSwAfter", m_injectSwAfter);
        Resolve("CardSimCorruptData", m_corruptData);
        Resolve("CardSimGetApduLog", m_getLog);
        Resolve("CardSimClearLog", m_clearLog);
        Resolve("CardSimAddReader", m_addReader);
        Resolve("CardSimInsert", m_insert);
        Resolve("CardSimResetByOther", m_resetByOther);
        ASSERT_EQ(0, m_loadConfig(conf.c_str()));
        scInstallCardFactory();
    }

    void TearDown() override {
        m_readers.clear();
        SCReader::SetCardFactory(nullptr);
        SCReader::UnloadBackends();
        std::string cmd = "rm -rf '" + m_dir + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", m_dir.c_str());
    }

    // Connects the reader of an image and returns its card object (null when the
    // factory made none).
    SCCard* Connect(const std::string& image, SCReader** readerOut = nullptr) {
        SCReader* r = nullptr;
        const std::string name = "Card " + image;
        EXPECT_EQ(SC_OK, SCReader::CreateReader(name.c_str(), &r, SC_LIST_NORMAL));
        if (r == nullptr) return nullptr;
        m_readers.emplace_back(r);
        EXPECT_EQ(SC_OK, r->Init(0));
        EXPECT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
        if (readerOut) *readerOut = r;
        m_reader = name;
        ClearLog();
        return r->GetCard();
    }

    // A blank card of any model, made by the simulator's image generator, in a
    // reader of its own ("Card blank-modelN").
    SCCard* ConnectBlank(int model, SCReader** readerOut = nullptr) {
        const std::string image = "blank-model" + std::to_string(model);
        const std::string path = ImagePath(image + "-gen");
        Generate("blank --model " + std::to_string(model), path);
        return Insert(image, path, readerOut);
    }

    // A card made by the simulator's image generator (its command and arguments before
    // the output path), in a reader of its own ("Card <name>").
    SCCard* ConnectGenerated(const std::string& name, const std::string& args, SCReader** readerOut = nullptr) {
        const std::string path = ImagePath(name);
        Generate(args, path);
        return Insert(name, path, readerOut);
    }
    // Runs the simulator's image generator (its command and arguments) into path.
    void Generate(const std::string& args, const std::string& path) {
        const std::string cmd = "/usr/bin/python3 " MIRTAL_SOURCE_DIR "/tools/cardsim/cardgen.py " + args + " '" + path + "'";
        EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
    }
    // The card image at path in a reader of its own ("Card <name>"), connected.
    SCCard* Insert(const std::string& name, const std::string& path, SCReader** readerOut = nullptr) {
        const std::string reader = "Card " + name;
        EXPECT_EQ(0, m_addReader(reader.c_str()));
        EXPECT_EQ(0, m_insert(reader.c_str(), path.c_str()));
        return Connect(name, readerOut);
    }
    // The card image as the simulator keeps it (written back after every change).
    std::string ImageBytes(const std::string& image) const { return testsupport::ReadFileText(ImagePath(image)); }

    std::string Log() const {
        const size_t n = m_getLog(m_reader.c_str(), nullptr, 0);
        std::string s(n, '\0');
        m_getLog(m_reader.c_str(), &s[0], n);
        s.resize(n ? n - 1 : 0);
        return s;
    }
    // The commands of the log (lines starting with "> "), without the prefix.
    std::vector<std::string> Commands() const {
        std::vector<std::string> out;
        std::istringstream in(Log());
        for (std::string line; std::getline(in, line);)
            if (line.rfind("> ", 0) == 0) out.push_back(line.substr(2));
        return out;
    }
    void ClearLog() { m_clearLog(m_reader.c_str()); }
    void Inject(unsigned ins, unsigned sw, int count = 1) { m_injectSw(m_reader.c_str(), ins, sw, count); }
    // The same once `skip` such commands have run (0x100: any command, so a failure at step skip + 1).
    void InjectAfter(unsigned ins, unsigned sw, int skip, int count = 1) {
        m_injectSwAfter(m_reader.c_str(), ins, sw, skip, count);
    }
    // The card's next `count` answers with data to `ins` come back with one octet wrong.
    void CorruptData(unsigned ins, int count = 1) { m_corruptData(m_reader.c_str(), ins, count); }
    // Another application resets the card of the last reader connected.
    void ResetByOther() { m_resetByOther(m_reader.c_str()); }
    std::string ImagePath(const std::string& image) const { return m_dir + "/" + image + ".card"; }

    std::string m_dir;
    std::string m_reader;

private:
    template <typename Fn>
    void Resolve(const char* name, Fn& out) {
        out = reinterpret_cast<Fn>(dlsym(m_handle, name));
        ASSERT_NE(nullptr, reinterpret_cast<void*>(out)) << name;
    }
    std::string Copy(const std::string& image) {
        const std::string from = std::string(CARDSIM_CARDS_DIR) + "/" + image;
        const std::string to = m_dir + "/" + image;
        EXPECT_TRUE(testsupport::CopyFile(from, to)) << from;
        return to;
    }
    void* m_handle = nullptr;
    int (*m_loadConfig)(const char*) = nullptr;
    int (*m_injectSw)(const char*, unsigned, unsigned, int) = nullptr;
    int (*m_injectSwAfter)(const char*, unsigned, unsigned, int, int) = nullptr;
    int (*m_corruptData)(const char*, unsigned, int) = nullptr;
    size_t (*m_getLog)(const char*, char*, size_t) = nullptr;
    int (*m_clearLog)(const char*) = nullptr;
    int (*m_addReader)(const char*) = nullptr;
    int (*m_insert)(const char*, const char*) = nullptr;
    int (*m_resetByOther)(const char*) = nullptr;
    std::vector<std::unique_ptr<SCReader>> m_readers;
};
