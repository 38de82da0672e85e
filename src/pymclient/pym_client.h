// Opening and closing the asset-database client as a whole, and asking the daemon to exit.
#pragma once

#include <string>

#include "pymclient/pym_connection.h"
#include "qel/types.h"
#include "qel/wevent.h"

// Makes the client's connection with a copy of the options and up to 11 connection tries,
// starting the daemon once, and more while that daemon still runs (PymConnectTries); when the
// daemon started ends without a reason in its log and no daemon answers, starts it up to twice
// more. True when connected (at once when the client is open already, without taking the new
// options). The connection is published for the request functions only
// once the open has succeeded.
bool PymOpenDatabase(const PymClientOptions& options);
// Only when open: withdraws the connection, says goodbye and drops it (with its queued
// notifications and question threads), and deletes the asset-specification registry.
void PymCloseDatabase();
// Asks the daemon to exit and waits (at most 30 seconds) until it has closed the connection.
// True when the connection closed within that time.
bool PymCloseDaemon();

// Once the connection has ended: true when the daemon took itself out of discovery first, as it
// does when it stops in order; false when it went away without (killed, crashed) or is still
// recorded as serving.
bool PymDaemonStoppedInOrder();

// Why the last PymOpenDatabase failed: a line saying that the daemon did not answer within the
// silence limit, when it took the connection and then stayed silent; else the last line of the
// daemon's log that tells why it stopped or could not start, among the lines written since that
// open began; else that the daemon program could not be started, or that the daemon started went
// away without serving; empty when the open started no daemon.
std::string PymGetDaemonFailure();

// Once a handshake or a request of the open client met a daemon silent for the whole silence
// limit, why every later request fails at once: "PymDaemon did not answer within 60 s, the
// longest the tool waits for it."; empty before.
std::string PymFrozenDaemonReason();

bool PymIsClientOpen();
// A copy of the options in force (the reset value while closed).
PymClientOptions PymGetClientOptions();
// Set on each successful open.
Qel::WEvent& PymGetOpenEvent();

// The pause before each connection try after the first (PymProtocol::kConnectPauseMs unless
// set). Tests of a daemon that never comes shorten it; nothing else should.
void PymSetConnectPauseMs(u32 pauseMs);
u32 PymGetConnectPauseMs();
