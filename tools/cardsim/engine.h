// The simulated card operating system: a file system of DFs, EFs, key files
// and PIN objects, answering ISO 7816-4/8/9 commands. No PC/SC in here: the
// prefixed PC/SC library and the vpcd bridge both drive this class.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/cardsim/channel.h"

namespace cardsim {

// File descriptor bytes (FCP tag 82).
enum : uint8_t {
  kDescEf = 0x01,   // transparent working EF
  kDescKey = 0x11,  // internal EF holding an RSA key
  kDescPin = 0x21,  // PIN object (proprietary EF kind)
  kDescDf = 0x38,
};

// Access-mode bits (ISO 7816-4 access-mode byte); their meaning depends on the
// kind of object, see README.md.
enum : uint8_t {
  kAmBit1 = 0x01, kAmBit2 = 0x02, kAmBit3 = 0x04, kAmBit4 = 0x08,
  kAmBit5 = 0x10, kAmBit6 = 0x20, kAmBit7 = 0x40,
};
// EF
constexpr uint8_t kAmRead = 0x01, kAmUpdate = 0x02, kAmWrite = 0x04;
// DF
constexpr uint8_t kAmDeleteChild = 0x01, kAmCreateEf = 0x02, kAmCreateDf = 0x04;
// key file
constexpr uint8_t kAmUse = 0x04, kAmGenerate = 0x08;
// all kinds
constexpr uint8_t kAmDeactivate = 0x08, kAmActivate = 0x10, kAmTerminate = 0x20,
                  kAmDelete = 0x40;

// Access-condition values, as the module's header parsers report them.
constexpr uint16_t kAcAlways = 0x0000, kAcNever = 0xFFFF;
inline uint16_t AcPin(uint8_t ref) { return uint16_t(0xC000 | ref); }
inline uint16_t AcKey(uint8_t ref) { return uint16_t(0x8000 | ref); }

struct Pin {
  uint8_t ref = 0;
  Bytes value;  // stored unpadded
  bool initialised = false;
  uint8_t minLen = 4, maxLen = 8;
  int pad = -1;  // pad character, -1 none
  uint8_t tries = 3, left = 3;
  uint8_t unblockRef = 0xFF;
  std::map<uint8_t, uint16_t> ac;
  bool verified = false;  // volatile
  uint16_t Ac(uint8_t am) const;
};

struct RsaKey {
  // Components by tag: 81 n, 82 e, 83 d, 84 p, 85 q, 86 dp, 87 dq, 88 qinv.
  std::map<uint8_t, Bytes> comp;
  bool HasPrivate() const;
  bool HasPublic() const { return comp.count(0x81) && comp.count(0x82); }
  size_t ModulusBytes() const;
};

struct Node {
  uint8_t desc = kDescEf;
  uint16_t fid = 0;
  Bytes name;  // DF name (AID)
  uint8_t lcs = 0x05;
  int code = -1;     // card-model code in a DF header (FCP tag 85), -1 none
  std::map<uint8_t, uint16_t> ac;
  Bytes data;        // EF contents (its size is the file size)
  int keyRef = -1;  // key reference; -1: none, the key is addressed by its file
  uint16_t keyBits = 0;
  RsaKey key;
  Node* parent = nullptr;
  std::vector<std::unique_ptr<Node>> children;
  std::vector<Pin> pins;  // PIN objects of a DF

  bool IsDf() const { return desc == kDescDf; }
  bool IsKey() const { return desc == kDescKey; }
  Node* Child(uint16_t id) const;
  std::string PathText() const;  // "3F00/5015/4401"
  uint16_t Ac(uint8_t am) const;
};

struct Response {
  Bytes data;
  uint16_t sw = 0x9000;
};

class Card {
 public:
  Card();
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // Loads an image file; null and a message on failure.
  static std::unique_ptr<Card> Load(const std::string& path, std::string* err);
  // Parses image text (path stays empty: nothing is written back).
  static std::unique_ptr<Card> Parse(const std::string& text, std::string* err);
  std::string Serialise() const;
  // Writes the image back to its file (atomically); true when written or
  // when the card has no file.
  bool Save();

  // Power-up: volatile state cleared (verified PINs, current file, SE).
  void Reset();
  const Bytes& Atr() const { return atr_; }
  // Protocols from the ATR: bit 0 T=0, bit 1 T=1.
  unsigned Protocols() const;

  // One command APDU in, one response APDU (data + SW) out. t0: the T=0
  // transport rules (61xx for case-4 responses, 6Cxx on a wrong P3).
  Bytes Transmit(const Bytes& apdu, bool t0);

  // Test hook: answer the next `count` commands with INS `ins` (0x100 = any)
  // with `sw`, without running them.
  void InjectSw(unsigned ins, uint16_t sw, int count);
  // The same after `skip` such commands have run: a failure at any one step.
  void InjectSwAfter(unsigned ins, uint16_t sw, int skip, int count);
  // The same for the commands whose octets begin with `prefix` (header, then data).
  void InjectSwOn(const Bytes& prefix, uint16_t sw, int skip, int count);
  // Test hook: the next `count` answers with data to commands with INS `ins`
  // (0x100 = any) have their last data octet inverted, as a faulty card would.
  void CorruptData(unsigned ins, int count);
  void CorruptDataOn(const Bytes& prefix, int skip, int count);

