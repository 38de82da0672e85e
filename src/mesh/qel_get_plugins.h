// The plug-in entry: the engine's resource system calls it once when it starts, and nothing else
// in the program does.
#pragma once

extern "C" void QelGetPlugins();

// Resource types and plug-ins of the layers above: each registration runs once when the plug-ins
// are made, or at once when they have been made already.
void AddPluginRegistration(void (*registration)());
