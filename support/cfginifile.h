// INI-file configuration source: "[section]" headers over the key=value syntax.
#pragma once

#include <string>

#include "support/cfgfile.h"

class CfgIniFile : public CfgFile {
public:
    // sectionPaths non-zero: option names may carry section paths ("a.b = 1").
    explicit CfgIniFile(int sectionPaths = 0);
    ~CfgIniFile() override;

    bool SetPath(const char* path) override;
    void ClearPath() override;
    int ParseLine(std::string* name, std::string* value, std::string* section, const char* line,
                  int length) override;
    bool ReadFile() override;
    bool WriteFile() override;

private:
    std::string m_currentSection;
};