  int model() const { return model_; }
  Node* mf() const { return mf_.get(); }
  const std::string& path() const { return path_; }
  void set_path(const std::string& p) { path_ = p; }
  uint8_t lifecycle() const { return lifecycle_; }

 private:
  struct Apdu {
    uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    size_t ne = 0;        // expected length, 0 = none
    bool hasLe = false;
    bool leExplicit = false;  // a non-zero short Le or any extended Le
    bool extended = false;
  };
  static bool ParseApdu(const Bytes& in, Apdu* out);
  // The secure channels' view of a command, then Execute.
  Response Receive(const Bytes& apdu, const Apdu& a);
  // Chaining and the command itself.
  Response Execute(Apdu a);
  bool IsApplicationSelect(const Apdu& a) const;
  bool IsIsdAid(const Bytes& aid) const;
  // The security domain (isd) or the applet is now selected.
  void SetApplication(bool isd);
  Response Dispatch(const Apdu& a);
  void Changed();

  // commands
  Response Select(const Apdu& a);
  Response ReadBinary(const Apdu& a);
  Response UpdateBinary(const Apdu& a);
  Response EraseBinary(const Apdu& a);
  Response CreateFile(const Apdu& a);
  Response DeleteFile(const Apdu& a);
  Response LifeCycleCmd(const Apdu& a);
  Response Verify(const Apdu& a);
  Response ChangeRef(const Apdu& a);
  Response ResetRetry(const Apdu& a);
  Response Mse(const Apdu& a);
  Response Pso(const Apdu& a);
  Response Generate(const Apdu& a);
  Response PutData(const Apdu& a);
  Response GetData(const Apdu& a);
  Response GetDataSdo(const Apdu& a);
  Response GetChallenge(const Apdu& a);
  Response GetResponse(const Apdu& a);
  Response SetStatus(const Apdu& a);

  Bytes Fcp(const Node* n) const;
  bool Allowed(const Node* where, uint16_t cond) const;
  bool AllowedOp(const Node* n, uint8_t am) const;
  Pin* FindPin(const Node* from, uint8_t ref, Node** holder = nullptr) const;
  Node* FindKeyByRef(const Node* from, uint8_t ref) const;
  Node* ResolvePath(const Bytes& ids, Node* base) const;
  size_t UsedMemory() const;
  bool IsGp() const { return model_ == 4 || model_ == 6 || model_ == 7; }
  bool HeadersCarryRules() const { return model_ != 2 && model_ != 6; }
  // Models whose key files may carry no key reference: such a key is used by its
  // file (MSE SET 81, or GENERATE / PUT DATA with reference 00 after selecting it).
  bool KeysByFile() const { return model_ == 1 || model_ == 3 || model_ == 4; }
  // DELETE FILE of a DF removes what it holds once the DF's own delete rule is met.
  bool DeletesSubtrees() const { return model_ == 1 || model_ == 3 || model_ == 4 || model_ == 7; }
  uint8_t ErasedValue() const { return model_ == 3 || model_ == 4 ? 0x00 : 0xFF; }
  Response PinCheck(Pin* p, const Bytes& given, bool countFailure);
  void SyncAtrLifecycle();

  friend class ImageIo;

  std::string path_;
  int model_ = 0;
  Bytes atr_;
  Bytes serial_;
  uint8_t lifecycle_ = 0x0F;
  uint32_t memory_ = 65536;
  std::unique_ptr<Node> mf_;
  bool terminated_ = false;
  bool fcpLcs_ = true;  // headers carry the life-cycle byte (8A), which ISO 7816-4 leaves optional
  Channel channel_;  // keys from the image, sessions volatile

  // volatile
  bool onIsd_ = false;  // the security domain is selected (else the applet)
  Node* curDf_ = nullptr;
  Node* curEf_ = nullptr;
  struct Se {
    int alg = -1;
    int keyRef = -1;
    Bytes keyPath;
  } seSign_, seDec_;
  Bytes pending_;  // response data waiting for GET RESPONSE
  struct Chain {
    bool active = false;
    uint8_t ins = 0, p1 = 0, p2 = 0;
    Bytes data;
  } chain_;
  size_t aidCursor_ = 0;
  Bytes lastAid_;
  unsigned injIns_ = 0;
  uint16_t injSw_ = 0;
  int injCount_ = 0;
  int injSkip_ = 0;
  Bytes injPrefix_;  // empty: commands are matched by their INS
  unsigned corruptIns_ = 0;
  int corruptCount_ = 0;
  int corruptSkip_ = 0;
  Bytes corruptPrefix_;
};

std::string Hex(const uint8_t* p, size_t n);
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }
bool FromHex(const std::string& s, Bytes* out);

}  // namespace cardsim
