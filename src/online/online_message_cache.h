// The files of the online-access script classes, all in the user's "cache" folder (never the
// program's): the endpoint's stored messages ("oa_messages.dat") and the offline message boxes
// ("offline-inbox.tbox", "offline-outbox.tbox"). The message file is replaced whole through a
// temporary file, so a save that is cut short leaves the previous file as it was; a file that is
// not ours is moved aside under ".bad" and reported rather than read or overwritten unseen.
#pragma once

#include "assetdata/soup.h"
#include "qel/string.h"

class OnlineAccessClientEndpoint;

namespace OnlineMessageCache {

inline constexpr const char* kMessageFile = "oa_messages.dat";
inline constexpr const char* kInboxFile = "offline-inbox.tbox";
inline constexpr const char* kOutboxFile = "offline-outbox.tbox";
// A message file beyond this is not ours: the list it could fill is far smaller.
inline constexpr u64 kMaxFileBytes = 256u << 20;

// The path of a cache file: the user-data "cache" folder joined with the name; empty while the
// user-data root is unknown.
Qel::String PathOf(const char* name);

enum class LoadResult { kLoaded, kMissing, kSetAside };
// Replaces the endpoint's stored list with the file's. A file too short for the format word or
// not of our format leaves the list as it was, is renamed to "<path>.bad" and logged. Records
// cut short by the end of the file keep their defaults.
LoadResult Load(OnlineAccessClientEndpoint& endpoint, const Qel::String& path);
// Writes the stored list as the whole new file; false, the old file untouched, on failure.
bool Save(const OnlineAccessClientEndpoint& endpoint, const Qel::String& path);

// A text soup of the cache folder; the empty soup when it is missing or does not read.
Soup LoadBox(const Qel::String& path);

}  // namespace OnlineMessageCache
