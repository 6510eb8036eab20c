// A place of a test's own for a pcscd of its own. pcscd keeps its socket and
// pid file at /run/pcscd whatever its client's environment says, and vpcd
// listens on fixed local ports (35963 and up), so a pcscd started beside
// another program's (a smart-card developer's desk) meets that pcscd, its
// readers and its cards. In a mount namespace of its own, with an empty
// /run/pcscd and no USB devices, and a network namespace of its own, the
// test's pcscd, vpcd and card bridges meet only each other, and the module,
// which loads libpcsclite.so.1 at run time, finds only that pcscd.
#pragma once

#include <string>

namespace testsupport {

// Moves this process, and every process it starts afterwards, into a new such
// place (inside the place it is in, if any); a later call answers as the
// first. Call it before the process starts a thread (namespaces belong to the
// calling thread and to what it starts). Empty when done, else why it cannot
// be done here (namespaces need root).
std::string EnterOwnPcscdPlace();

// Points pcsc-lite's client library at a socket in `dir` where no pcscd
// listens, unless this process made a place of its own: a test that uses the
// PC/SC back-end and means no pcscd to run meets none, whatever runs on the
// machine, and sends nothing to its cards.
void MeetNoPcscd(const std::string& dir);

// The variable that tells the processes started in a place that they are in
// it (the test scripts look at it): it holds the place's network namespace,
// as /proc/self/ns/net names it.
constexpr const char* kOwnPcscdPlaceVariable = "MIRTAL_OWN_PCSCD_PLACE";

}  // namespace testsupport
