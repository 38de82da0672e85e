#include "qel/resource_database.h"

#include <atomic>

namespace Qel {

namespace {

std::atomic<u32>& LiveCount() {
  static std::atomic<u32> count{0};
  return count;
}

}  // namespace

ResourceDatabase::ResourceDatabase(const PString& name, const String& folder)
    : name_(name), folder_(folder) {
  LiveCount().fetch_add(1);
}

ResourceDatabase::~ResourceDatabase() { LiveCount().fetch_sub(1); }

u32 ResourceDatabase::GetLiveCount() { return LiveCount().load(); }

}  // namespace Qel
