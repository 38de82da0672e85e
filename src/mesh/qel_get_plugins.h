// The plug-in entry: the engine's resource system calls it once when it starts, and nothing else
// in the program does.
#pragma once

extern "C" void QelGetPlugins();
