// A simulated card's image file read apart from the module: its files, the
// contents of its EFs, and the PKCS#15 directories of one application (that in
// 3F00/5015 unless another is named) checked record by record (whole records, the paths they name, the
// files no record names).
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <openssl/sha.h>

#include "tests/common/testsupport.h"
#include "tests/pkcs11impl/module_host.h"

namespace cardimage {

// Upper-case hex, as the image files and paths are written.
inline std::string Hex(const uint8_t* p, size_t n) { return testsupport::ToHex(p, n, testsupport::HexCase::Upper); }

// The image text in a form that two cards holding the same things share: the
// PINs' remaining tries left out, rules that allow always left out (a rule a
// file does not name allows always: a file made again like another names them
// all), and the lines sorted (a file made again stands last among its DF's files).
inline std::string Comparable(const std::string& image) {
  std::string text = image;
  for (size_t at = text.find(" left="); at != std::string::npos; at = text.find(" left=", at)) {
    size_t end = at + 6;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    text.erase(at, end - at);
  }
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    // What the simulator writes of a line it was given without: an EF's zeros, a PIN without padding.
    const size_t data = line.find(" data=");
    if (data != std::string::npos && line.find_first_not_of('0', data + 6) == std::string::npos) line.erase(data);
    if (line.find(" pad=none") != std::string::npos) line.erase(line.find(" pad=none"), 9);
    const size_t ac = line.find(" ac=");
    if (ac != std::string::npos) {
      size_t end = line.find(' ', ac + 1);
      if (end == std::string::npos) end = line.size();
      std::istringstream rules(line.substr(ac + 4, end - ac - 4));
      std::string kept;
      for (std::string rule; std::getline(rules, rule, ',');)
        if (rule.size() < 7 || rule.compare(rule.size() - 7, 7, ":always") != 0) kept += (kept.empty() ? "" : ",") + rule;
      line = line.substr(0, ac + 4) + kept + line.substr(end);
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

// The image text without the files that carry a spare's mark (FE L 80 ...): what
// the card holds once its spares, whole or torn, are gone.
inline std::string WithoutMarkedFiles(const std::string& image) {
  std::istringstream in(image);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    const size_t data = line.find(" data=FE");
    if (line.compare(0, 3, "ef ") == 0 && data != std::string::npos && line.compare(data + 10, 2, "80") == 0) continue;
    out += line + "\n";
  }
  return out;
}

// A spare's octets for the file at `path` ("3F0050154401"): its mark (the path, the SHA-1 of the
// records and, where given, rules as one earlier version carried them), then the records.
inline std::vector<uint8_t> SpareOctets(const std::string& path, const std::vector<uint8_t>& records,
                                        const std::vector<uint8_t>& rules = {}) {
  std::vector<uint8_t> mark = testsupport::FromHex(Hex(std::vector<uint8_t>{0x80, uint8_t(path.size() / 2)}.data(), 2) +
                                                   path + "8114");
  mark.resize(mark.size() + SHA_DIGEST_LENGTH);
  SHA1(records.data(), records.size(), &mark[mark.size() - SHA_DIGEST_LENGTH]);
  if (!rules.empty()) mark.insert(mark.end(), {0xAB, static_cast<uint8_t>(rules.size())});
  mark.insert(mark.end(), rules.begin(), rules.end());
  mark.insert(mark.begin(), {0xFE, static_cast<uint8_t>(mark.size())});
  mark.insert(mark.end(), records.begin(), records.end());
  return mark;
}

struct Image {
  std::set<std::string> files;                       // paths of DFs, EFs and key files ("3F0050154B01")
  std::set<std::string> dfs;                         // the DFs among them
  std::map<std::string, std::vector<uint8_t>> data;  // EF contents
};

inline Image ParseImage(const std::string& text) {
  Image img;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, where;
    words >> kind >> where;
    if (kind != "df" && kind != "ef" && kind != "key") continue;
    where.erase(std::remove(where.begin(), where.end(), '/'), where.end());
    img.files.insert(where);
    if (kind == "df") img.dfs.insert(where);
    std::string w;
    while (words >> w)
      if (kind == "ef" && w.compare(0, 5, "data=") == 0) img.data[where] = testsupport::FromHex(w.substr(5));
  }
  return img;
}
inline Image ReadImage(const std::string& path) { return ParseImage(testhost::ReadFile(path)); }

// One DER element: tag, start and length of the value; false at the end, on
// padding (00 or FF) or on a length that runs past the end.
inline bool NextTlv(const std::vector<uint8_t>& d, size_t* at, size_t end, uint8_t* tag, size_t* vstart,
                    size_t* vlen) {
  if (*at + 2 > end || d[*at] == 0x00 || d[*at] == 0xFF) return false;
  *tag = d[*at];
  size_t p = *at + 1;
  size_t len = d[p++];
  if (len & 0x80) {
    const size_t n = len & 0x7F;
    if (n == 0 || n > 3 || p + n > end) return false;
    len = 0;
    for (size_t i = 0; i < n; ++i) len = len << 8 | d[p++];
  }
  if (p + len > end) return false;
  *vstart = p;
  *vlen = len;
  *at = p + len;
  return true;
}

// The records at the start of a file's octets, up to the first filler.
inline std::vector<uint8_t> LeadingRecords(const std::vector<uint8_t>& d) {
  size_t at = 0, vs = 0, vl = 0;
  uint8_t tag = 0;
  while (NextTlv(d, &at, d.size(), &tag, &vs, &vl)) {
  }
  return std::vector<uint8_t>(d.begin(), d.begin() + static_cast<long>(at));
}

// The paths inside a record: SEQUENCEs whose first element is an OCTET STRING
// that starts at the MF (a PKCS #15 Path).
inline void CollectPaths(const std::vector<uint8_t>& d, size_t at, size_t end, std::vector<std::string>* paths) {
  uint8_t tag;
  size_t vs, vl;
  while (NextTlv(d, &at, end, &tag, &vs, &vl)) {
    if (tag == 0x30 && vl >= 2 && d[vs] == 0x04) {
      size_t in = vs, s2, l2;
      uint8_t t2;
      if (NextTlv(d, &in, vs + vl, &t2, &s2, &l2) && l2 >= 2 && l2 % 2 == 0 && d[s2] == 0x3F && d[s2 + 1] == 0x00) {
        paths->push_back(Hex(&d[s2], l2));
        continue;
      }
    }
    if (tag & 0x20) CollectPaths(d, vs, vs + vl, paths);
  }
}

// A constructed element whose value is whole elements to its last byte, all the
// way down: what a record that was written whole looks like. Octets of two
// writes (a directory rewrite cut short) seldom make one.
inline bool WellFormed(const std::vector<uint8_t>& d, size_t vs, size_t vl) {
  size_t at = vs, s, l;
  uint8_t tag;
  while (at < vs + vl) {
    if (!NextTlv(d, &at, vs + vl, &tag, &s, &l)) return false;
    if ((tag & 0x20) && !WellFormed(d, s, l)) return false;
  }
  return true;
}

// The key reference that each record of the private-key directory of an
// application names (its INTEGER octets in hex, "-" for a record without one), in
// the order of the records. The application is the DF `app`, or where none is
// given the path of EF.DIR's first template (tag 51); its ODF is its file 5031.
inline std::vector<std::string> PrivateKeyReferences(const std::string& imagePath, std::string app = "") {
  const Image img = ReadImage(imagePath);
  const auto dir = img.data.find("3F002F00");
  if (dir == img.data.end()) return {"no EF.DIR"};
  if (app.empty()) {
    const std::vector<uint8_t>& d = dir->second;
    size_t at = 0, vs, vl, in, s2, l2;
    uint8_t tag, t2;
    if (NextTlv(d, &at, d.size(), &tag, &vs, &vl) && tag == 0x61)
      for (in = vs; NextTlv(d, &in, vs + vl, &t2, &s2, &l2);)
        if (t2 == 0x51) app = Hex(&d[s2], l2);
  }
  const auto odf = img.data.find(app + "5031");
  if (app.empty() || odf == img.data.end()) return {"no ODF under " + app};
  std::vector<std::string> prkdfs;
  {
    const std::vector<uint8_t>& d = odf->second;
    size_t at = 0, vs, vl;
    uint8_t tag;
    while (NextTlv(d, &at, d.size(), &tag, &vs, &vl))
      if (tag == 0xA0) CollectPaths(d, vs, vs + vl, &prkdfs);
  }
  std::vector<std::string> refs;
  for (const std::string& path : prkdfs) {
    const auto file = img.data.find(path);
    if (file == img.data.end()) return {"no PrKDF " + path};
    const std::vector<uint8_t>& d = file->second;
    size_t at = 0, vs, vl;
    uint8_t tag;
    while (NextTlv(d, &at, d.size(), &tag, &vs, &vl)) {
      // The record's second element holds the common key attributes; the
      // reference is their INTEGER.
      size_t in = vs, s2 = 0, l2 = 0, s3, l3;
      uint8_t t2 = 0, t3;
      bool ok = NextTlv(d, &in, vs + vl, &t2, &s2, &l2) && NextTlv(d, &in, vs + vl, &t2, &s2, &l2) && t2 == 0x30;
      std::string ref = ok ? "-" : "?";
      for (size_t k = s2; ok && NextTlv(d, &k, s2 + l2, &t3, &s3, &l3);)
        if (t3 == 0x02) ref = Hex(&d[s3], l3);
      refs.push_back(ref);
    }
  }
  return refs;
}


struct DirectoryRecord {
  std::string dir;  // the directory's path
  uint8_t kind;     // its tag in the ODF (A8: authentication objects)
  size_t offset;
  std::vector<uint8_t> octets;
  std::vector<std::string> paths;  // the files it names
};

struct DirectoryCheck {
  std::vector<std::string> missing;  // "directory: path" for records naming no file
  std::vector<std::string> orphans;  // files that no record names
  std::vector<std::string> torn;     // "directory at offset" for octets that are no whole record
  std::vector<std::string> missingInTorn;  // as `missing`, in a directory that holds torn octets
  size_t records = 0;
  size_t objectRecords = 0;  // whole records of keys, certificates and data objects
  std::vector<DirectoryRecord> whole;  // every whole record
  std::set<std::string> dfs;           // the card's DFs (a key record may name its key's DF)
  std::vector<std::string> spares;     // whole spares standing in their files' place (a growth not finished)
  // Directories whose records a strict reader (records packed from the start, the
  // first 00 or FF ends them) does not all find, or that hold a cleared element,
  // with their octets.
  std::map<std::string, std::vector<uint8_t>> unpacked;
};

// The records of a file of records as a reader of the token takes them: those of
// its spare (the same DF, the identifier with its top bit flipped, or where a file
// without the file's mark stands there, with its top two bits flipped) while the
// spare is whole, else the file's own octets. A spare begins with FE L {80 the
// file's path, 81 the SHA-1 of the octets after the mark, and AB the file's rules
// where the spare's differ} and is whole when its records end at its last octet. *spare gets the spare's path when it stands in;
// null when neither file is there.
inline const std::vector<uint8_t>* RecordsOf(const Image& img, const std::string& path, std::string* spare) {
  spare->clear();
  for (int flip : {0x8, 0xC}) {
    if (path.size() < 4) break;
    std::string sparePath = path;
    const int top = std::stoi(sparePath.substr(sparePath.size() - 4, 1), nullptr, 16) ^ flip;
    sparePath[sparePath.size() - 4] = "0123456789ABCDEF"[top];
    const auto s = img.data.find(sparePath);
    if (s == img.data.end()) break;
    const std::vector<uint8_t>& d = s->second;
    const std::vector<uint8_t> name = testsupport::FromHex(path);
    const size_t markLen = 4 + name.size() + 20;
    const size_t end = d.size() >= 2 ? 2 + size_t(d[1]) : 0;
    const bool marked = d.size() >= markLen + 2 && d[0] == 0xFE && d[2] == 0x80 && d[3] == name.size() &&
                        std::equal(name.begin(), name.end(), d.begin() + 4) && d[4 + name.size()] == 0x81 &&
                        d[5 + name.size()] == 20 &&
                        (d[1] == markLen || (d[1] > markLen + 2 && d[1] < 0x80 && d.size() >= end &&
                                             d[2 + markLen] == 0xAB && d[3 + markLen] + markLen + 2 == d[1]));
    if (!marked) continue;  // a file of the card's issuer: the next place is looked at
    uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1(d.data() + end, d.size() - end, digest);
    if (d.size() > end && std::equal(digest, digest + 20, d.begin() + 6 + static_cast<long>(name.size()))) {
      *spare = sparePath;
      return &d;
    }
    break;
  }
  const auto f = img.data.find(path);
  return f == img.data.end() ? nullptr : &f->second;
}

// Walks the ODF of the application in `app` (3F00/5015 unless another DF is
// given) and each directory it names.
// Directories are read as the module reads them (a whole spare in their place): a
// file whose first octet is 00 or FF holds no records; otherwise 00 and FF
// between records are skipped, as are elements under the private tag C0 (records
// being cleared), and the records go on to the file's end, so octets there that
// make no whole record are torn.
inline DirectoryCheck CheckDirectories(const std::string& imagePath, const std::string& app = "3F005015") {
  const Image img = ReadImage(imagePath);
  DirectoryCheck out;
  out.dfs = img.dfs;
  std::set<std::string> named = {"3F00", "3F002F00", app, app + "5031", app + "5032"};
  std::string spare;
  const std::vector<uint8_t>* odf = RecordsOf(img, app + "5031", &spare);
  if (!odf) {
    out.missing.push_back("no ODF");
    return out;
  }
  named.insert(spare);
  if (!spare.empty()) out.spares.push_back(spare);
  // The ODF's records: the directory's kind (A8: authentication objects) and its path.
  std::vector<std::pair<uint8_t, std::string>> directories;
  {
    const std::vector<uint8_t>& d = *odf;
    size_t at = spare.empty() ? 0 : 2 + d[1], vs, vl;
    uint8_t tag;
    while (NextTlv(d, &at, d.size(), &tag, &vs, &vl)) {
      std::vector<std::string> paths;
      CollectPaths(d, vs, vs + vl, &paths);
      for (const std::string& p : paths) directories.push_back({tag, p});
    }
  }
  const auto filler = [](uint8_t b) { return b == 0x00 || b == 0xFF; };
  for (const auto& [kind, dir] : directories) {
    named.insert(dir);
    const std::vector<uint8_t>* file = RecordsOf(img, dir, &spare);
    if (!file) {
      out.missing.push_back("ODF: " + dir);
      continue;
    }
    named.insert(spare);
    if (!spare.empty()) out.spares.push_back(spare);
    const std::vector<uint8_t>& d = *file;
    size_t at = spare.empty() ? 0 : 2 + d[1], vs, vl;
    uint8_t tag;
    const size_t tornBefore = out.torn.size();
    std::vector<std::string> missing;
    const bool toTheEnd = at < d.size() && !filler(d[at]);
    bool gap = false;
    while (true) {
      if (toTheEnd)
        while (at < d.size() && filler(d[at])) ++at, gap = true;
      const size_t start = at;
      if (!NextTlv(d, &at, d.size(), &tag, &vs, &vl)) {
        if (toTheEnd && start < d.size()) out.torn.push_back(testhost::Fmt("%s at %zu", dir.c_str(), start));
        break;
      }
      if (gap || tag == 0xC0) out.unpacked[dir] = d;
      if (tag == 0xC0) continue;  // a record being cleared where it stands: filler
      ++out.records;
      if (!(tag & 0x20) || !WellFormed(d, vs, vl)) {
        out.torn.push_back(testhost::Fmt("%s at %zu", dir.c_str(), start));
        continue;
      }
      if (kind != 0xA8) ++out.objectRecords;
      std::vector<std::string> paths;
      CollectPaths(d, vs, vs + vl, &paths);
      for (const std::string& p : paths) {
        named.insert(p);
        if (img.files.count(p) == 0) missing.push_back(dir + ": " + p);
      }
      out.whole.push_back(
          {dir, kind, start, std::vector<uint8_t>(d.begin() + static_cast<long>(start), d.begin() + static_cast<long>(at)),
           paths});
    }
    // Whole records may stand among the octets of a cut rewrite that no longer name anything.
    std::vector<std::string>& to = out.torn.size() > tornBefore ? out.missingInTorn : out.missing;
    to.insert(to.end(), missing.begin(), missing.end());
  }
  for (const std::string& f : img.files)
    if (named.count(f) == 0) out.orphans.push_back(f);
  return out;
}

// The directories of an image that a strict reader does not read whole, by path.
inline std::string Unpacked(const DirectoryCheck& c) {
  std::string out;
  for (const auto& u : c.unpacked) out += (out.empty() ? "" : " ") + u.first;
  return out;
}

// The image text with the directory of this kind (the first one the ODF of the
// application in 3F00/5015 names) cut to its records: exactly full, so that the
// next record makes it grow; with deleteRule, its delete rule ("delete:...")
// replaced. Unchanged when there is no such directory.
inline std::string ExactlyFull(const std::string& text, uint8_t kind, const std::string& deleteRule = "") {
  std::vector<std::string> lines;
  {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
  }
  const auto dataOf = [](const std::string& line) {
    const size_t at = line.find(" data=");
    return at == std::string::npos ? std::vector<uint8_t>() : testsupport::FromHex(line.substr(at + 6));
  };
  const auto pathOf = [](const std::string& line) {
    std::istringstream words(line);
    std::string k, where;
    words >> k >> where;
    where.erase(std::remove(where.begin(), where.end(), '/'), where.end());
    return k == "ef" ? where : std::string();
  };
  std::string dir;
  for (const std::string& line : lines) {
    if (pathOf(line) != "3F0050155031") continue;
    const std::vector<uint8_t> d = dataOf(line);
    size_t at = 0, vs, vl;
    uint8_t tag;
    while (dir.empty() && NextTlv(d, &at, d.size(), &tag, &vs, &vl)) {
      std::vector<std::string> paths;
      CollectPaths(d, vs, vs + vl, &paths);
      if (tag == kind && !paths.empty()) dir = paths.front();
    }
  }
  std::string out;
  for (std::string line : lines) {
    if (!dir.empty() && pathOf(line) == dir) {
      const std::vector<uint8_t> d = dataOf(line);
      size_t at = 0, end = 0, vs, vl;
      uint8_t tag;
      while (NextTlv(d, &at, d.size(), &tag, &vs, &vl)) end = at;
      const size_t size = line.find(" size="), data = line.find(" data=");
      if (size != std::string::npos && data != std::string::npos) {
        const size_t sizeEnd = line.find(' ', size + 1);
        line = line.substr(0, size) + testhost::Fmt(" size=%zu", end) + line.substr(sizeEnd, data - sizeEnd) +
               " data=" + Hex(d.data(), end);
      }
      const size_t del = line.find("delete:");
      if (!deleteRule.empty() && del != std::string::npos) {
        const size_t stop = line.find_first_of(", ", del);
        line = line.substr(0, del) + deleteRule + line.substr(stop);
      }
    }
    out += line + "\n";
  }
  return out;
}

// The image text with the ODF of the application in 3F00/5015 written to size
// without its entry of this kind (the directory stays, named by nothing).
inline std::string WithoutDirectory(const std::string& text, uint8_t kind) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    const size_t data = line.find(" data="), size = line.find(" size=");
    if (line.rfind("ef 3F00/5015/5031 ", 0) == 0 && data != std::string::npos && size != std::string::npos) {
      const std::vector<uint8_t> d = testsupport::FromHex(line.substr(data + 6));
      std::vector<uint8_t> kept;
      size_t at = 0, vs, vl;
      uint8_t tag;
      for (size_t start = 0; NextTlv(d, &at, d.size(), &tag, &vs, &vl); start = at)
        if (tag != kind) kept.insert(kept.end(), d.begin() + static_cast<long>(start), d.begin() + static_cast<long>(at));
      const size_t sizeEnd = line.find(' ', size + 1);
      line = line.substr(0, size) + testhost::Fmt(" size=%zu", kept.size()) + line.substr(sizeEnd, data - sizeEnd) +
             " data=" + Hex(kept.data(), kept.size());
    }
    out += line + "\n";
  }
  return out;
}

