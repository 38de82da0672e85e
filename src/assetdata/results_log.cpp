#include "assetdata/results_log.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "assetdata/soup.h"
#include "core/log_printf.h"
#include "core/stream.h"

namespace {

class GuardLock {
 public:
  explicit GuardLock(CountedMutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~GuardLock() { mutex_.Unlock(); }
  GuardLock(const GuardLock&) = delete;
  GuardLock& operator=(const GuardLock&) = delete;

 private:
  CountedMutex& mutex_;
};

struct Registry {
  Qel::CriticalSection lock;
  std::unordered_map<u32, ResultsLog*> logs;
};

Registry& GetRegistry() {
  // Never destroyed: logs may unregister themselves during static destruction.
  static Registry* registry = new Registry();
  return *registry;
}

const Qel::PString& ListUpdatedName() {
  static const Qel::PString name("list-updated");
  return name;
}

const Qel::PString& ListDestroyedName() {
  static const Qel::PString name("list-destroyed");
  return name;
}

// The wire carries a text of at most TStream::kMaxStringLength bytes. A longer one (a validation
// message quoting a huge value) is cut at a character's start and says so, rather than going out
// empty.
Qel::String WireText(const Qel::String& text) {
  if (text.Size() <= TStream::kMaxStringLength) return text;
  const std::string note = " [cut: the message held " + std::to_string(text.Size()) + " bytes]";
  size_t keep = TStream::kMaxStringLength - note.size();
  while (keep > 0 && (u8(text.CStr()[keep]) & 0xC0) == 0x80) --keep;
  return Qel::String(std::string(text.CStr(), keep) + note);
}

}  // namespace

ResultsLog::~ResultsLog() {
  UnregisterEverywhere();
  SendToPeers(NuMessageData(ListDestroyedName()));
  contexts_.clear();
  entries_.Clear();
}

ResultsLog& ResultsLog::operator=(const ResultsLog& other) {
  if (this == &other) return *this;
  GuardLock own(guard_);
  {
    GuardLock theirs(const_cast<CountedMutex&>(other.guard_));
    entries_.Clear();
    entries_.AppendAll(other.entries_);
    warnings_ = other.warnings_;
    errors_ = other.errors_;
    fourth_ = other.fourth_;
    errorsElsewhere_ = other.errorsElsewhere_;
    warningsElsewhere_ = other.warningsElsewhere_;
  }
  saved_ = false;
  return *this;
}

void ResultsLog::AppendLocked(ResultsLogEntry&& entry) {
  switch (entry.type) {
    case kWarning:
      ++warnings_;
      break;
    case kError:
      ++errors_;
      break;
    case kFourth:
      ++fourth_;
      break;
    default:
      break;
  }
  entries_.PushBack(std::move(entry));
}

void ResultsLog::NotifyUpdated() { SendToPeers(NuMessageData(ListUpdatedName())); }

void ResultsLog::AddResult(ResultsLog* log, u32 type, const KestroPropertyRef& property,
                           const Qel::String& text, const Soup& parameters) {
  if (log == nullptr) return;
  GuardLock lock(log->guard_);
  ResultsLogEntry entry;
  entry.type = type;
  if (!property.IsNull()) {
    entry.property = property;
  } else if (!log->contexts_.empty()) {
    entry.property = log->contexts_.back();
  }
  Qel::AnsiString expanded(text);
  const u32 count = parameters.CountTags();
  for (u32 i = 0; i < count; ++i) {
    const Qel::PString name = parameters.GetIndexedTagName(i);
    const Qel::PString value = parameters.GetNamedTag(name);
    ReplaceMacro(expanded, name.Upper().CStr(), value.CStr());
  }
  entry.text = std::move(expanded);
  log->AppendLocked(std::move(entry));
  log->saved_ = false;
  log->NotifyUpdated();
}

void ResultsLog::AddResult(ResultsLog* log, u32 type, const KestroPropertyRef& property,
                           const Qel::String& text) {
  AddResult(log, type, property, text, Soup());
}

void ResultsLog::PushContext(const KestroPropertyRef& property) {
  GuardLock lock(guard_);
  contexts_.push_back(property);
}

void ResultsLog::PopContext() {
  GuardLock lock(guard_);
  if (contexts_.empty()) {
    LogPrintf("ResultsLog::PopContext> no context to pop");
    return;
  }
  contexts_.pop_back();
}

u32 ResultsLog::CountContexts() {
  GuardLock lock(guard_);
  return u32(contexts_.size());
}

void ResultsLog::Write(TStream& stream, u32 firstIndex) {
  GuardLock lock(guard_);
  const u32 total = entries_.Count();
  const u32 count = firstIndex < total ? total - firstIndex : 0;
  stream.WriteU32(kWireVersion);
  stream.WriteU32(count);
  if (count != 0) {
    for (auto it = entries_.IteratorAt(i32(firstIndex)); !it.IsEnd(); it.Next()) {
      stream.WriteU32(it->type);
      stream.WriteString(WireText(it->text));
      WriteKestroProperty(stream, it->property);
    }
  }
  saved_ = true;
}

void ResultsLog::Read(TStream& stream, ResultsLog& log) {
  log.AppendEntries(ReadEntries(stream));
}

std::vector<ResultsLogEntry> ResultsLog::ReadEntries(TStream& stream) {
  std::vector<ResultsLogEntry> entries;
  u32 version = 0;
  if (!stream.ReadU32(version) || version != kWireVersion) return entries;
  u32 count = 0;
  if (!stream.ReadU32(count)) return entries;
  // The count is the peer's word: entries are kept as they really arrive.
  for (u32 i = 0; i < count; ++i) {
    ResultsLogEntry entry;
    if (!stream.ReadU32(entry.type)) break;
    if (!stream.ReadString(entry.text)) break;
    if (!ReadKestroProperty(stream, entry.property)) break;
    entries.push_back(std::move(entry));
  }
  return entries;
}

void ResultsLog::AppendEntries(std::vector<ResultsLogEntry>&& entries) {
  GuardLock lock(guard_);
  for (ResultsLogEntry& entry : entries) AppendLocked(std::move(entry));
  saved_ = false;
  NotifyUpdated();
}

u32 ResultsLog::CountEntries() {
  GuardLock lock(guard_);
  return entries_.Count();
}

std::vector<ResultsLogEntry> ResultsLog::GetEntries() {
  GuardLock lock(guard_);
  std::vector<ResultsLogEntry> copy;
  copy.reserve(entries_.Count());
  for (const ResultsLogEntry& entry : entries_) copy.push_back(entry);
  return copy;
}

u32 ResultsLog::GetWarningCount() {
  GuardLock lock(guard_);
  return warnings_;
}

u32 ResultsLog::GetErrorCount() {
  GuardLock lock(guard_);
  return errors_;
}

void ResultsLog::CountPrintedElsewhere(u32 errors, u32 warnings) {
  GuardLock lock(guard_);
  errorsElsewhere_ += errors;
  warningsElsewhere_ += warnings;
}

u32 ResultsLog::GetErrorsPrintedElsewhere() {
  GuardLock lock(guard_);
  return errorsElsewhere_;
}

u32 ResultsLog::GetWarningsPrintedElsewhere() {
  GuardLock lock(guard_);
  return warningsElsewhere_;
}

u32 ResultsLog::GetFourthCount() {
  GuardLock lock(guard_);
  return fourth_;
}

bool ResultsLog::IsSaved() {
  GuardLock lock(guard_);
  return saved_;
}

void ResultsLog::UnregisterEverywhere() {
  Registry& registry = GetRegistry();
  Qel::SingleLock lock(registry.lock);
  std::erase_if(registry.logs, [this](const auto& item) { return item.second == this; });
}

Qel::CriticalSection& GetResultsLogRegistryLock() { return GetRegistry().lock; }

void RegisterResultsLog(u32 requestId, ResultsLog* log) {
  Registry& registry = GetRegistry();
  Qel::SingleLock lock(registry.lock);
  registry.logs[requestId] = log;
}

ResultsLog* FindResultsLog(u32 requestId) {
  Registry& registry = GetRegistry();
  Qel::SingleLock lock(registry.lock);
  const auto found = registry.logs.find(requestId);
  return found != registry.logs.end() ? found->second : nullptr;
}

void UnregisterResultsLog(u32 requestId) {
  Registry& registry = GetRegistry();
  Qel::SingleLock lock(registry.lock);
  registry.logs.erase(requestId);
}

void ReplaceMacro(Qel::AnsiString& text, const char* name, const char* value) {
  if (name == nullptr) return;
  if (value == nullptr) value = "";
  const Qel::String macro = Qel::String::Format("$(%s)", name);
  size_t found = text.FindIgnoreCase(macro.CStr(), 0);
  if (found == Qel::String::npos) return;
  // One pass: everything before each match is copied, the value is appended and the search goes
  // on behind the macro in the original text, which is what replacing in place and searching on
  // from behind the inserted value gives.
  std::string result;
  size_t from = 0;
  while (found != Qel::String::npos) {
    result.append(text.View().substr(from, found - from));
    result.append(value);
    from = found + macro.Length();
    found = text.FindIgnoreCase(macro.CStr(), from);
  }
  result.append(text.View().substr(from));
  text = Qel::AnsiString(std::move(result));
}
