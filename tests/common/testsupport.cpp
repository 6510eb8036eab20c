#include "tests/common/testsupport.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace testsupport {

std::string ToHex(const std::uint8_t* p, std::size_t n, HexCase digits, const std::string& separator) {
    const char* d = digits == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    s.reserve(n * (2 + separator.size()));
    for (std::size_t i = 0; i < n; ++i) {
        if (i) s += separator;
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string ToHex(const Bytes& b, HexCase digits, const std::string& separator) {
    return ToHex(b.data(), b.size(), digits, separator);
}

std::string ToHex(const std::string& octets, HexCase digits, const std::string& separator) {
    return ToHex(reinterpret_cast<const std::uint8_t*>(octets.data()), octets.size(), digits, separator);
}

Bytes FromHex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hexadecimal digits in \"" + text + "\"");
    return out;
}

Bytes FromHexNumber(const std::string& digits, std::size_t octets) {
    std::string text;
    for (char c : digits)
        if (std::isxdigit(static_cast<unsigned char>(c))) text += c;
    if (text.size() % 2) text.insert(text.begin(), '0');
    Bytes out = FromHex(text);
    if (out.size() < octets) out.insert(out.begin(), octets - out.size(), 0);
    return out;
}

std::string WithoutLeadingZeros(const std::string& digits) {
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "0" : digits.substr(first);
}

std::string ImageWithoutTrailingFiller(const std::string& image) {
    std::string out;
    std::size_t at = 0;
    while (at < image.size()) {
        std::size_t eol = image.find('\n', at);
        if (eol == std::string::npos) eol = image.size();
        std::string line = image.substr(at, eol - at);
        const std::size_t d = line.find(" data=");
        if (d != std::string::npos) {
            std::size_t e = line.find(' ', d + 1);
            if (e == std::string::npos) e = line.size();
            std::size_t cut = e;
            while (cut >= d + 8 && (line.compare(cut - 2, 2, "00") == 0 || line.compare(cut - 2, 2, "FF") == 0)) cut -= 2;
            line.erase(cut, e - cut);
        }
        out += line + "\n";
        at = eol + 1;
    }
    return out;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot open " + path);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool CopyFile(const std::string& from, const std::string& to) {
    std::error_code failed;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, failed);
    return !failed;
}

namespace {

std::ifstream OpenText(const std::string& path) {
    std::ifstream f(path);
    if (!f) throw std::runtime_error("cannot open " + path);
    return f;
}

// A line without the carriage return of a file written on another system.
bool NextLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

std::string Trimmed(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t");
    const std::size_t b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

}  // namespace

std::vector<DataLine> ReadDataLines(const std::string& path, char separator) {
    std::ifstream in = OpenText(path);
    std::vector<DataLine> out;
    std::string line;
    for (int number = 1; NextLine(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        DataLine row;
        row.number = number;
        if (separator == '\0') {
            std::istringstream words(line);
            for (std::string w; words >> w;) row.fields.push_back(w);
        } else {
            std::size_t at = 0;
            for (;;) {
                const std::size_t end = line.find(separator, at);
                row.fields.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
                if (end == std::string::npos) break;
                at = end + 1;
            }
        }
        out.push_back(row);
    }
    return out;
}

std::map<std::string, std::string> ReadNamedValues(const std::string& path) {
    std::map<std::string, std::string> out;
    for (const DataLine& row : ReadDataLines(path))
        if (row.fields.size() >= 2) out[row.fields[0]] = row.fields[1];
    return out;
}

std::vector<Record> ReadRecords(const std::string& path) {
    std::ifstream in = OpenText(path);
    std::vector<Record> out;
    Record cur;
    std::string line;
    while (NextLine(in, line)) {
        if (!line.empty() && line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
            continue;
        }
        cur[Trimmed(line.substr(0, eq))] += Trimmed(line.substr(eq + 1));
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::vector<CavpRecord> ReadCavpResponse(const std::string& path) {
    std::ifstream in = OpenText(path);
    std::vector<CavpRecord> out;
    CavpRecord cur;
    auto flush = [&] {
        if (!cur.values.empty()) out.push_back(cur);
        cur.values.clear();
    };
    std::string line;
    while (NextLine(in, line)) {
        line = Trimmed(line);
        if (!line.empty() && line[0] == '#') continue;
        if (!line.empty() && line[0] == '[') {
            flush();
            cur.section = line;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            flush();
            continue;
        }
        cur.values[Trimmed(line.substr(0, eq))] = Trimmed(line.substr(eq + 1));
    }
    flush();
    return out;
}

std::vector<LabelledOctets> ReadPkcs1Vectors(const std::string& path) {
    std::ifstream in = OpenText(path);
    std::vector<LabelledOctets> out;
    std::string line;
    bool collecting = false;
    while (NextLine(in, line)) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        if (line.rfind("# ", 0) == 0 && line.back() == ':') {
            out.emplace_back(line.substr(2, line.size() - 3), Bytes{});
            collecting = true;
        } else if (line.empty() || line[0] == '#' || line[0] == '=') {
            collecting = false;
        } else if (collecting) {
            const Bytes octets = FromHex(line);
            out.back().second.insert(out.back().second.end(), octets.begin(), octets.end());
        }
    }
    return out;
}

}  // namespace testsupport