// Lines someone with a blank card and no PIN adds to its image before the SO: PINs without
// rules at master-file references ("01 11 ...", every other one with a value), an open EF.DIR.
inline std::string Planted(const std::string& refs) {
  std::string lines = "ef 3F00/2F00 lcs=05 size=64 ac=read:always,update:always,write:always,delete:always\n";
  std::istringstream in(refs);
  bool valued = true;
  for (std::string ref; in >> ref; valued = !valued)
    lines += "pin 3F00 ref=" + ref + " min=4 max=16 tries=3 left=3" + (valued ? " value=39393939\n" : "\n");
  return lines;
}

// The value of `key` ("ref", "ac", ...) on the first line of `text`, "" where it has none.
inline std::string ValueOf(const std::string& text, const std::string& key) {
  const std::string line = text.substr(0, text.find('\n'));
  const size_t at = line.find(" " + key + "="), from = at + key.size() + 2;
  return at == std::string::npos ? std::string() : line.substr(from, line.find(' ', from) - from);
}

// Who, with the card and no PIN, may do what: the simulator's rules (its README) read from an image, apart from
// the module. A file before activation (state below 04) has no rule enforced; a rule an image leaves out is
// "always"; a global PIN reference names the master file's PIN, a local one the nearest from the DF asked up; a
// file's rules are asked from its DF, a PIN's from its own. Someone comes to hold a PIN by setting it (its update
// rule), resetting it with an unblocking PIN they hold, deleting it and making their own, or making one where a
// DF's create rule lets them and the card finds theirs first; a channel's key only where anyone may agree one
// (dh-key). Deactivating, activating and terminating only deny service, as creating in the master file does.
class WhoMay {
 public:
  explicit WhoMay(const std::string& image) {
    std::istringstream in(image);
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string kind, path;
      words >> kind >> path;
      std::map<std::string, std::string> kv;
      for (std::string w; words >> w;)
        if (w.find('=') != std::string::npos) kv[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
      if (kind == "model") model_ = std::stoi(path);
      if (kind == "dh-key" && path.rfind("ref=", 0) == 0) dh_.insert(std::stoi(path.substr(4), nullptr, 16));
      if (kind == "pin") {
        pins_.push_back({Find(path), std::stoi(kv["ref"], nullptr, 16), Rules("pin", kv["ac"]),
                         kv.count("unblock") && kv["unblock"] != "none" ? std::stoi(kv["unblock"], nullptr, 16) : -1});
      } else if (kind == "df" || kind == "ef" || kind == "key") {
        nodes_.push_back({kind, path, kv.count("lcs") ? std::stoi(kv["lcs"], nullptr, 16) : 5, Rules(kind, kv["ac"]),
                          path.size() > 4 ? Find(path.substr(0, path.rfind('/'))) : -1,
                          kv.count("n") && kv.count("d"), kv.count("n") && kv.count("e")});
      }
    }
    for (bool changed = true; changed;) {  // what anyone may plant and come to hold, to a fixpoint
      changed = false;
      for (size_t d = 0; d < nodes_.size(); ++d) {
        if (nodes_[d].kind != "df" || !Op(static_cast<int>(d), 2)) continue;
        for (int ref : Refs())
          if ((ref >= 0x80 || d == 0) && PinIn(static_cast<int>(d), ref) < 0 && plants_.insert({static_cast<int>(d), ref}).second)
            changed = true;
      }
      for (size_t p = 0; p < pins_.size(); ++p)
        if (!held_.count(static_cast<int>(p)) && Gained(static_cast<int>(p))) changed = held_.insert(static_cast<int>(p)).second;
    }
  }

