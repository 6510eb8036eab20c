// Helpers that the test programs of every folder share: hexadecimal text of
// octets, and the readers of the known-answer files kept beside the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

enum class HexCase { Lower, Upper };

// Two digits an octet, with `separator` between octets.
std::string ToHex(const std::uint8_t* p, std::size_t n, HexCase digits = HexCase::Lower,
                  const std::string& separator = "");
std::string ToHex(const Bytes& b, HexCase digits = HexCase::Lower, const std::string& separator = "");
// The octets of a string that holds binary data (as the PKCS#11 tests keep it).
std::string ToHex(const std::string& octets, HexCase digits = HexCase::Lower, const std::string& separator = "");

// The octets of a hexadecimal text. Anything but hex digits (spaces, colons,
// line breaks) is passed over, so that published layouts can be pasted as they
// are; an odd count of digits throws std::invalid_argument, since the text
// cannot be what its author meant.
Bytes FromHex(const std::string& text);

// The big-endian octets of a hexadecimal number: an odd count of digits takes
// a leading zero, and the result is padded with leading zero octets to `octets`.
Bytes FromHexNumber(const std::string& digits, std::size_t octets = 0);

// A number's hex digits without leading zeros ("0" for none left).
std::string WithoutLeadingZeros(const std::string& digits);

// A card simulator's image text with the filler (00 and FF octets) at the end of
// each file's data left out: the records a card holds, whatever its filler.
std::string ImageWithoutTrailingFiller(const std::string& image);

// The whole file as octets; an unreadable file throws std::runtime_error.
Bytes ReadFileBytes(const std::string& path);

// The whole file as text; empty when it cannot be read (a log never written).
std::string ReadFileText(const std::string& path);

// A copy of a file (a card image the test may change); false when `from`
// cannot be read or `to` not written.
bool CopyFile(const std::string& from, const std::string& to);

// One line of a data file: its number (for messages) and its fields.
struct DataLine {
    int number = 0;
    std::vector<std::string> fields;
};

// The project's own data files: one row a line, fields separated by white
// space, or by `separator` when one is given (then empty fields count); lines
// starting with '#' are comments and empty lines are passed over. A file that
// cannot be read throws std::runtime_error, so a test never passes on no rows.
std::vector<DataLine> ReadDataLines(const std::string& path, char separator = '\0');

// Rows of "name value" lines as a map from the first field to the second.
std::map<std::string, std::string> ReadNamedValues(const std::string& path);

// Files of "name = value" records, each ended by a line without '=' (an empty
// line) or the end of the file; lines starting with '#' are comments.
// A name given twice in one record has its values joined, so that long values
// may be written over several lines.
using Record = std::map<std::string, std::string>;
std::vector<Record> ReadRecords(const std::string& path);

// Published vector files, read in the layout they are published in.

// A NIST CAVP response file (.rsp): a "[...]" line opens a section, "Name =
// value" lines make records separated by empty lines, '#' lines are comments.
struct CavpRecord {
    std::string section;  // the whole "[...]" line
    Record values;
};
std::vector<CavpRecord> ReadCavpResponse(const std::string& path);

// The PKCS #1 v2.1 vector files of RSA Laboratories (pss-vect.txt,
// oaep-vect.txt): each "# Label:" line, in order, with the octets written in
// hex on the lines below it, up to the next empty or comment line.
using LabelledOctets = std::pair<std::string, Bytes>;
std::vector<LabelledOctets> ReadPkcs1Vectors(const std::string& path);

}  // namespace testsupport

#ifdef MIRTAL_TEST_DATA_DIR
namespace testsupport {
// A file of the data folder beside the test program's sources.
inline std::string DataFile(const std::string& name) { return std::string(MIRTAL_TEST_DATA_DIR) + "/" + name; }
inline Bytes ReadDataFile(const std::string& name) { return ReadFileBytes(DataFile(name)); }
}  // namespace testsupport
#endif
