// A fake PC/SC library for the reader tests: readers, cards and another
// application are modelled in memory, and the card's answers come from a
// function the test sets. Installed into a back-end through its function table.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "smartcard/sc_pcscapi.h"

namespace fakepcsc {

using Bytes = std::vector<uint8_t>;

struct Reader {
    std::string name;
    bool present = false;
    bool mute = false;              // the card answers nothing: its connections get W_UNRESPONSIVE_CARD
    Bytes atr = {0x3B, 0x02, 0x14, 0x50};
    scpcsc::DWORD protocols = scpcsc::PROTOCOL_T0 | scpcsc::PROTOCOL_T1;  // what the card speaks
    scpcsc::DWORD events = 0;       // card insertions and removals
    bool heldByOther = false;       // another application holds it exclusively
    unsigned resetGeneration = 0;   // bumped by a reset from another application
    int polls = 0;                  // GetStatusChange without waiting
    int statusCalls = 0;            // Status on a handle of the reader
};

struct Handle {
    size_t reader;
    scpcsc::DWORD share;
    scpcsc::DWORD proto;
    scpcsc::DWORD events;      // reader event count at connect
    unsigned resetGeneration;  // reset generation at connect
    int locks = 0;             // transactions held, counted as pcsc-lite counts them
};

struct State {
    std::mutex m;
    std::condition_variable cv;
    bool serviceRunning = true;
    std::vector<Reader> readers;
    std::map<long, Handle> handles;
    long nextHandle = 100;
    int contexts = 0;
    int beginCalls = 0, endCalls = 0;
    std::vector<Bytes> sent;  // every APDU as the card got it
    std::vector<scpcsc::DWORD> sentProtocols;
    // The card: command -> response (data and status word).
    std::function<Bytes(const Bytes&)> card;
    // Returned by SCardTransmit instead of an answer when set.
    scpcsc::LONG transmitError = 0;
    // Claimed answer length beyond the buffer (a faulty library).
    bool overlongAnswer = false;
    // Another application resets the card right after each of this many
    // connections and reconnections of ours.
    int resetsAfterConnect = 0;
    int resetsAfterBegin = 0;          // Begins told nothing of a reset that ended while they waited
    int resetsOutsideTransaction = 0;  // resets made by a handle that held no transaction
    int disconnectResets = 0;          // disconnections that reset the card
    scpcsc::LONG disconnectError = 0;  // returned by SCardDisconnect when set (the handle goes all the same)
};

State& Get();
void Reset();

// The fake's function table.
SCPcscFunctionTable Table();

// Card events, as another thread or application would cause them.
void Insert(size_t reader);
void Remove(size_t reader);
void ResetByOther(size_t reader);
// The reader service stops or starts again: every call fails while it is down.
void SetServiceRunning(bool running);

// Counts, read under the fake's lock: state queries of a reader (polls and
// Status calls), its polls alone, APDUs sent.
int Queries(size_t reader);
int Polls(size_t reader);
size_t SentCount();
void ClearCounts();

}  // namespace fakepcsc
