#include "frontend/walked_kuids.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "assetdata/cdp_extract.h"
#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "qel/dynamic_buffer.h"

namespace {

// The file by its path byte for byte, as the daemon installs it: the file layer would read a '\'
// in a folder's name as a separator and find no configuration there. Opened without waiting, as
// a named pipe would hold the open until a writer came.
bool ReadExactPath(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && u64(st.st_size) <= kMaxConfigFileBytes;
  if (ok) {
    bytes.resize(size_t(st.st_size));
    size_t done = 0;
    while (ok && done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += size_t(n);
    }
    bytes.resize(done);
  }
  ::close(fd);
  return ok;
}

}  // namespace

KUID ConfigKuid(const std::string& config) {
  std::string bytes;
  if (!ReadExactPath(config, bytes)) return KUID::Null();
  Qel::DynamicBuffer buffer;
  if (!bytes.empty()) buffer.Write(bytes.data(), u32(bytes.size()));
  buffer.SetPosition(0);
  TBuffer stream(&buffer, false);
  Soup loaded;
  const std::string_view binary = ".chump";
  if (config.size() >= binary.size() &&
      strcasecmp(config.c_str() + config.size() - binary.size(), binary.data()) == 0) {
    Soup::ReadBinary(loaded, stream);
  } else {
    Soup::ParseText(loaded, stream, false);
  }
  return loaded.GetNamedTagAsKUID(Qel::PString("kuid"), KUID::Null());
}

bool WalkedKuids::IsFirst(const KUID& kuid, const Qel::String& folder, ResultsLog* log) {
  if (!inHidden_) {
    if (!kuid.IsNull()) visible_.emplace(kuid, folder);
  } else if (const auto shown = visible_.find(kuid); shown != visible_.end()) {
    // Most often the trash's copy of the user's asset: not the user's choice, so no error.
    ResultsLog::AddResult(
        log, ResultsLog::kWarning, MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
        "Not installed: " + folder + ": a hidden copy of the asset in " + shown->second + ".");
    return false;
  }
  const auto earlier = placed_.find(kuid);
  if (earlier == placed_.end()) return true;
  ResultsLog::AddResult(log, ResultsLog::kError, MakeAssetIDProperty(Qel::PString("AssetID"), kuid),
                        "Not installed: " + folder + ": the asset is listed twice, first in " +
                            earlier->second + ".");
  return false;
}

void WalkedKuids::Take(const KUID& kuid, const Qel::String& folder) {
  if (!kuid.IsNull()) placed_.emplace(kuid, folder);
}

bool WalkedKuids::Defers(const Qel::String& name, const Qel::String& path) {
  if (inHidden_ || !name.View().starts_with('.')) return false;
  hidden_.push_back(path);
  return true;
}

bool WalkedKuids::NextHidden(Qel::String& path) {
  if (hidden_.empty()) return false;
  inHidden_ = true;
  path = hidden_.front();
  hidden_.pop_front();
  return true;
}
