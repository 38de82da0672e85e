#include "assetdata/interface_text.h"

#include <atomic>
#include <mutex>

#include "core/app_globals.h"
#include "core/log_printf.h"
#include "core/read_write_lock.h"
#include "qel/file.h"

namespace {

constexpr u32 kLoggedMisses = 10;

const Qel::PString kVolumeData("data");
const Qel::PString kSectionMapText("olbek_map_text");
const Qel::PString kSectionSpecText("olbek_spec_text");
const Qel::PString kSectionScenarioText("scenario_text");

const Qel::PString kFileEnglish("InterfaceText.chump");
const Qel::PString kFileGerman("InterfaceGerman.chump");
const Qel::PString kFileFrench("InterfaceFrench.chump");
const Qel::PString kFileItalian("InterfaceItalian.chump");
const Qel::PString kFileRussian("InterfaceRussian.chump");
const Qel::PString kFileCzech("InterfaceCzech.chump");
const Qel::PString kFilePolish("InterfacePolish.chump");
const Qel::PString kFileSpanish("InterfaceSpanish.chump");
const Qel::PString kFileSwedish("InterfaceSwedish.chump");
const Qel::PString kFileChinese("InterfaceChinese.chump");
const Qel::PString kFileDutch("InterfaceDutch.chump");
const Qel::PString kFileKorean("InterfaceKorean.chump");
const Qel::PString kFileHungarian("InterfaceHungarian.chump");
const Qel::PString kFileDanish("InterfaceDanish.chump");
const Qel::PString kFileFinnish("InterfaceFinnish.chump");
const Qel::PString kFileNorwegian("InterfaceNorwegian.chump");

struct LanguageFile {
  const char* code;
  const Qel::PString* file;
};

const LanguageFile kLanguageFiles[] = {
    {"EN", &kFileEnglish}, {"AU", &kFileEnglish}, {"US", &kFileEnglish},   {"UK", &kFileEnglish},
    {"DE", &kFileGerman},  {"FR", &kFileFrench},  {"IT", &kFileItalian},   {"RU", &kFileRussian},
    {"CZ", &kFileCzech},   {"PL", &kFilePolish},  {"ES", &kFileSpanish},   {"SV", &kFileSwedish},
    {"CN", &kFileChinese}, {"NL", &kFileDutch},   {"KR", &kFileKorean},    {"HU", &kFileHungarian},
    {"DA", &kFileDanish},  {"FI", &kFileFinnish}, {"NO", &kFileNorwegian},
};

// Process-wide state beside the instance. Never destroyed, so that a late lookup from another
// thread during exit still finds its flag and counter.
struct TextState {
  std::atomic<bool> loaded{false};
  std::atomic<u64> generation{0};
  std::atomic<u32> misses{0};
  std::mutex fileMutex;  // guards fileName only
  Qel::PString fileName{"InterfaceText.chump"};
  std::atomic<InterfaceTextDB::LanguageSource> languageSource{nullptr};
};

TextState& State() {
  static TextState* state = new TextState;
  return *state;
}

Qel::PString CurrentFileName() {
  TextState& state = State();
  std::lock_guard<std::mutex> guard(state.fileMutex);
  return state.fileName;
}

InterfaceTextDB& Database() {
  static InterfaceTextDB instance;
  return instance;
}

// Made at static initialisation, as are the lock and the state, so that first use from several
// threads finds them all built.
[[maybe_unused]] InterfaceTextDB& g_instance = Database();
[[maybe_unused]] ReadWriteLock& g_lock = GetReadWriteLock();
[[maybe_unused]] TextState& g_state = State();

// Asks the language source set at start-up, on the main thread only: the source asks the daemon,
// whose answer another thread may be the one to deliver. Exchanged, so it is asked once.
void ChoosePendingLanguage(TextState& state) {
  if (state.languageSource.load() == nullptr || !IsMainThread()) return;
  const InterfaceTextDB::LanguageSource source = state.languageSource.exchange(nullptr);
  if (source == nullptr) return;
  InterfaceTextDB::SetLanguage(source().CStr());
  InterfaceTextDB::Invalidate();
}

// Holds the process-wide lock for a scope when it was granted; a request that can never be
// granted (a shared holder asking for it exclusively) leaves it untaken.
class LockHold {
 public:
  explicit LockHold(bool exclusive) : held_(GetReadWriteLock().Acquire(exclusive)) {}
  ~LockHold() {
    if (held_) GetReadWriteLock().Release();
  }
  LockHold(const LockHold&) = delete;
  LockHold& operator=(const LockHold&) = delete;

