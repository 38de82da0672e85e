// Loading a shared module that may be damaged. The loader maps every loadable segment that a
// module's header names, and the first touch of a page that lies past the end of a file cut short
// kills the process (SIGBUS) inside the load: such a file is refused before the loader sees it.
#pragma once

#include <string>

namespace Platform {

// The module at path, loaded as dlopen(path, RTLD_NOW | RTLD_LOCAL) loads it; null, with the
// reason in *error, when the file is missing, is no regular file, names a loadable segment beyond
// its end, or the loader refuses it.
void* OpenSharedModule(const std::string& path, std::string* error);

}  // namespace Platform
