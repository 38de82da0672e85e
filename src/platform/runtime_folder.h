// The folder of the current user's named objects (discovery lock files and shared blocks). Their
// names are computable by anyone from an installation path, so they must lie where no other user
// can create them first: a folder of mode 0700 that this user owns.
#pragma once

#include <string>

namespace Platform {

// "<TMPDIR or /tmp>/kestro-<uid>", made when missing. When another user has taken that name (or
// it is no folder of ours), "$HOME/.kestro-run" instead, which no one else can create. Empty when
// neither can be had.
std::string UserRuntimeFolder();

}  // namespace Platform