  // What someone with no PIN may use, read (where the rule is not "always"), change, create in or delete of what
  // a token at one of `tokens` ("3F00/5015") relies on: its DF and everything under it, EF.DIR, the PINs its
  // files' rules find and their unblocking PINs; "" when nothing.
  std::string Findings(const std::vector<std::string>& tokens) {
    std::set<int> scope;
    std::vector<int> todo;
    const auto under = [&](const std::string& path) {
      return path == "3F00/2F00" || std::any_of(tokens.begin(), tokens.end(), [&](const std::string& t) {
               return path == t || path.rfind(t + "/", 0) == 0;
             });
    };
    for (size_t n = 0; n < nodes_.size(); ++n) {
      if (!under(nodes_[n].path)) continue;
      for (size_t p = 0; p < pins_.size(); ++p)
        if (pins_[p].df == static_cast<int>(n)) todo.push_back(static_cast<int>(p));
      for (const auto& rule : nodes_[n].ac)
        if ((rule.second & 0xC000) == 0xC000 && rule.second != 0xFFFF)
          for (int p : Chain(DfOf(static_cast<int>(n)), rule.second & 0xFF)) todo.push_back(p);
    }
    while (!todo.empty()) {
      const int p = todo.back();
      todo.pop_back();
      if (scope.insert(p).second && pins_[p].unblock >= 0)
        for (int u : Chain(pins_[p].df, pins_[p].unblock)) todo.push_back(u);
    }
    std::string out;
    const auto add = [&out](const std::string& what) { out += what + "; "; };
    const bool apps = std::any_of(nodes_.begin(), nodes_.end(), [](const Node& n) {
      return n.kind == "df" && n.parent == 0;
    });
    if (apps && Find("3F00/2F00") < 0 && Op(0, 2)) add("3F00/2F00 EF.DIR create");
    for (size_t i = 1; i < nodes_.size(); ++i) {
      const Node& n = nodes_[i];
      const int k = static_cast<int>(i);
      if (!under(n.path)) continue;
      const bool shut = n.lcs >= 0x0C || ((n.lcs == 4 || n.lcs == 6) && !Op(k, 0x10));
      if (n.kind == "df") {
        if (Op(k, 2)) add(n.path + " create-ef");
        if (Op(k, 4)) add(n.path + " create-df");
      } else if (n.kind == "ef" && !shut) {
        if (Rule(k, 1) != 0 && Op(k, 1)) add(n.path + " read");
        if (Op(k, 2)) add(n.path + " update");
      } else if (n.kind == "key" && !shut) {
        const bool fill = Op(k, 8) || Op(k, 2);
        if ((n.priv || fill) && Op(k, 4)) add(n.path + " use");
        if (Op(k, 8)) add(n.path + " generate");
        if (Op(k, 2)) add(n.path + " update");
        if ((n.pub || fill) && Rule(k, 1) != 0 && Op(k, 1)) add(n.path + " read");
      }
      if (Deletable(k)) add(n.path + " delete");
    }
    for (int p : scope) {
      const std::string name = nodes_[pins_[p].df].path + " PIN " + testhost::Fmt("%02X", pins_[p].ref);
      if (held_.count(p)) add(name + " value set");
      else if (Met(pins_[p].df, Rule(pins_[p], 0x40), {})) add(name + " delete");
    }
    return out;
  }

