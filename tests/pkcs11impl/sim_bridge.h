// A reader bridge of our own (no module) over one simulated reader holding a
// copy of a generated card image, its first slot refreshed.
#pragma once

#include <fstream>
#include <string>

#include "pkcs11impl/scpkcs15lib.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_reader.h"
#include "tests/pkcs11impl/bridge_host.h"

namespace bridgehost {

struct SimBridge {
  SimEnv env;
  SCPkcs15Lib bridge;
  SCPkcs15App* app = nullptr;
  SCCard* card = nullptr;
  SimBridge(const char* reader, const std::string& image) : env(Readers{{reader, image}}) {}
  ~SimBridge() { bridge.DeInitLib(); }
  SimBridge(const SimBridge&) = delete;
  SimBridge& operator=(const SimBridge&) = delete;

  // Rewrites the copied image before the simulator reads it.
  void Patch(const std::string& image, const std::string& from, const std::string& to) {
    const std::string path = env.Card(image);
    std::string text = testhost::ReadFile(path);
    const size_t at = text.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    text.replace(at, from.size(), to);
    std::ofstream(path) << text;
  }
  // Starts the bridge and reads slot 0; false when no card object came up, or
  // (needApp) its first slot holds no application.
  bool Start(bool needApp = true) {
    bridge.SetEnabledReaderSubsystems("TARVO-MELK");
    bridge.SetDravokLibrary((SimLibrary() + ";Sim").c_str());
    bridge.SetPkcs15Flags(0);
    if (bridge.InitLib(nullptr, 3) != SC_OK) return false;
    const SCRESULT read = bridge.RefreshTokenInfo(0, 1, 0);
    app = bridge.GetSlotApp(0);
    card = bridge.GetReader(0)->GetCard();
    if (!needApp) return card != nullptr;
    return read >= 0 && app != nullptr && card != nullptr;
  }
};

}  // namespace bridgehost
