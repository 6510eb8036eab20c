// A simulated card's image file read apart from the module: its files, the
// contents of its EFs, and the PKCS#15 directories of the application in
// 3F00/5015 checked record by record (whole records, the paths they name, the
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

// The key reference that each record of the private-key directory of the card's
// first application names (its INTEGER octets in hex, "-" for a record without
// one), in the order of the records. The application is the path of EF.DIR's
// first template (tag 51), its ODF that application's file 5031.
inline std::vector<std::string> PrivateKeyReferences(const std::string& imagePath) {
  const Image img = ReadImage(imagePath);
  const auto dir = img.data.find("3F002F00");
  if (dir == img.data.end()) return {"no EF.DIR"};
  std::string app;
  {
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

// Walks the ODF of the application in 3F00/5015 and each directory it names.
// Directories are read as the module reads them (a whole spare in their place): a
// file whose first octet is 00 or FF holds no records; otherwise 00 and FF
// between records are skipped, as are elements under the private tag C0 (records
// being cleared), and the records go on to the file's end, so octets there that
// make no whole record are torn.
inline DirectoryCheck CheckDirectories(const std::string& imagePath) {
  const Image img = ReadImage(imagePath);
  DirectoryCheck out;
  out.dfs = img.dfs;
  std::set<std::string> named = {"3F00", "3F002F00", "3F005015", "3F0050155031", "3F0050155032"};
  std::string spare;
  const std::vector<uint8_t>* odf = RecordsOf(img, "3F0050155031", &spare);
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

// What lets someone with the card and no PIN set a PIN or change EF.DIR: a PIN whose unblocking PIN stands neither
// in its DF nor above, EF.DIR with an update (write) or delete rule none or "always". And what must hold of every token EF.DIR names once an initialisation ends: each PIN its PIN directory names
// stands where the directory says, is set, reset and deleted only with a PIN the card's tokens name as SO PIN (or
// itself), and is unblocked only by a PIN the token names; EF.DIR is changed, deactivated or terminated, and the
// token's DF deleted, deactivated or terminated, only under an SO PIN's rule (or a key's, or never), nothing is
// created or deleted in that DF by anyone, and the local PINs its files' rules name are found where the token names them.
inline std::string OpenToAnyone(const std::string& image) {
  std::string open;
  std::vector<std::string> lines;
  std::map<std::string, std::string> pinLine;  // "<df> <ref>" -> line
  {
    std::istringstream in(image);
    for (std::string l; std::getline(in, l);) {
      lines.push_back(l);
      if (l.rfind("pin ", 0) == 0) pinLine[l.substr(4, l.find(' ', 4) - 4) + " " + ValueOf(l, "ref")] = l;
    }
  }
  const auto parent = [](const std::string& d) { return d.rfind('/') == std::string::npos ? std::string() : d.substr(0, d.rfind('/')); };
  // The DF of the nearest PIN `ref` from `df` up to the master file ("" where none): as the card finds a local one.
  const auto found = [&](std::string df, const std::string& ref) {
    for (; !df.empty(); df = parent(df))
      if (pinLine.count(df + " " + ref)) return df;
    return std::string();
  };
  for (const std::string& l : lines) {
    const bool dir = l.rfind("ef 3F00/2F00 ", 0) == 0;
    if (!dir && l.rfind("pin ", 0) != 0) continue;
    const std::string df = l.substr(l.find(' ') + 1, l.find(' ', l.find(' ') + 1) - l.find(' ') - 1);
    const std::string ref = ValueOf(l, "ref"), unblock = ValueOf(l, "unblock"), ac = ValueOf(l, "ac");
    if (!unblock.empty() && found(df, unblock).empty()) open += "PIN " + ref + " in " + df + " names unblocking PIN " + unblock + "; ";
    for (const std::string op : {"update:", "write:", "delete:"})
      if (dir && (ac.find(op) == std::string::npos || ac.find(op + "always") != std::string::npos))
        open += "EF.DIR: " + op + " " + (ac.empty() ? "none" : ac) + "; ";
  }
  // The tokens EF.DIR names, and the PINs each one's PIN directories name (in the records' [1] { SEQUENCE {
  // flags, type, lengths, [0] reference, ..., path } }), at the place their path or reference says.
  struct Named { std::string df, ref; bool so; };
  std::vector<std::pair<std::string, std::vector<Named>>> tokens;
  Image img = ParseImage(image);
  const auto slashed = [](const std::string& hex) {
    std::string s;
    for (size_t i = 0; i + 4 <= hex.size(); i += 4) s += (s.empty() ? "" : "/") + hex.substr(i, 4);
    return s;
  };
  // The first element with `tag` inside d[from, to): its value's start and length.
  const auto child = [](const std::vector<uint8_t>& d, size_t from, size_t to, uint8_t tag, size_t* vs, size_t* vl) {
    uint8_t t = 0;
    while (NextTlv(d, &from, to, &t, vs, vl))
      if (t == tag) return true;
    return false;
  };
  std::set<std::string> owners;  // "pin:XX" of every SO PIN a token names
  const std::vector<uint8_t>& dir = img.data["3F002F00"];
  size_t vs, vl, as, al;
  uint8_t tag;
  for (size_t at = 0; NextTlv(dir, &at, dir.size(), &tag, &vs, &vl);) {
    if (tag != 0x61 || !child(dir, vs, vs + vl, 0x51, &as, &al) || !img.dfs.count(Hex(&dir[as], al))) continue;
    const std::string app = Hex(&dir[as], al);
    std::vector<Named> pins;
    std::vector<std::string> aodfs;
    const std::vector<uint8_t>& odf = img.data[app + "5031"];
    for (size_t k = 0; NextTlv(odf, &k, odf.size(), &tag, &vs, &vl);)
      if (tag == 0xA8) CollectPaths(odf, vs, vs + vl, &aodfs);
    for (const std::string& a : aodfs) {
      const std::vector<uint8_t>& r = img.data[a];
      size_t rs, rl, ps, pl, fs, fl;
      for (size_t k = 0; NextTlv(r, &k, r.size(), &tag, &rs, &rl);) {
        if (!child(r, rs, rs + rl, 0xA1, &ps, &pl) || !child(r, ps, ps + pl, 0x30, &ps, &pl)) continue;
        Named pin{"", child(r, ps, ps + pl, 0x80, &fs, &fl) && fl == 1 ? Hex(&r[fs], 1) : "", false};
        pin.so = child(r, ps, ps + pl, 0x03, &fs, &fl) && fl >= 2 && (r[fs + 1] & 0x01) != 0;  // soPin
        const std::string path = child(r, ps, ps + pl, 0x30, &fs, &fl) && child(r, fs, fs + fl, 0x04, &fs, &fl)
                                     ? Hex(&r[fs], fl) : "";
        pin.df = !path.empty() ? slashed(path.rfind("3F00", 0) == 0 ? path : app + path)
                               : pin.ref < "80" ? std::string("3F00") : slashed(app);
        if (pin.ref.empty()) continue;
        if (pin.so) owners.insert("pin:" + pin.ref);
        pins.push_back(pin);
      }
    }
    tokens.emplace_back(slashed(app), pins);
  }
  // A rule that someone with no PIN, or with a PIN that is neither an SO PIN the tokens name nor `self`, meets.
  const auto loose = [&](const std::string& ac, const std::string& op, const std::string& self) {
    const size_t at = ac.find(op + ":");
    if (at == std::string::npos) return true;
    const std::string who = ac.substr(at + op.size() + 1, ac.find(',', at) - at - op.size() - 1);
    return who == "always" || (who.rfind("pin:", 0) == 0 && !owners.count(who) && who != "pin:" + self);
  };
  const auto soOnly = [&](const std::string& line) {
    return !line.empty() && !loose(ValueOf(line, "ac"), "update", "") && !loose(ValueOf(line, "ac"), "delete", "");
  };
  const auto lineOf = [&](const std::string& kind, const std::string& path) {
    for (const std::string& l : lines)
      if (l.rfind(kind + " " + path + " ", 0) == 0) return l;
    return std::string();
  };
  if (!tokens.empty())
    for (const std::string op : {"update", "write", "delete", "deactivate", "terminate"})
      if (loose(ValueOf(lineOf("ef", "3F00/2F00"), "ac"), op, ""))
        open += "EF.DIR: " + op + " open; ";
  for (const auto& [app, pins] : tokens) {
    // Its DF: the SO's alone to delete, deactivate or terminate; nothing created or deleted in it by anyone.
    const std::string ac = ValueOf(lineOf("df", app), "ac");
    for (const std::string op : {"delete", "deactivate", "terminate", "create-ef", "create-df", "delete-child"})
      if (op.find('-') == std::string::npos ? loose(ac, op, "")
                                            : ac.find(op + ":") == std::string::npos || ac.find(op + ":always") != std::string::npos)
        open += "DF " + app + ": " + op + " open; ";
    for (const Named& p : pins) {
      const auto line = pinLine.find(p.df + " " + p.ref);
      if (line == pinLine.end()) {
        open += "PIN " + p.ref + " of token " + app + " does not stand in " + p.df + "; ";
        continue;
      }
      const std::string pac = ValueOf(line->second, "ac"), unblock = ValueOf(line->second, "unblock");
      for (const std::string op : {"update", "delete"})
        if (loose(pac, op, p.ref)) open += "PIN " + p.ref + " in " + p.df + ": " + op + " " + (pac.empty() ? "none" : pac) + "; ";
      // An unblocking PIN the token does not name is the SO's alone (a PUK an earlier initialisation made).
      const auto by = pinLine.find(found(p.df, unblock) + " " + unblock);
      if (!unblock.empty() && std::none_of(pins.begin(), pins.end(), [&](const Named& u) {
            return u.ref == unblock && u.df == found(p.df, unblock);
          }) && (by == pinLine.end() || !soOnly(by->second)))
        open += "PIN " + p.ref + " in " + p.df + " is unblocked by PIN " + unblock + ", which token " + app + " does not name; ";
    }
    // The token's files: a local PIN their rules name is the one the token names.
    for (const std::string& l : lines) {
      std::istringstream words(l);
      std::string kind, path;
      words >> kind >> path;
      if ((kind != "ef" && kind != "key" && kind != "df") || path.rfind(app + "/", 0) != 0) continue;
      const bool another = std::any_of(tokens.begin(), tokens.end(), [&](const auto& t) {
        return t.first.size() > app.size() && (path == t.first || path.rfind(t.first + "/", 0) == 0);
      });
      if (another) continue;
      const std::string fac = ValueOf(l, "ac"), from = kind == "df" ? path : parent(path);
      for (size_t at = fac.find("pin:"); at != std::string::npos; at = fac.find("pin:", at + 4)) {
        const std::string ref = fac.substr(at + 4, 2);
        if (ref < "80") continue;
        const auto named = std::find_if(pins.begin(), pins.end(), [&](const Named& p) { return p.ref == ref; });
        if (named != pins.end() && found(from, ref) != named->df)
          open += "PIN " + ref + " of the rules of " + path + " is found in " + found(from, ref) + ", not in " + named->df + "; ";
      }
    }
  }
  return open;
}

}  // namespace cardimage