  // The DFs of the tokens EF.DIR names that stand ("3F00/5015").
  std::vector<std::string> Tokens(const std::string& image) const {
    std::vector<std::string> out;
    const Image img = ParseImage(image);
    const auto dir = img.data.find("3F002F00");
    size_t vs, vl, as, al;
    uint8_t tag, inner;
    for (size_t at = 0; dir != img.data.end() && NextTlv(dir->second, &at, dir->second.size(), &tag, &vs, &vl);) {
      for (size_t in = vs; tag == 0x61 && NextTlv(dir->second, &in, vs + vl, &inner, &as, &al);) {
        if (inner != 0x51 || !img.dfs.count(Hex(&dir->second[as], al))) continue;
        std::string path;
        for (size_t i = 0; i + 1 < al; i += 2) path += (path.empty() ? "" : "/") + Hex(&dir->second[as + i], 2);
        if (std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
      }
    }
    return out;
  }

 private:
  struct Node {
    std::string kind, path;
    int lcs;
    std::map<int, uint16_t> ac;
    int parent;
    bool priv, pub;
  };
  struct Pin {
    int df, ref;
    std::map<int, uint16_t> ac;
    int unblock;
  };
  using Skip = std::set<int>;

  static std::map<int, uint16_t> Rules(const std::string& kind, const std::string& text) {
    static const std::map<std::string, int> ef = {{"read", 1}, {"update", 2}, {"write", 4}, {"deactivate", 8},
                                                  {"activate", 16}, {"terminate", 32}, {"delete", 64}},
        df = {{"delete-child", 1}, {"create-ef", 2}, {"create-df", 4}, {"deactivate", 8}, {"activate", 16},
              {"terminate", 32}, {"delete", 64}},
        key = {{"read", 1}, {"update", 2}, {"use", 4}, {"generate", 8}, {"activate", 16}, {"terminate", 32}, {"delete", 64}},
        pin = {{"update", 2}, {"delete", 64}};
    const auto& names = kind == "ef" ? ef : kind == "df" ? df : kind == "key" ? key : pin;
    std::map<int, uint16_t> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
      const std::string name = item.substr(0, item.find(':')), cond = item.substr(item.find(':') + 1);
      if (!names.count(name)) continue;
      out[names.at(name)] = cond == "always"  ? 0
                            : cond == "never" ? 0xFFFF
                            : cond.rfind("pin:", 0) == 0 ? static_cast<uint16_t>(0xC000 | std::stoi(cond.substr(4), nullptr, 16))
                            : cond.rfind("key:", 0) == 0 ? static_cast<uint16_t>(0x8000 | std::stoi(cond.substr(4), nullptr, 16))
                                                         : static_cast<uint16_t>(std::stoi(cond, nullptr, 16));
    }
    return out;
  }
  int Find(const std::string& path) const {
    for (size_t i = 0; i < nodes_.size(); ++i)
      if (nodes_[i].path == path) return static_cast<int>(i);
    return -1;
  }
  int DfOf(int n) const { return nodes_[n].kind == "df" ? n : nodes_[n].parent; }
  int PinIn(int df, int ref, int except = -1) const {
    for (size_t p = 0; p < pins_.size(); ++p)
      if (pins_[p].df == df && pins_[p].ref == ref && static_cast<int>(p) != except) return static_cast<int>(p);
    return -1;
  }
  std::set<int> Refs() const {
    std::set<int> refs;
    const auto named = [&refs](const std::map<int, uint16_t>& ac) {
      for (const auto& r : ac)
        if ((r.second & 0xC000) == 0xC000 && r.second != 0xFFFF) refs.insert(r.second & 0xFF);
    };
    for (const Node& n : nodes_) named(n.ac);
    for (const Pin& p : pins_) {
      named(p.ac);
      if (p.unblock >= 0) refs.insert(p.unblock);
    }
    return refs;
  }
  uint16_t Rule(int n, int bit) const { return nodes_[n].ac.count(bit) ? nodes_[n].ac.at(bit) : 0; }
  static uint16_t Rule(const Pin& p, int bit) { return p.ac.count(bit) ? p.ac.at(bit) : 0; }
  // The PIN the card finds for `ref` asked from DF `where`, planted ones and deletions counted: held or not.
  bool Found(int where, int ref, Skip skip, int except = -1) const {
    bool planted = false;
    for (int n = ref < 0x80 ? 0 : where; n >= 0; n = nodes_[n].parent) {
      const int p = PinIn(n, ref, except);
      if (p >= 0) {
        if (planted || held_.count(p)) return true;
        if (skip.count(p)) return false;
        Skip more = skip;
        more.insert(p);
        if (!Met(n, Rule(pins_[p], 0x40), more)) return false;
        continue;  // deleted, the card looks further up
      }
      planted = planted || plants_.count({n, ref}) > 0;
    }
    return planted;
  }
  bool Met(int where, uint16_t cond, const Skip& skip, int except = -1) const {
    if (cond == 0) return true;
    if (cond == 0xFFFF) return false;
    if ((cond & 0xC000) == 0x8000) return dh_.count(cond & 0xFF) > 0;
    return Found(where, cond & 0xFF, skip, except);
  }
  bool Op(int n, int bit, int except = -1) const {
    return nodes_[n].lcs < 4 || Met(DfOf(n), Rule(n, bit), {}, except);
  }
  bool Gained(int p) const {
    const Pin& pin = pins_[p];
    return Met(pin.df, Rule(pin, 2), {}) || (pin.unblock >= 0 && Found(pin.df, pin.unblock, {})) ||
           (Met(pin.df, Rule(pin, 0x40), {}) && Op(pin.df, 2, p));
  }
  bool Deletable(int n) const {
    if (!Op(n, 0x40)) return false;
    if (nodes_[n].kind != "df" || model_ == 1 || model_ == 3 || model_ == 4 || model_ == 7) return true;
    for (size_t c = 0; c < nodes_.size(); ++c)
      if (nodes_[c].parent == n && !Deletable(static_cast<int>(c))) return false;
    for (const Pin& p : pins_)
      if (p.df == n && !Met(n, Rule(p, 0x40), {})) return false;
    return true;
  }
  // The PIN the card finds for `ref` from `where`, and those above it that its deletion may uncover.
  std::vector<int> Chain(int where, int ref) const {
    std::vector<int> out;
    for (int n = ref < 0x80 ? 0 : where; n >= 0; n = nodes_[n].parent) {
      const int p = PinIn(n, ref);
      if (p < 0) continue;
      out.push_back(p);
      if (Rule(pins_[p], 0x40) == 0xFFFF) break;
    }
    return out;
  }

