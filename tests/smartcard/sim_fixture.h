// Readers and cards of the card simulator for the reader tests: copies of the
// generated card images in a temporary folder, a configuration naming them, the
// simulator library loaded as the "TARVO-MELK" back-end, and its control
// functions.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "smartcard/sc_reader_pcsc.h"
#include "tests/common/testsupport.h"

struct CardSimControl {
    int (*LoadConfig)(const char*) = nullptr;
    int (*Insert)(const char*, const char*) = nullptr;
    int (*Remove)(const char*) = nullptr;
    int (*Reset)(const char*) = nullptr;
    int (*ResetByOther)(const char*) = nullptr;
    int (*HoldExclusive)(const char*, int) = nullptr;
    int (*InjectSw)(const char*, unsigned, unsigned, int) = nullptr;
    size_t (*GetApduLog)(const char*, char*, size_t) = nullptr;
    int (*ClearLog)(const char*) = nullptr;
    int (*SetMute)(const char*, int) = nullptr;

    std::string Log(const char* reader) const {
        const size_t n = GetApduLog(reader, nullptr, 0);
        std::string s(n, '\0');
        GetApduLog(reader, &s[0], n);
        s.resize(n ? n - 1 : 0);
        return s;
    }
};

class SimReaders : public ::testing::Test {
protected:
    static constexpr const char* R0 = "CardSim Reader 0";
    static constexpr const char* R1 = "CardSim Reader 1";

    void SetUp() override {
        char tmpl[] = "/tmp/reader-sim-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_dir = tmpl;
        m_pkcs15 = Copy("pkcs15-model3.card");
        m_unknown = Copy("unknown-atr.card");
        const std::string conf = m_dir + "/cardsim.conf";
        {
            std::ofstream f(conf);
            f << "reader " << R0 << "\ncard " << m_pkcs15 << "\nreader " << R1 << "\n";
        }
        setenv("CARDSIM_CONFIG", conf.c_str(), 1);
        const std::string spec = std::string(CARDSIM_LIBRARY) + ";Sim";
        ASSERT_EQ(SC_OK, SCReaderDravok::LoadDravokFunctions(spec.c_str())) << SCReaderDravok::GetLoadError();
        ASSERT_TRUE(SCReader::SetReaderTypes("TARVO-MELK"));
        m_handle = dlopen(CARDSIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, m_handle);
        Resolve("CardSimLoadConfig", sim.LoadConfig);
        Resolve("CardSimInsert", sim.Insert);
        Resolve("CardSimRemove", sim.Remove);
        Resolve("CardSimReset", sim.Reset);
        Resolve("CardSimResetByOther", sim.ResetByOther);
        Resolve("CardSimHoldExclusive", sim.HoldExclusive);
        Resolve("CardSimInjectSw", sim.InjectSw);
        Resolve("CardSimGetApduLog", sim.GetApduLog);
        Resolve("CardSimClearLog", sim.ClearLog);
        Resolve("CardSimSetMute", sim.SetMute);
        ASSERT_EQ(0, sim.LoadConfig(conf.c_str()));
    }

    void TearDown() override {
        SCReader::UnloadBackends();
        // The control handle stays open: the simulator keeps its readers in
        // globals until the process ends.
        std::string cmd = "rm -rf '" + m_dir + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", m_dir.c_str());
    }

    std::unique_ptr<SCReader> Open(const char* name = R0) {
        SCReader* r = nullptr;
        EXPECT_EQ(SC_OK, SCReader::CreateReader(name, &r, SC_LIST_NORMAL));
        if (r == nullptr) return nullptr;
        EXPECT_EQ(SC_OK, r->Init(0));
        return std::unique_ptr<SCReader>(r);
    }

    CardSimControl sim;
    std::string m_dir, m_pkcs15, m_unknown;

private:
    template <typename Fn>
    void Resolve(const char* name, Fn& out) {
        out = reinterpret_cast<Fn>(dlsym(m_handle, name));
        ASSERT_NE(nullptr, reinterpret_cast<void*>(out)) << name;
    }
    std::string Copy(const char* image) {
        const std::string from = std::string(CARDSIM_CARDS_DIR) + "/" + image;
        const std::string to = m_dir + "/" + image;
        EXPECT_TRUE(testsupport::CopyFile(from, to)) << from;
        return to;
    }
    void* m_handle = nullptr;
};
