// Temporary folders and small file helpers for the configuration tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "tests/common/testsupport.h"

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/mirtal_cfg_XXXXXX";
        const char* d = mkdtemp(tmpl);
        path_ = d ? d : "/tmp";
    }
    ~TempDir()
    {
        std::string cmd = "rm -rf '" + path_ + "'";
        (void)!system(cmd.c_str());
    }
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
}

using testsupport::ReadFileText;

inline bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