  std::vector<Node> nodes_;
  std::vector<Pin> pins_;
  std::set<int> held_, dh_;
  std::set<std::pair<int, int>> plants_;
  int model_ = 0;
};

// What someone with no PIN may do on the whole card `after` that they could not on it `before` (a call that failed
// leaves nothing the call made open to anyone). A PIN that no rule and no PIN names, not even its own, opens nothing
// (a PUK whose PIN a cut kept from being made): it is left out.
inline std::string NewlyOpen(const std::string& before, const std::string& after) {
  const std::string was = WhoMay(before).Findings({"3F00"}), now = WhoMay(after).Findings({"3F00"});
  std::string out;
  for (size_t at = 0, end; (end = now.find("; ", at)) != std::string::npos; at = end + 2) {
    const std::string one = now.substr(at, end + 2 - at);
    const size_t pin = one.find(" PIN ");
    const std::string ref = pin != std::string::npos ? one.substr(pin + 5, 2) : "";
    if (!ref.empty() && after.find("pin:" + ref) == std::string::npos && after.find("unblock=" + ref) == std::string::npos)
      continue;
    // An EF.DIR anyone may make where none stands now is one anyone could change before.
    if (was.find(one) == std::string::npos &&
        (one != "3F00/2F00 EF.DIR create; " || was.find("3F00/2F00 update; ") == std::string::npos))
      out += one;
  }
  return out;
}

