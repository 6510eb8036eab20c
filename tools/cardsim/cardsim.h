/* Control interface of libcardsim.so for tests (C linkage). Tests dlopen the
 * same library the module loads and drive its readers and cards through these
 * functions. A null reader name means the first reader. Functions returning
 * int give 0 on success, -1 for an unknown reader, -2 for a bad argument or an
 * image that cannot be loaded. */
#ifndef CARDSIM_CONTROL_H
#define CARDSIM_CONTROL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces every reader by those of a configuration file (null: the file named
 * by the environment variable CARDSIM_CONFIG; unset: no readers). */
int CardSimLoadConfig(const char* path);
/* Takes every reader away (their cards written back) and forgets the
 * configuration: the next call reads the file CARDSIM_CONFIG names then, as the
 * first call of a process does. */
int CardSimForgetConfig(void);
/* Adds an empty reader; -2 when the name is taken or empty. */
int CardSimAddReader(const char* name);
/* Inserts the card of an image file (a card already present is removed first). */
int CardSimInsert(const char* reader, const char* imagePath);
int CardSimRemove(const char* reader);
/* Resets the card: volatile card state is lost and every open handle gets
 * SCARD_W_RESET_CARD until it reconnects. */
int CardSimReset(const char* reader);
/* The same, as done by another application (logged as such). */
int CardSimResetByOther(const char* reader);
/* Another application holds (hold != 0) or releases the card exclusively. */
int CardSimHoldExclusive(const char* reader, int hold);
/* The card stops (mute != 0) or starts again answering: GetStatusChange shows
 * SCARD_STATE_MUTE, Connect, Reconnect and the open handles get
 * SCARD_W_UNRESPONSIVE_CARD. */
int CardSimSetMute(const char* reader, int mute);
/* The next `count` commands with instruction byte `ins` (0x100: any) are
 * answered with status word `sw` and not run. */
int CardSimInjectSw(const char* reader, unsigned ins, unsigned sw, int count);
/* The next `count` answers carrying data to commands with instruction byte
 * `ins` (0x100: any) come back with their last data octet inverted, the status
 * word unchanged. */
int CardSimCorruptData(const char* reader, unsigned ins, int count);
/* The same for the answers to the commands whose octets begin with `prefix`
 * (hex: header, then data), once `skip` of them have come back whole. */
int CardSimCorruptDataOn(const char* reader, const char* prefix, int skip, int count);
/* Something happens to the card right after the next command with instruction
 * byte `ins` (0x100: any) has been answered, before the command that follows:
 * the card is pulled, reset by another application, goes mute, or another
 * application takes it exclusively. CARDSIM_AFTER_NOTHING cancels. */
enum {
  CARDSIM_AFTER_NOTHING = 0,
  CARDSIM_AFTER_REMOVE = 1,
  CARDSIM_AFTER_RESET_BY_OTHER = 2,
  CARDSIM_AFTER_MUTE = 3,
  CARDSIM_AFTER_HOLD_EXCLUSIVE = 4
};
int CardSimAfterCommand(const char* reader, unsigned ins, int event);
/* The same once `skip` commands with that instruction byte have been answered
 * normally (an event between any two commands of an operation). */
int CardSimAfterCommands(const char* reader, unsigned ins, int event, int skip);
/* The same once `skip` commands with that instruction byte have run normally. */
int CardSimInjectSwAfter(const char* reader, unsigned ins, unsigned sw, int skip, int count);
// The same for the commands whose octets begin with `prefix` (hex: header, then data).
int CardSimInjectSwOn(const char* reader, const char* prefix, unsigned sw, int skip, int count);
/* The next command with instruction byte `ins` (0x100: any) waits, before it
 * runs, until CardSimResumeCommand lets it go (the log shows "# paused"): a call
 * held inside the module for as long as a test needs. */
int CardSimPauseCommand(const char* reader, unsigned ins);
/* 0 once a command waits in the reader; -3 when none does within timeoutMs. */
int CardSimWaitPaused(const char* reader, int timeoutMs);
/* Lets the waiting command go on and disarms a pause not yet reached. */
int CardSimResumeCommand(const char* reader);
/* The APDU log: lines "> 00A40000023F00" and "< 9000". Returns the length of
 * the whole text plus one; copies as much as fits (NUL-terminated). */
size_t CardSimGetApduLog(const char* reader, char* buf, size_t len);
/* The same, and when the whole text fitted the log is emptied in the same
 * step, so that no line written meanwhile is lost. */
size_t CardSimTakeApduLog(const char* reader, char* buf, size_t len);
/* The live card's PINs, one line each: the DF that holds it, its reference and
 * whether it is verified now ("3F00/5015 81 1"); the same length rule as the log. */
size_t CardSimGetPinStates(const char* reader, char* buf, size_t len);
/* Empties the APDU log and the count of state queries. */
int CardSimClearLog(const char* reader);
/* State queries of the reader since the log was cleared: SCardGetStatusChange
 * calls with timeout 0 that name it and SCardStatus calls on its handles (a
 * wait that may block is no query). */
size_t CardSimGetStateQueryCount(const char* reader);
/* Number of readers, and the card image path of a reader ("" when empty). */
int CardSimReaderCount(void);

#ifdef __cplusplus
}
#endif

#endif