  bool Held() const { return held_; }

 private:
  const bool held_;
};

}  // namespace

InterfaceTextDB::~InterfaceTextDB() = default;

void InterfaceTextDB::SetLanguage(const char* code) {
  const Qel::PString* chosen = nullptr;
  if (!code || !*code) {
    chosen = &kFileEnglish;
  } else {
    const Qel::PString given(code);
    for (const LanguageFile& entry : kLanguageFiles) {
      if (given.EqualsIgnoreCase(entry.code)) {
        chosen = entry.file;
        break;
      }
    }
  }
  if (!chosen) return;
  TextState& state = State();
  std::lock_guard<std::mutex> guard(state.fileMutex);
  state.fileName = *chosen;
}

void InterfaceTextDB::Invalidate() { State().loaded.store(false); }

u64 InterfaceTextDB::Generation() { return State().generation.load(); }

void InterfaceTextDB::SetLanguageSource(LanguageSource source) {
  State().languageSource.store(source);
}

InterfaceTextDB& InterfaceTextDB::Instance() {
  InterfaceTextDB& db = Database();
  TextState& state = State();
  ChoosePendingLanguage(state);
  if (state.loaded.load()) return db;
  LockHold hold(true);
  // A thread that holds the lock shared cannot load; it looks up in what is there.
  if (hold.Held() && !state.loaded.load()) {
    db.Load();
    state.loaded.store(true);
  }
  return db;
}

void InterfaceTextDB::Load() {
  LockHold hold(true);
  if (!hold.Held()) return;
  const Qel::PString file = CurrentFileName();
  // Before the tables change: a lookup that overlaps the load is not kept under the new tables.
  State().generation.fetch_add(1);
  table_.Clear();
  if (table_.LoadFile(kVolumeData.CStr(), file.CStr(), nullptr)) {
    // A compiled table is a view of the file's bytes, and views may not be shared between
    // threads (their walks cache); the lookups of many threads read a plain tree instead.
    Soup tree;
    tree.Copy(table_);
    table_ = tree;
  } else {
    LogPrintf("InterfaceTextDB> failed to load compiled interfacetext file");
    Qel::File::Path text(file.CStr());
    text.ChangeExtension("txt");
    table_.Clear();
    if (!table_.LoadFile(kVolumeData.CStr(), text.CStr(), "txt")) {
      LogPrintf("InterfaceTextDB> Unable to read interface file '%s'", file.CStr());
      table_.Clear();
    }
  }
  olbekMapText_ = table_.GetNamedSoup(kSectionMapText);
  olbekSpecText_ = table_.GetNamedSoup(kSectionSpecText);
  scenarioText_ = table_.GetNamedSoup(kSectionScenarioText);
}

Qel::PString InterfaceTextDB::GetString(Qel::PString key, bool warn) {
  if (key.IsEmpty()) return key;
  Qel::PString text;
  {
    // A lock given up on may be held by a load under way: the key stands in for its text.
    LockHold hold(false);
    if (hold.Held()) text = table_.GetNamedTag(key);
  }
  if (!text.IsEmpty() || !warn) return text;
  std::atomic<u32>& misses = State().misses;
  // Counting stops once nothing more is logged, so the counter never wraps back into logging.
  if (misses.load() <= kLoggedMisses && misses.fetch_add(1) < kLoggedMisses) {
    LogPrintf("InterfaceTextDB::GetString> Tag '%s' not found in '%s'", key.CStr(),
              CurrentFileName().CStr());
  }
  return key;
}

Qel::PString InterfaceTextDB::GetScenarioString(Qel::PString key) {
  if (key.IsEmpty()) return key;
  LockHold hold(false);
  return hold.Held() ? scenarioText_.GetNamedTag(key) : Qel::PString();
}

Qel::String GetInterfaceString(Qel::PString key) {
  return Qel::String(InterfaceTextDB::Instance().GetString(key, true));
}