// What must hold of every token EF.DIR names once an initialisation ends: no one with no PIN may use, read, change,
// create in or delete anything it relies on (WhoMay); each PIN its PIN directory names stands where the directory
// says; and the local PINs its files' rules name are found where the token names them.
// With `audit`, where MIRTAL_CARD_AUDIT names another model of the same rules (a script taking "--only PATH ...
// IMAGE"), its findings are added (a process each: the sweeps leave it out). The script runs under the interpreter
// MIRTAL_PYTHON names (the tests' CMake gives the build's own), else the python3 of PATH.
inline std::string OpenToAnyone(const std::string& image, bool audit = false) {
  WhoMay who(image);
  const std::vector<std::string> tokens = who.Tokens(image);
  std::string open = tokens.empty() ? "" : who.Findings(tokens);
  const char* script = audit ? std::getenv("MIRTAL_CARD_AUDIT") : nullptr;
  if (script != nullptr && *script != '\0' && !tokens.empty()) {
    const std::string dir = testhost::MakeTempDir(), file = dir + "/card";
    testhost::WriteFile(file, image);
    const char* python = std::getenv("MIRTAL_PYTHON");
    std::string command = python != nullptr && *python != '\0' ? "'" + std::string(python) + "'" : "python3";
    command += " '" + std::string(script) + "'";
    for (const std::string& t : tokens) command += " --only " + t;
    if (FILE* pipe = popen((command + " '" + file + "'").c_str(), "r")) {
      char line[512];
      while (std::fgets(line, sizeof line, pipe) != nullptr) open += std::string("card-audit: ") + line;
      if (pclose(pipe) != 0 && open.empty()) open = "card-audit failed";
    }
    std::remove(file.c_str());
    rmdir(dir.c_str());
  }
  std::map<std::string, std::string> pinLine;  // "<df> <ref>" -> line
  std::vector<std::string> lines;
  {
    std::istringstream in(image);
    for (std::string l; std::getline(in, l);) {
      lines.push_back(l);
      if (l.rfind("pin ", 0) == 0) pinLine[l.substr(4, l.find(' ', 4) - 4) + " " + ValueOf(l, "ref")] = l;
    }
  }
  const auto parent = [](const std::string& d) { return d.rfind('/') == std::string::npos ? std::string() : d.substr(0, d.rfind('/')); };
  const auto found = [&](std::string df, const std::string& ref) {  // as the card finds a local PIN
    for (; !df.empty(); df = parent(df))
      if (pinLine.count(df + " " + ref)) return df;
    return std::string();
  };
  const auto slashed = [](const std::string& hex) {
    std::string s;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4) s += (s.empty() ? "" : "/") + hex.substr(i, 4);
    return s;
  };
  const auto child = [](const std::vector<uint8_t>& d, size_t from, size_t to, uint8_t tag, size_t* vs, size_t* vl) {
    uint8_t t = 0;
    while (NextTlv(d, &from, to, &t, vs, vl))
      if (t == tag) return true;
    return false;
  };
  Image img = ParseImage(image);
  for (const std::string& app : tokens) {
    const std::string hex = [&] { std::string h = app; h.erase(std::remove(h.begin(), h.end(), '/'), h.end()); return h; }();
    std::vector<std::pair<std::string, std::string>> pins;  // (DF, reference) its PIN directories name
    std::vector<std::string> aodfs;
    const std::vector<uint8_t>& odf = img.data[hex + "5031"];
    size_t vs, vl;
    uint8_t tag;
    for (size_t k = 0; NextTlv(odf, &k, odf.size(), &tag, &vs, &vl);)
      if (tag == 0xA8) CollectPaths(odf, vs, vs + vl, &aodfs);
    for (const std::string& a : aodfs) {
      const std::vector<uint8_t>& r = img.data[a];
      size_t rs, rl, ps, pl, fs, fl;
      for (size_t k = 0; NextTlv(r, &k, r.size(), &tag, &rs, &rl);) {
        if (!child(r, rs, rs + rl, 0xA1, &ps, &pl) || !child(r, ps, ps + pl, 0x30, &ps, &pl)) continue;
        const std::string ref = child(r, ps, ps + pl, 0x80, &fs, &fl) && fl == 1 ? Hex(&r[fs], 1) : "";
        const std::string path = child(r, ps, ps + pl, 0x30, &fs, &fl) && child(r, fs, fs + fl, 0x04, &fs, &fl)
                                     ? Hex(&r[fs], fl) : "";
        if (ref.empty()) continue;
        const std::string df = !path.empty() ? slashed(path.rfind("3F00", 0) == 0 ? path : hex + path)
                               : ref < "80" ? std::string("3F00") : app;
        pins.emplace_back(df, ref);
        if (!pinLine.count(df + " " + ref)) open += "PIN " + ref + " of token " + app + " does not stand in " + df + "; ";
      }
    }
    for (const std::string& l : lines) {  // a local PIN the token's files' rules name is the one it names
      std::istringstream words(l);
      std::string kind, path;
      words >> kind >> path;
      if ((kind != "ef" && kind != "key" && kind != "df") || path.rfind(app + "/", 0) != 0) continue;
      if (std::any_of(tokens.begin(), tokens.end(), [&](const std::string& t) {
            return t.size() > app.size() && (path == t || path.rfind(t + "/", 0) == 0);
          }))
        continue;
      const std::string ac = ValueOf(l, "ac"), from = kind == "df" ? path : parent(path);
      for (size_t at = ac.find("pin:"); at != std::string::npos; at = ac.find("pin:", at + 4)) {
        const std::string ref = ac.substr(at + 4, 2);
        const auto named = std::find_if(pins.begin(), pins.end(), [&](const auto& p) { return p.second == ref; });
        if (ref >= "80" && named != pins.end() && found(from, ref) != named->first)
          open += "PIN " + ref + " of the rules of " + path + " is found in " + found(from, ref) + ", not in " + named->first + "; ";
      }
    }
  }
  return open;
}

}  // namespace cardimage
