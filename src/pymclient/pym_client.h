// Opening and closing the asset-database client as a whole, and asking the daemon to exit.
#pragma once

#include <string>

#include "qel/types.h"
#include "qel/wevent.h"

// The settings handed to PymOpenDatabase and kept, copied whole, for the client's lifetime.
struct PymClientOptions {
  // Called for every message notification; null ignores them.
  void (*messageCallback)(u32 value) = nullptr;
  // Stored, never read.
  u8 storedFlags[3] = {1, 1, 1};
  // PymTransact and PymPost may start the daemon on their second try.
  u8 mayStartDaemon = 1;
  // Sent as the fourth word of the handshake.
  u8 isClient = 1;
};

// Up to 11 connection tries, starting the daemon once; true when connected (at once when the
// client is open already, without taking the new options).
bool PymOpenDatabase(const PymClientOptions& options);
// Only when open: drops the connection with a goodbye, resets the options, destroys queued
// notifications and deletes the asset-specification registry.
void PymCloseDatabase();
// Asks the daemon to exit and waits (at most 30 seconds) until it has closed the connection.
// True when the connection closed within that time.
bool PymCloseDaemon();

// The last line of the daemon's log that tells why it stopped or could not start, when the log
// was written since the last PymOpenDatabase began; empty otherwise.
std::string PymGetDaemonFailure();

bool PymIsClientOpen();
// A copy of the options in force.
PymClientOptions PymGetClientOptions();
// Set on each successful open.
Qel::WEvent& PymGetOpenEvent();

// The pause before each connection try after the first (PymProtocol::kConnectPauseMs unless
// set). Tests of a daemon that never comes shorten it; nothing else should.
void PymSetConnectPauseMs(u32 pauseMs);
u32 PymGetConnectPauseMs();
