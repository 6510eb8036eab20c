// The card side of the secure channels (README.md, "Secure channels"), written
// apart from the module: GlobalPlatform Secure Channel Protocol '02' (i = 35)
// and ISO/IEC 7816-4 secure messaging after a Diffie-Hellman key agreement,
// both with two-key triple DES and the retail MAC, on OpenSSL's libcrypto. The
// engine hands it every APDU first: it opens and checks the channels, turns
// protected commands into plain ones and protects the answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cardsim {

using Bytes = std::vector<uint8_t>;

// A GlobalPlatform key set of the card image.
struct GpKeySet {
  uint8_t version = 1;
  Bytes enc, mac, dek;   // 16 octets each
  uint16_t counter = 0;  // sequence counter, counted up by INITIALIZE UPDATE
  uint8_t level = 0x01;  // lowest security level EXTERNAL AUTHENTICATE may ask for
};

// A Diffie-Hellman key of the card image, named by its group reference.
struct DhKey {
  uint8_t ref = 1;
  Bytes p, q, g, x;  // q may be empty
};

// Which plain commands the card refuses (6982) while no channel protects them.
struct Protection {
  enum Kind { kNone, kAll, kUntilSecured, kListed } kind = kNone;
  std::vector<uint8_t> ins;  // kListed
};

class Channel {
 public:
  Channel();
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Configuration (the card image).
  std::vector<GpKeySet> gpKeys;
  std::vector<DhKey> dhKeys;
  Protection protection;

  // The session ends (power-up, reset).
  void Reset();
  bool IsOpen() const { return state_ == kGpOpen || state_ == kIsoOpen; }
  bool IsGpOpen() const { return state_ == kGpOpen; }
  // An open channel authenticated with the key (set) of this reference: the
  // GlobalPlatform key version or the Diffie-Hellman group.
  bool KeyAuthenticated(uint8_t ref) const;

  // What one APDU comes to, before the engine runs it.
  struct Incoming {
    enum Kind {
      kAnswered,   // the channel answered by itself (answer below)
      kPlain,      // a command in the clear: run it as it is
      kUnwrapped,  // a protected command: run `plain`, then Protect the answer
    } kind = kPlain;
    Bytes plain;         // kUnwrapped: the command without its protection
    Bytes answer;        // kAnswered: data and status word
    bool changed = false;  // the card image changed (a sequence counter)
  };
  // apdu: as it came; appSelect: it selects an application (the security
  // domain or the applet) by its AID; selectedIsd: whether the security domain
  // is selected; secured: the card's life cycle is SECURED (for kUntilSecured).
  Incoming Receive(const Bytes& apdu, bool appSelect, bool selectedIsd, bool secured);
  // Protects the answer (data, status word) of the last unwrapped command.
  void Protect(Bytes* data, uint16_t* sw);
  // The selected application changed: a GlobalPlatform channel ends with it.
  void ApplicationChanged();

 private:
  enum State { kNone, kGpInitialised, kGpOpen, kIsoAgreeing, kIsoOpen };

  Incoming Answer(uint16_t sw, const Bytes& data = Bytes());
  Incoming InitializeUpdate(const Bytes& apdu, bool selectedIsd);
  Incoming ExternalAuthenticate(const Bytes& apdu);
  Incoming SetKeyAgreement(const Bytes& apdu);
  Incoming GeneralAuthenticate(const Bytes& apdu);
  Incoming UnwrapGp(const Bytes& apdu);
  Incoming UnwrapIso(const Bytes& apdu);
  // Commands that are no command of an application pass in the clear: transport,
  // the channels' set-up, the selection of applications, the card's identity.
  static bool Exempt(const Bytes& apdu, bool appSelect);
  bool NeedsProtection(const Bytes& apdu, bool appSelect, bool secured) const;
  void End();
  bool NextSsc();

  State state_ = kNone;
  bool isoSession_ = false;  // the open channel is the ISO one (else GlobalPlatform)
  uint8_t keyRef_ = 0;       // key version or group of the open channel
  uint8_t level_ = 0;        // GlobalPlatform security level
  bool onIsd_ = false;       // the GlobalPlatform channel belongs to the security domain
  Bytes senc_, cmac_, rmac_; // GlobalPlatform session keys
  Bytes hostChallenge_, cardChallenge_, seq_;
  Bytes lastCmac_, lastRmac_;
  Bytes rmacCommand_;        // the plain command the next R-MAC covers
  Bytes kenc_, kmac_, ssc_;  // ISO session
  const DhKey* dh_ = nullptr;
  Bytes gaChain_;            // GENERAL AUTHENTICATE data of a chain not yet complete
};

}  // namespace cardsim
