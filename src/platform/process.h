// Processes: the own id, whether another one is alive, the own program file, detached starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Platform {

std::uint32_t CurrentProcessId();

// True while process `pid` exists and has not yet ended; a process that has ended but was not
// yet reaped by its parent counts as ended. 0 and ids that no process can have give false.
bool IsProcessAlive(std::uint32_t pid);

// The resolved path of the running executable (from /proc/self/exe); empty when unknown.
std::string ProgramPath();

// Starts `file` with `args` (without the program name) in `workingFolder` (the current one
// when empty) as a process of its own session that is not a child of this one, so it leaves no
// zombie behind. Standard input is /dev/null; with `hidden` standard output and error go there
// too. Descriptors of this process are not inherited. Returns its process id, 0 on failure
// (including a program that cannot be executed).
std::uint32_t SpawnDetached(const std::string& file, const std::vector<std::string>& args,
                            const std::string& workingFolder, bool hidden);

// The id that process `pid` of this process's pid namespace has in its own, innermost one (as it
// names itself there); `pid` when the system does not say.
std::uint32_t OwnNamespaceProcessId(std::uint32_t pid);

// The ids of every process now running, in ascending order.
std::vector<std::uint32_t> ListProcessIds();
// The program file of process `pid` as the system resolved it; empty when it cannot be read
// (another user's process, or one that has ended).
std::string ProcessProgramPath(std::uint32_t pid);
// Ends process `pid` at once; false when it could not be signalled.
bool KillProcess(std::uint32_t pid);

}  // namespace Platform
