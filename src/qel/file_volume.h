// Engine volumes: short names ("data") that stand for folders of the installation, kept apart
// from the file layer's substitutions so that a volume and a substitution may share a name.
#pragma once

#include "qel/pstring.h"
#include "qel/string.h"

namespace Qel {

// Registers name for folder; a null or empty folder removes it. Names compare without regard to
// case; '\' in the folder reads as '/'.
void SetVolume(const PString& name, const char* folder);
// The folder of a registered volume; empty when the name is not registered.
String GetVolume(const PString& name);
// Where path lies inside volume: a registered volume stands for its folder, any other name is a
// folder or a substitution name as given, and an empty volume leaves the path as it is.
String PathInVolume(const PString& volume, const char* path);

}  // namespace Qel
