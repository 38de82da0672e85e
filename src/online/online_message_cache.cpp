#include "online/online_message_cache.h"

#include "core/buffer_stream.h"
#include "core/file_util.h"
#include "core/log_printf.h"
#include "core/whole_file_writer.h"
#include "online/online_access_client_endpoint.h"
#include "qel/dynamic_buffer.h"
#include "qel/file.h"

namespace OnlineMessageCache {

Qel::String PathOf(const char* name) {
  Qel::String folder = GetUserDataFolder(Qel::PString("cache"));
  if (folder.IsEmpty()) return folder;
  Qel::File::Path path(folder.CStr());
  path.AddPath(name);
  return path.GetText();
}

namespace {

void SetAside(const Qel::String& path, const char* why) {
  Qel::String aside = path;
  aside += ".bad";
  Qel::File::Unlink(aside.CStr());
  const bool moved = Qel::File::Rename(path.CStr(), aside.CStr());
  LogPrintf("OnlineAccess> message cache %s %s; %s\n", path.CStr(), why,
            moved ? "moved aside to .bad" : "left in place, not read");
}

}  // namespace

LoadResult Load(OnlineAccessClientEndpoint& endpoint, const Qel::String& path) {
  if (path.IsEmpty()) return LoadResult::kMissing;
  Qel::File file;
  if (file.Open(path.CStr(), Qel::File::kModeRead) != 0) return LoadResult::kMissing;
  const u64 length = file.GetLength();
  if (length > kMaxFileBytes) {
    file.Close();
    SetAside(path, "is too large");
    return LoadResult::kSetAside;
  }
  Qel::DynamicBuffer buffer{u32(length)};
  buffer.Resize(u32(length));
  const u32 got = length != 0 ? file.Read(buffer.GetData(), u32(length)) : 0;
  file.Close();
  buffer.Resize(got);
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  if (!endpoint.LoadStoredMessages(in)) {
    SetAside(path, "is not a message cache");
    return LoadResult::kSetAside;
  }
  return LoadResult::kLoaded;
}

bool Save(const OnlineAccessClientEndpoint& endpoint, const Qel::String& path) {
  if (path.IsEmpty()) return false;
  Qel::DynamicBuffer buffer;
  {
    TBuffer out(&buffer, false);
    endpoint.SaveStoredMessages(out);
  }
  Qel::File::MakeTree(Qel::File::Path(path).GetFolder().CStr());
  const WriteResult result =
      WriteWholeFile(path.CStr(), {{buffer.GetData(), u64(buffer.GetDataSize())}});
  if (result != WriteResult::kWritten) {
    LogPrintf("OnlineAccess> could not save the message cache %s\n", path.CStr());
    return false;
  }
  return true;
}

Soup LoadBox(const Qel::String& path) {
  Soup box;
  if (!path.IsEmpty() && Qel::File::Exists(path.CStr())) {
    if (!box.LoadFileSafe(Qel::PString(), path.CStr())) box.Clear();
  }
  return box;
}

}  // namespace OnlineMessageCache
