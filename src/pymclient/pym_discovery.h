// Finding the daemon through the named mutex and the shared discovery block of the database
// folder, and starting the daemon when none serves the folder.
#pragma once

#include <string>

#include "platform/serving_note.h"
#include "pymclient/pym_protocol.h"
#include "qel/types.h"

// Attaches to the block of the database folder (creating it when this process is the first).
// True when attached, at once when discovery is already open.
bool OpenDiscoveryBlock(const char* databasePath);
// What the last OpenDiscoveryBlock could not open, and why; empty when it succeeded.
std::string GetDiscoveryFailure();
// Detaches, gives up the roles that this process holds and closes the mutex.
void CloseDiscoveryBlock();
// Housekeeping of the block: clears dead process ids, takes over a vacant manager role. An owner
// whose daemon answers at the recorded port is never cleared, whatever its process id says.
void IPCIdle();
void InitDiscoveryBlock();
void TakeOverDiscoveryBlock();
// Both do nothing without a mutex. Locking waits without limit.
void LockDiscoveryMutex();
void UnlockDiscoveryMutex();
// The owner's port when a block is mapped and names an owner other than this process; else 0.
u32 GetDatabaseOwnerPort();
// The owner's process id under the same conditions; else 0.
u32 GetDatabaseOwner();
// The port that the block of the database folder records now, whether its owner lives or not;
// no housekeeping is done and no role taken. 0 when no port is recorded.
u32 PeekDatabasePort(const char* databasePath);
// Whether a daemon of the database path answers the handshake at `port` within a second.
bool DaemonAnswersAt(u32 port, const char* databasePath);
// The store's lock file of the database path, whose holder notes in it where it serves.
std::string StoreLockPath(const char* databasePath);
// The note in the store's lock file (Platform::ReadServingNote).
Platform::NoteRead ReadStoreNote(const char* databasePath, Platform::ServingNote& note,
                                 std::string* error);
// The process that holds the store's lock of the database path, as the system's lock table shows
// it; where the table shows none while the lock is held (a holder of another pid namespace), the
// one that `note` names, with `*unseen` set. 0 while nobody holds it.
u32 StoreLockHolder(const char* databasePath, const Platform::ServingNote& note, bool* unseen);
// True while this process holds the manager role.
bool IsDiscoveryManager();
bool IsDiscoveryOpen();

// Starts a program and returns its process id, or 0. Show flags: bit value 2 hides it (its
// output is discarded), which wins over bit value 1 (minimised).
u32 LaunchProcess(const char* file, const char* parameters, const char* workingFolder,
                  u32 showFlags);
// Starts the daemon executable hidden from its own folder and sets the daemon-started flag. The
// daemon waits for a busy store for at most five sixths of the silence limit.
void StartPymDaemon();
bool GetPymDaemonStarted();
// The process id of the daemon last started; 0 when its program could not be started.
u32 GetStartedPymDaemon();
// True while the daemon started since the last connection still runs: it may yet come (it waits
// for the store of a daemon that is still ending).
bool IsStartedPymDaemonAlive();
// Waits, for at most `limitMs`, while the daemon this process started runs beside `owner`, the
// daemon that serves the store: it gives way as soon as it sees that one answer.
void AwaitStartedPymDaemonGivingWay(u32 owner, u32 limitMs);
// Kills the daemon this process started, while it runs, and waits (as above) for its end.
void EndStartedPymDaemon();
void SetPymDaemonStarted(bool started);
