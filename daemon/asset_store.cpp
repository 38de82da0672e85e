#include "daemon/asset_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "assetdata/safe_folder.h"
#include "assetdata/soup_binary.h"
#include "core/buffer_stream.h"
#include "daemon/daemon_limits.h"
#include "platform/invariant.h"
#include "pymclient/pym_filter_codes.h"
#include "qel/dynamic_buffer.h"
#include "qel/log.h"

namespace PymDaemonSrv {

namespace {

namespace fc = PymFilterCodes;

static u64 BaseKey(const KUID& k) { return u64(u32(k.userId)) << 32 | u32(k.contentId); }

constexpr const char* kSchemaVersion = "3";
constexpr int kRelationDependency = 0;
constexpr int kRelationObsoletes = 1;

const char* const kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE assets(
  user INTEGER NOT NULL, content INTEGER NOT NULL, version INTEGER NOT NULL,
  folder TEXT NOT NULL, path TEXT NOT NULL, name TEXT NOT NULL,
  categories TEXT NOT NULL, region TEXT NOT NULL, era TEXT NOT NULL, keywords TEXT NOT NULL,
  author TEXT NOT NULL, description TEXT NOT NULL,
  build REAL NOT NULL, rating INTEGER NOT NULL,
  install_time INTEGER NOT NULL, modify_time INTEGER NOT NULL, flags INTEGER NOT NULL,
  size INTEGER NOT NULL, config BLOB NOT NULL,
  PRIMARY KEY(user, content, version));
CREATE TABLE asset_links(
  user INTEGER NOT NULL, content INTEGER NOT NULL, version INTEGER NOT NULL,
  relation INTEGER NOT NULL,
  target_user INTEGER NOT NULL, target_content INTEGER NOT NULL, target_version INTEGER NOT NULL);
CREATE INDEX asset_links_by_asset ON asset_links(user, content, version);
)sql";

const char* const kSettingsSchema =
    "CREATE TABLE IF NOT EXISTS settings(grp TEXT PRIMARY KEY COLLATE NOCASE, soup BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS keywords(user INTEGER NOT NULL, content INTEGER NOT NULL, "
    "version INTEGER NOT NULL, keywords TEXT NOT NULL, PRIMARY KEY(user, content, version));"
    "CREATE TABLE IF NOT EXISTS validation_faults(user INTEGER NOT NULL, "
    "content INTEGER NOT NULL, version INTEGER NOT NULL, tree TEXT NOT NULL, "
    "PRIMARY KEY(user, content, version, tree));";

// What begins a stored verdict on the files' identity (SafeFolder::TreeSignature). The rows of
// older builds (an asset's mark without its files, a digest of the files' bytes, or a signature
// of their names, sizes and times alone) lack kDeviceVerdict: none tells which files it judged
// without reading them, so they are dropped, and those assets show no mark until validated
// again. The last build's rows, kDeviceVerdict and a signature that also held each file's device
// number, still mark the files they judged on the device they judged them on, until the asset's
// next verdict replaces them. kVerdict begins as those rows did, so that build, should it open
// the store again, takes these for signatures of files it does not find rather than for marks
// without files.
constexpr const char* kDeviceVerdict = "s:i:";
constexpr const char* kVerdict = "s:i:n:";

bool IsDeviceVerdict(const std::string& tree) {
  return tree.rfind(kDeviceVerdict, 0) == 0 && tree.rfind(kVerdict, 0) != 0;
}

// Faulty verdicts kept per asset, the oldest dropped first: enough for an edit that goes back and
// forth between a few versions of the files, and bounded however often an asset is validated.
constexpr size_t kVerdictsPerAsset = 8;

// Written in the transaction that fills the index: without it the build did not complete. Its
// value is the fingerprint of the content folders that the build saw.
constexpr const char* kContentKey = "content";
// Committed before the content folders change and removed in the transaction that records the
// change: when a start finds it, the change may be half done, and the index is built anew.
constexpr const char* kChangingKey = "changing";
// Written into a new index while the staging folder holds anything, and removed once a start has
// kept all of it: no record tells what those folders are.
constexpr const char* kRecordsLostKey = "records-lost";
// The next content id of KUIDs made for the local user.
constexpr const char* kNextContentCounter = "next-content";

void LogLine(const char* format, const std::string& text) {
  Qel::Log::Get("PymDaemon").Printf(Qel::Log::kMessage, format, text.c_str());
}

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

// The first record whose KUID is not below `kuid`, in a list sorted by KUID.
template <class List>
auto FindRecord(List& records, const KUID& kuid) {
  return std::lower_bound(records.begin(), records.end(), kuid,
                          [](const auto& r, const KUID& k) { return r->kuid < k; });
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Whether anything is at `path` (`there`); false, with the reason, when lstat fails otherwise
// than "no such file": what cannot be looked at is never taken for gone.
bool LookForFile(const std::string& path, bool& there, std::string* error) {
  std::string why;
  const Seen seen = LookAt(path, why);
  there = seen != Seen::kNothing;
  if (seen == Seen::kUnknown) SetError(error, why);
  return seen != Seen::kUnknown;
}

// A folder (or anything else that is no file) put where the index or its log belongs holds no
// index: SQLite could not even open it.
bool IsNoFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// The first of a database's files (the file, its log) that is there but no regular file; empty
// when there is none. SQLite opens them with plain blocking calls and reads them: a pipe among
// them would hold the opener for ever. Both hold the database's data, so what stands in their
// place is the caller's to judge.
std::string NoFileAmong(const std::string& database) {
  for (const char* suffix : {"", "-wal"}) {
    if (IsNoFile(database + suffix)) return database + suffix;
  }
  return {};
}

// Moves a rollback journal beside `database` that is no regular file out of the way, to the first
// free of NAME.bad, NAME.bad.1, ... (never over anything). SQLite looks for a journal at every
// open and opens and reads one it finds: a folder fails the open, a pipe holds it for ever. Such a
// journal holds nothing of the database (SQLite writes only files), so it goes by itself and the
// database stays. The log's index ("-shm") needs no such care: in exclusive locking mode SQLite
// never opens it.
bool SetOddJournalAside(const std::string& database, std::string* error) {
  const std::string journal = database + "-journal";
  if (!IsNoFile(journal)) return true;
  for (int n = 0; n < 100; ++n) {
    const std::string aside = journal + ".bad" + (n == 0 ? "" : "." + std::to_string(n));
    if (renameat2(AT_FDCWD, journal.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0 ||
        ((errno == EINVAL || errno == ENOSYS) && !FileExists(aside) &&
         std::rename(journal.c_str(), aside.c_str()) == 0)) {
      LogLine("PymDaemon> %s", journal + " is not a regular file; moved aside to " + aside);
      return true;
    }
    if (errno != EEXIST && errno != EINVAL && errno != ENOSYS) break;
  }
  SetError(error,
           "cannot move aside " + journal + " (not a regular file): " + std::strerror(errno));
  return false;
}

// A prepared statement that finalises itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* Get() const { return stmt_; }
  void Bind(int i, i64 v) { sqlite3_bind_int64(stmt_, i, v); }
  void Bind(int i, f64 v) { sqlite3_bind_double(stmt_, i, v); }
  void Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
  }
  void BindBlob(int i, const std::vector<u8>& v) {
    // A zero-length blob must still be a blob, not NULL.
    sqlite3_bind_blob(stmt_, i, v.empty() ? "" : static_cast<const void*>(v.data()), int(v.size()),
                      SQLITE_TRANSIENT);
  }
  int Step() { return sqlite3_step(stmt_); }
  // Ready for the next row of binds.
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  i64 Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  f64 Real(int col) const { return sqlite3_column_double(stmt_, col); }
  std::string Text(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           size_t(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  std::vector<u8> Blob(int col) const {
    const u8* b = static_cast<const u8*>(sqlite3_column_blob(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return b ? std::vector<u8>(b, b + n) : std::vector<u8>();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  SetError(error, std::string("database: ") + (message ? message : sqlite3_errmsg(db)));
  sqlite3_free(message);
  return false;
}

// BEGIN IMMEDIATE ... COMMIT, rolled back when not committed.
class WriteTransaction {
 public:
  explicit WriteTransaction(sqlite3* db) : db_(db) {
    began_ = Exec(db_, "BEGIN IMMEDIATE", nullptr);
  }
  ~WriteTransaction() {
    if (began_ && !committed_) Exec(db_, "ROLLBACK", nullptr);
  }
  bool Began() const { return began_; }
  bool Commit(std::string* error) {
    committed_ = Exec(db_, "COMMIT", error);
    return committed_;
  }

 private:
  sqlite3* db_;
  bool began_ = false;
  bool committed_ = false;
};

std::vector<u8> EncodeSoup(const Soup& soup) {
  Qel::DynamicBuffer buffer;
  TBuffer stream(&buffer, false);
  WriteSoup(stream, soup);
  return std::vector<u8>(buffer.GetData(), buffer.GetData() + buffer.GetDataSize());
}

bool SetMeta(sqlite3* db, const char* key, const std::string& value, std::string* error) {
  Statement set(db, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
  if (!set.Ok()) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(db));
    return false;
  }
  set.Bind(1, std::string(key));
  set.Bind(2, value);
  if (set.Step() == SQLITE_DONE) return true;
  SetError(error, std::string("database: ") + sqlite3_errmsg(db));
  return false;
}

bool RemoveMeta(sqlite3* db, const char* key, std::string* error) {
  Statement remove(db, "DELETE FROM meta WHERE key = ?");
  if (!remove.Ok()) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(db));
    return false;
  }
  remove.Bind(1, std::string(key));
  if (remove.Step() == SQLITE_DONE) return true;
  SetError(error, std::string("database: ") + sqlite3_errmsg(db));
  return false;
}

bool HasMeta(sqlite3* db, const char* key) {
  Statement get(db, "SELECT 1 FROM meta WHERE key = ?");
  if (!get.Ok()) return false;
  get.Bind(1, std::string(key));
  return get.Step() == SQLITE_ROW;
}

// The records of changes to asset folders (change_record.h), one row per folder. They live in the
// index so that the index write of a change marks its folders passed in the same transaction.
const char* const kChangesTable =
    "CREATE TABLE IF NOT EXISTS changes(change TEXT NOT NULL, user INTEGER NOT NULL, "
    "content INTEGER NOT NULL, version INTEGER NOT NULL, device INTEGER NOT NULL, "
    "inode INTEGER NOT NULL, before TEXT NOT NULL, after TEXT NOT NULL, passed INTEGER NOT NULL)";

bool Failed(sqlite3* db, std::string* error) {
  SetError(error, std::string("database: ") + sqlite3_errmsg(db));
  return false;
}

// Makes `folders` the record of the change `id`, in place of the rows it had.
bool WriteChangeRows(sqlite3* db, const std::string& id, const std::vector<ChangeFolder>& folders,
                     std::string* error) {
  Statement drop(db, "DELETE FROM changes WHERE change = ?");
  Statement add(db,
                "INSERT INTO changes(change, user, content, version, device, inode, before, "
                "after, passed) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
  if (!drop.Ok() || !add.Ok()) return Failed(db, error);
  drop.Bind(1, id);
  if (drop.Step() != SQLITE_DONE) return Failed(db, error);
  for (const ChangeFolder& f : folders) {
    add.Bind(1, id);
    add.Bind(2, i64(f.kuid.userId));
    add.Bind(3, i64(f.kuid.contentId));
    add.Bind(4, i64(f.kuid.version));
    add.Bind(5, i64(f.device));
    add.Bind(6, i64(f.inode));
    add.Bind(7, f.before);
    add.Bind(8, f.after);
    add.Bind(9, i64(f.passed));
    if (add.Step() != SQLITE_DONE) return Failed(db, error);
    add.Reset();
  }
  return true;
}

// A connection to the database file at `path` (made when `create`), waiting out other writers;
// null, with a reason, when the file cannot be opened. The daemon is the store's only user (it
// holds the store's lock), so its files are opened in exclusive locking mode before anything
// reads them: SQLite then keeps the write-ahead log's index in the process's memory instead of a
// memory-mapped "-shm" file, which a full file system cannot back (the process would die of
// SIGBUS touching it) where a write gets "database or disk is full".
sqlite3* OpenDatabase(const std::string& path, bool create, std::string* error) {
  if (const std::string odd = NoFileAmong(path); !odd.empty()) {
    SetError(error, "cannot open " + odd + ": not a regular file");
    return nullptr;
  }
  if (!SetOddJournalAside(path, error)) return nullptr;
  // SQLite reads a journal it finds to roll the database back, and one it cannot read fails the
  // open as if the database could not be opened: the journal is named, with why.
  const std::string journal = path + "-journal";
  if (const int fd = open(journal.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) {
    close(fd);
  } else if (errno != ENOENT) {
    SetError(error, "cannot read " + journal + ": " + std::strerror(errno));
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK ||
      !Exec(db, "PRAGMA locking_mode=EXCLUSIVE", nullptr)) {
    SetError(error, "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kStoreBusyTimeoutMs);
  return db;
}

// Whether the write-ahead log beside the index at `path` was overwritten: SQLite ignores a log
// whose header does not check and would serve the older file as if it were whole, without the
// changes (and their records) that the log held. A log that is no regular file is damaged too;
// it is opened without waiting, as a pipe would hold a blocking open for ever.
bool LogIsDamaged(const std::string& path) {
  const int fd = open((path + "-wal").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  u8 header[32];
  const ssize_t read = file ? ::read(fd, header, sizeof header) : 0;
  close(fd);
  if (!file) return true;
  if (read <= 0) return false;
  if (size_t(read) < sizeof header) return true;
  const auto word = [&header](size_t at, bool big) {
    const u8* b = header + at;
    return big ? u32(b[0]) << 24 | u32(b[1]) << 16 | u32(b[2]) << 8 | b[3]
               : u32(b[3]) << 24 | u32(b[2]) << 16 | u32(b[1]) << 8 | b[0];
  };
  const u32 magic = word(0, true);
  if ((magic & ~1u) != 0x377f0682u) return true;
  // The header's checksum over its first 24 bytes, read in the byte order the magic names.
  const bool big = (magic & 1u) != 0;
  u32 s0 = 0;
  u32 s1 = 0;
  for (size_t at = 0; at < 24; at += 8) {
    s0 += word(at, big) + s1;
    s1 += word(at + 4, big) + s0;
  }
  return s0 != word(24, true) || s1 != word(28, true);
}

// True when the index holds this build's schema.
bool HoldsSchema(sqlite3* db) {
  Statement schema(db, "SELECT value FROM meta WHERE key = 'schema'");
  return schema.Ok() && schema.Step() == SQLITE_ROW && schema.Text(0) == kSchemaVersion;
}

// Whether SQLite's quick check finds the file damaged. A check that cannot run for another reason
// (a read failing, a full disk) says nothing about the file.
bool IsDamaged(sqlite3* db) {
  Statement check(db, "PRAGMA quick_check");
  if (check.Ok() && check.Step() == SQLITE_ROW) return check.Text(0) != "ok";
  const int code = sqlite3_errcode(db) & 0xFF;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// Makes `folders` the record of the change `id` in a transaction of its own.
bool ReplaceChangeRows(sqlite3* db, const std::string& id, const std::vector<ChangeFolder>& folders,
                       std::string* error) {
  WriteTransaction tx(db);
  return tx.Began() && WriteChangeRows(db, id, folders, error) && tx.Commit(error);
}

// Inserts index rows of assets and their links.
class AssetRowWriter {
 public:
  explicit AssetRowWriter(sqlite3* db)
      : db_(db),
        row_(db,
             "INSERT OR REPLACE INTO assets(user, content, version, folder, path, name, "
             "categories, region, era, keywords, author, description, build, rating, "
             "install_time, modify_time, flags, size, config) "
             "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
        link_(db,
              "INSERT INTO asset_links(user, content, version, relation, target_user, "
              "target_content, target_version) VALUES(?, ?, ?, ?, ?, ?, ?)") {}

  bool Insert(const ScannedAsset& a, std::string* error) {
    if (!row_.Ok() || !link_.Ok()) return Fail(error);
    const AssetRecord& r = a.record;
    BindKuid(row_, r.kuid);
    const std::string* texts[] = {&r.folder, &r.path,     &r.name,   &r.categories, &r.region,
                                  &r.era,    &r.keywords, &r.author, &r.description};
    int column = 4;
    for (const std::string* text : texts) row_.Bind(column++, *text);
    row_.Bind(column++, f64(r.build));
    row_.Bind(column++, i64(r.rating));
    row_.Bind(column++, i64(r.installTime));
    row_.Bind(column++, i64(r.modifyTime));
    row_.Bind(column++, i64(r.flags));
    row_.Bind(column++, i64(r.size));
    row_.BindBlob(column, a.config);
    if (row_.Step() != SQLITE_DONE) return Fail(error);
    row_.Reset();
    const std::pair<int, const std::vector<KUID>*> tables[] = {
        {kRelationDependency, &r.dependencies}, {kRelationObsoletes, &r.obsoletes}};
    for (const auto& [relation, list] : tables) {
      for (const KUID& target : *list) {
        BindKuid(link_, r.kuid);
        link_.Bind(4, i64(relation));
        link_.Bind(5, i64(target.userId));
        link_.Bind(6, i64(target.contentId));
        link_.Bind(7, i64(target.version));
        if (link_.Step() != SQLITE_DONE) return Fail(error);
        link_.Reset();
      }
    }
    return true;
  }

 private:
  static void BindKuid(Statement& s, const KUID& kuid) {
    s.Bind(1, i64(kuid.userId));
    s.Bind(2, i64(kuid.contentId));
    s.Bind(3, i64(kuid.version));
  }
  bool Fail(std::string* error) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(db_));
    return false;
  }

  sqlite3* db_;
  Statement row_;
  Statement link_;
};

bool InsertSettings(sqlite3* db, const std::string& group, const Soup& soup, std::string* error) {
  Statement insert(db, "INSERT OR REPLACE INTO settings(grp, soup) VALUES(?, ?)");
  if (!insert.Ok()) {
    SetError(error, sqlite3_errmsg(db));
    return false;
  }
  insert.Bind(1, group);
  insert.BindBlob(2, EncodeSoup(soup));
  if (insert.Step() != SQLITE_DONE) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(db));
    return false;
  }
  return true;
}

}  // namespace

const std::vector<std::string>& AssetStore::ContentFolderNames() {
  static const std::vector<std::string> names{"editing", "local"};
  return names;
}

AssetStore::~AssetStore() { Close(); }

void AssetStore::Close() {
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (db_ != nullptr) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  if (settingsDb_ != nullptr) {
    sqlite3_close_v2(settingsDb_);
    settingsDb_ = nullptr;
  }
}

bool AssetStore::OpenFile(const std::string& path, bool* created, std::string* error) {
  KESTRO_ASSERT(dbMutex_.IsHeldByThisThread());
  // An index that cannot be looked at is not taken for none, which would be made anew.
  bool there = false;
  if (!LookForFile(path, there, error)) return false;
  *created = !there;
  db_ = OpenDatabase(path, true, error);
  if (db_ == nullptr) return false;
  return Exec(db_, "PRAGMA journal_mode=WAL", error) && Exec(db_, "PRAGMA synchronous=FULL", error);
}

bool AssetStore::CreateSchema(std::string* error) {
  KESTRO_ASSERT(dbMutex_.IsHeldByThisThread());
  WriteTransaction tx(db_);
  if (!tx.Began()) return Failed(db_, error);
  if (!Exec(db_, kSchema, error)) return false;
  Statement meta(db_, "INSERT INTO meta(key, value) VALUES('schema', ?)");
  if (!meta.Ok()) return Failed(db_, error);
  meta.Bind(1, std::string(kSchemaVersion));
  if (meta.Step() != SQLITE_DONE) return Failed(db_, error);
  // A new index knows no change that a folder in staging may still belong to.
  std::vector<std::string> staged;
  ListFolderNames(userData_ + "/" + kStagingFolder, staged);
  if (!staged.empty() && !SetMeta(db_, kRecordsLostKey, "1", error)) return false;
  return tx.Commit(error);
}

bool AssetStore::OpenSettings(std::string* error) {
  KESTRO_ASSERT(dbMutex_.IsHeldByThisThread());
  const std::string path = userData_ + "/" + kSettingsFileName;
  // The settings hold what no rebuild gives back (the KUID counters, the account's settings): what
  // stands in their place is never set aside for new ones unasked.
  if (const std::string odd = NoFileAmong(path); !odd.empty()) {
    SetError(error,
             odd + " is not a regular file; the daemon starts once it is moved out of the way");
    return false;
  }
  const bool created = !FileExists(path);
  sqlite3* db = OpenDatabase(path, true, error);
  if (db == nullptr) return false;
  settingsDb_ = db;
  // The first read: a file that is no database, or a damaged one, fails here.
  if (!Exec(db, "PRAGMA journal_mode=WAL", nullptr) ||
      !Exec(db, "PRAGMA synchronous=FULL", nullptr)) {
    SetError(error, path + ": " + sqlite3_errmsg(db));
    return false;
  }
  WriteTransaction tx(db);
  if (!tx.Began()) return Failed(db, error);
  if (!Exec(db, kSettingsSchema, error)) return false;
  if (!Statement(db, "SELECT tree FROM validation_faults LIMIT 0").Ok() &&
      (!Exec(db, "DROP TABLE validation_faults", error) || !Exec(db, kSettingsSchema, error))) {
    return false;
  }
  const std::string older = "DELETE FROM validation_faults WHERE substr(tree, 1, " +
                            std::to_string(std::strlen(kDeviceVerdict)) + ") <> '" +
                            kDeviceVerdict + "'";
  if (!Exec(db, older.c_str(), error)) {
    return false;
  }
  if (const int dropped = sqlite3_changes(db); dropped > 0) {
    LogLine("PymDaemon> %s validation marks of an older build dropped; validate those assets again",
            std::to_string(dropped));
  }
  Statement any(db, "SELECT 1 FROM settings LIMIT 1");
  if (!any.Ok()) return Failed(db, error);
  if (any.Step() == SQLITE_ROW) return tx.Commit(error);
  // A new store takes over the settings that older indexes kept in themselves.
  size_t taken = 0;
  const std::string index = userData_ + "/" + kDatabaseFileName;
  if (created && FileExists(index)) {
    sqlite3* old = OpenDatabase(index, false, nullptr);
    if (old != nullptr) {
      Statement rows(old, "SELECT grp, soup FROM settings");
      while (rows.Ok() && rows.Step() == SQLITE_ROW) {
        Statement insert(db, "INSERT OR REPLACE INTO settings(grp, soup) VALUES(?, ?)");
        insert.Bind(1, rows.Text(0));
        insert.BindBlob(2, rows.Blob(1));
        if (!insert.Ok() || insert.Step() != SQLITE_DONE) return Failed(db, error);
        ++taken;
      }
    }
    sqlite3_close_v2(old);
  }
  if (taken == 0) {
    Soup internet;
    internet.EnsureContainer();
    internet.SetNamedTag("language", "US");
    if (!InsertSettings(db, "internet", internet, error)) return false;
  }
  return tx.Commit(error);
}

bool AssetStore::LoadKeywords(std::string* error) {
  KESTRO_ASSERT(dbMutex_.IsHeldByThisThread());
  std::unordered_map<KUID, std::string> loaded;
  Statement rows(settingsDb_, "SELECT user, content, version, keywords FROM keywords");
  int rc = SQLITE_ERROR;
  while (rows.Ok() && (rc = rows.Step()) == SQLITE_ROW) {
    loaded[KUID(i32(rows.Int(0)), i32(rows.Int(1)), i32(rows.Int(2)))] = rows.Text(3);
  }
  if (rc != SQLITE_DONE) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(settingsDb_));
    return false;
  }
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  keywords_ = std::move(loaded);
  return true;
}

bool AssetStore::SetKeywords(const KUID& kuid, const std::string& keywords, std::string* error) {
  AssetRecord known;
  if (!GetAsset(kuid, known)) {
    SetError(error, "no such asset");
    return false;
  }
  {
    std::lock_guard<OwnedMutex> lock(dbMutex_);
    if (settingsDb_ == nullptr) {
      SetError(error, "settings not open");
      return false;
    }
    WriteTransaction tx(settingsDb_);
    Statement set(settingsDb_,
                  "INSERT OR REPLACE INTO keywords(user, content, version, keywords) "
                  "VALUES(?, ?, ?, ?)");
    if (!tx.Began() || !set.Ok()) {
      SetError(error, std::string("database: ") + sqlite3_errmsg(settingsDb_));
      return false;
    }
    set.Bind(1, i64(kuid.userId));
    set.Bind(2, i64(kuid.contentId));
    set.Bind(3, i64(kuid.version));
    set.Bind(4, keywords);
    if (set.Step() != SQLITE_DONE) {
      SetError(error, std::string("database: ") + sqlite3_errmsg(settingsDb_));
      return false;
    }
    if (!tx.Commit(error)) return false;
  }
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  keywords_[kuid] = keywords;
  auto it = FindRecord(records_, kuid);
  if (it != records_.end() && (*it)->kuid == kuid) (*it)->keywords = keywords;
  DropSearchIndex(lock);
  return true;
}

bool AssetStore::LoadValidationFaults(std::string* error) {
  KESTRO_ASSERT(dbMutex_.IsHeldByThisThread());
  Verdicts loaded;
  Statement rows(settingsDb_,
                 "SELECT user, content, version, tree FROM validation_faults ORDER BY rowid");
  int rc = SQLITE_ERROR;
  while (rows.Ok() && (rc = rows.Step()) == SQLITE_ROW) {
    loaded[KUID(i32(rows.Int(0)), i32(rows.Int(1)), i32(rows.Int(2)))].push_back(rows.Text(3));
  }
  if (rc != SQLITE_DONE) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(settingsDb_));
    return false;
  }
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  validationFaults_ = std::move(loaded);
  return true;
}

bool AssetStore::JudgedFaulty(const AssetRecord& record) {
  return !FaultyVerdictOn(record.kuid, FolderPathOf(record)).empty();
}

std::string AssetStore::FaultyVerdictOn(const KUID& kuid, const std::string& folder) {
  std::vector<std::string> trees;
  {
    std::shared_lock<std::shared_mutex> lock(indexMutex_);
    auto it = validationFaults_.find(kuid);
    if (it == validationFaults_.end()) return {};
    trees = it->second;
  }
  // Files that cannot be told apart from others carry no verdict; the rows stay for files that
  // can.
  const std::string signature = SafeFolder::TreeSignature(folder);
  const auto holds = [&trees](const std::string& tree) {
    return std::find(trees.begin(), trees.end(), tree) != trees.end();
  };
  const bool held = !signature.empty() &&
                    (holds(kVerdict + signature) ||
                     (std::any_of(trees.begin(), trees.end(), IsDeviceVerdict) &&
                      holds(kDeviceVerdict + SafeFolder::TreeSignature(folder, nullptr, true))));
  return held ? signature : std::string();
}

void AssetStore::CarryVerdict(const KUID& kuid, const std::string& judged, const std::string& from,
                              const std::string& copy) {
  KESTRO_ASSERT(changeMutex_.IsHeldByThisThread());
  // Files that changed while they were copied may have given the copy other bytes.
  if (judged.empty() || SafeFolder::TreeSignature(from) != judged) return;
  // The copy is still in staging, where nothing but the tool writes: once the clock is past the
  // second of its change times, whatever is written into it later gets a change time of its own.
  // Within that second a rewrite to the same size that puts the old times back would keep the
  // signature, so on a file system of whole seconds a copy made within the second carries
  // nothing (it shows f until validated) rather than wait for the clock with the change lock
  // held. Where times hold fractions, the tick left is one of the coarse clock, a few ms.
  std::string error;
  const std::string copied = SafeFolder::SettledTreeSignature(copy, &error, false);
  std::lock_guard<OwnedMutex> db(dbMutex_);
  // The source's verdict is stored too, in case the last build stored it: the copy's replaces
  // that build's verdicts.
  if (copied.empty() || !StoreVerdict(kuid, kVerdict + judged, true, &error) ||
      !StoreVerdict(kuid, kVerdict + copied, true, &error)) {
    LogLine("PymDaemon> %s", std::string(kuid.ToString().CStr()) +
                                 ": the copy does not keep the verdict of its files: " + error);
  }
}

bool AssetStore::MarkValidationFaults(RecordList& records) {
  bool marked = false;
  for (auto& r : records) {
    if (!JudgedFaulty(*r)) continue;
    r->SetFlag(fc::kFlagFaulty, true);
    marked = true;
  }
  return marked;
}

bool AssetStore::StoreVerdict(const KUID& kuid, const std::string& tree, bool faulty,
                              std::string* error) {
  KESTRO_ASSERT(dbMutex_.IsHeldByThisThread());
  std::vector<std::string> trees;
  {
    std::shared_lock<std::shared_mutex> lock(indexMutex_);
    auto it = validationFaults_.find(kuid);
    if (it != validationFaults_.end()) trees = it->second;
  }
  // A new verdict replaces those of the last build: they judged the files by their device too.
  std::vector<std::string> dropped;
  const auto byDevice = std::stable_partition(
      trees.begin(), trees.end(), [](const std::string& t) { return !IsDeviceVerdict(t); });
  dropped.assign(byDevice, trees.end());
  trees.erase(byDevice, trees.end());
  const auto at = std::find(trees.begin(), trees.end(), tree);
  // Most validations repeat the last result: nothing to write.
  if ((at != trees.end()) == faulty && dropped.empty()) return true;
  if (settingsDb_ == nullptr) {
    SetError(error, "settings not open");
    return false;
  }
  const bool added = faulty && at == trees.end();
  if (added) {
    trees.push_back(tree);
    const size_t over = trees.size() > kVerdictsPerAsset ? trees.size() - kVerdictsPerAsset : 0;
    dropped.insert(dropped.end(), trees.begin(), trees.begin() + ptrdiff_t(over));
    trees.erase(trees.begin(), trees.begin() + ptrdiff_t(over));
  } else if (!faulty && at != trees.end()) {
    dropped.push_back(tree);
    trees.erase(at);
  }
  WriteTransaction tx(settingsDb_);
  Statement insert(settingsDb_,
                   "INSERT INTO validation_faults(user, content, version, tree) "
                   "VALUES(?, ?, ?, ?)");
  Statement remove(settingsDb_,
                   "DELETE FROM validation_faults WHERE user = ? AND content = ? AND "
                   "version = ? AND tree = ?");
  if (!tx.Began() || !insert.Ok() || !remove.Ok()) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(settingsDb_));
    return false;
  }
  const auto run = [&](Statement& statement, const std::string& which) {
    statement.Bind(1, i64(kuid.userId));
    statement.Bind(2, i64(kuid.contentId));
    statement.Bind(3, i64(kuid.version));
    statement.Bind(4, which);
    const bool done = statement.Step() == SQLITE_DONE;
    statement.Reset();
    return done;
  };
  bool written = !added || run(insert, tree);
  for (const std::string& gone : dropped) written = written && run(remove, gone);
  if (!written) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(settingsDb_));
    return false;
  }
  if (!tx.Commit(error)) return false;
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  if (trees.empty()) {
    validationFaults_.erase(kuid);
  } else {
    validationFaults_[kuid] = std::move(trees);
  }
  return true;
}

bool AssetStore::SetValidationFault(const KUID& kuid, const std::string& judged, bool faulty,
                                    std::string* error) {
  KESTRO_ASSERT(changeMutex_.IsHeldByThisThread());
  // Files that cannot be told apart from others can keep no verdict.
  if (judged.empty()) return true;
  {
    std::lock_guard<OwnedMutex> dbLock(dbMutex_);
    if (!StoreVerdict(kuid, kVerdict + judged, faulty, error)) return false;
  }
  AssetRecord record;
  if (!GetAsset(kuid, record)) return true;
  // The record may name other files than those judged (an editing copy made or dropped since).
  const bool marked = JudgedFaulty(record);
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  auto it = FindRecord(records_, kuid);
  if (it == records_.end() || (*it)->kuid != kuid) return true;
  if ((*it)->HasFlag(fc::kFlagFaulty) == marked) return true;
  // A validation that passed found "kind", so the folder gives no fault of its own.
  (*it)->SetFlag(fc::kFlagFaulty, marked);
  // The assets that depend on it may now have, or no longer have, a faulty dependency.
  std::vector<size_t> which;
  auto dependents = dependents_.find(BaseKey(kuid));
  if (dependents != dependents_.end()) {
    for (const KUID& dependent : dependents->second) {
      auto at = FindRecord(records_, dependent);
      if (at != records_.end() && (*at)->kuid == dependent) {
        which.push_back(size_t(at - records_.begin()));
      }
    }
  }
  ComputeDerivedFlags(records_, obsoleted_, &which);
  DropSearchIndex(lock);
  return true;
}

u64 AssetStore::ContentFingerprint() {
  FingerprintParts parts;
  FingerprintContentFolders(userData_, ContentFolderNames(), parts);
  return KeepFingerprint(std::move(parts));
}

u64 AssetStore::KeepFingerprint(FingerprintParts parts) {
  u64 sum = 0;
  for (const auto& part : parts) sum += part.second;
  std::lock_guard<std::mutex> lock(fingerprintMutex_);
  fingerprintParts_ = std::move(parts);
  fingerprint_ = sum;
  fingerprintKnown_ = true;
  return sum;
}

u64 AssetStore::RefreshFingerprint(const std::vector<std::string>& relativePaths) {
  {
    std::lock_guard<std::mutex> lock(fingerprintMutex_);
    if (fingerprintKnown_) {
      for (const std::string& relative : relativePaths) {
        for (const std::string& name : ContentFolderNames()) {
          const std::string key = FingerprintKey(name, relative);
          auto old = fingerprintParts_.find(key);
          if (old != fingerprintParts_.end()) {
            fingerprint_ -= old->second;
            fingerprintParts_.erase(old);
          }
          u64 part = 0;
          if (FingerprintAssetFolder(userData_ + "/" + name, name, relative, part)) {
            fingerprintParts_[key] = part;
            fingerprint_ += part;
          }
        }
      }
      return fingerprint_;
    }
  }
  return ContentFingerprint();
}

bool AssetStore::IndexMatchesContent(u64 fingerprint) {
  Statement content(db_, "SELECT value FROM meta WHERE key = ?");
  if (!content.Ok()) return false;
  content.Bind(1, std::string(kContentKey));
  return content.Step() == SQLITE_ROW && content.Text(0) == std::to_string(fingerprint);
}

bool AssetStore::OpenIndexFile(bool check, bool* created, std::string* error) {
  KESTRO_ASSERT(dbMutex_.IsHeldByThisThread());
  const std::string path = userData_ + "/" + kDatabaseFileName;
  if (NoFileAmong(path).empty() && !LogIsDamaged(path)) {
    bool usable = OpenFile(path, created, error);
    if (db_ == nullptr) return false;
    if (usable && !*created) usable = HoldsSchema(db_) && (!check || !IsDamaged(db_));
    if (usable) return true;
    // Only a file that is not an index of ours is set aside; a busy or failing one is left.
    const int code = sqlite3_errcode(db_) & 0xFF;
    if (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE && code != SQLITE_ERROR &&
        code != SQLITE_NOTADB && code != SQLITE_CORRUPT) {
      SetError(error, "cannot read " + path + ": " + sqlite3_errmsg(db_));
      sqlite3_close_v2(db_);
      db_ = nullptr;
      return false;
    }
  }
  return SetIndexAside(error) && OpenFile(path, created, error);
}

bool AssetStore::SetIndexAside(std::string* error) {
  KESTRO_ASSERT(dbMutex_.IsHeldByThisThread());
  const std::string path = userData_ + "/" + kDatabaseFileName;
  const std::string aside = path + ".bad";
  sqlite3_close_v2(db_);
  db_ = nullptr;
  // A file cut short or overwritten is set aside whole, never mended in place; its log goes with
  // it, under the name that pairs the two.
  unlink((aside + "-wal").c_str());
  // A folder does not replace a file set aside before, as a file does: that file goes first.
  if (IsNoFile(path) && !IsNoFile(aside)) unlink(aside.c_str());
  const std::string log = path + "-wal";
  std::string why;
  const bool indexStays =
      std::rename(path.c_str(), aside.c_str()) != 0 && LookAt(path, why) != Seen::kNothing;
  if (indexStays || (std::rename(log.c_str(), (aside + "-wal").c_str()) != 0 &&
                     unlink(log.c_str()) != 0 && errno != ENOENT)) {
    SetError(error, "cannot move aside " + (indexStays ? path : log) + ": " + std::strerror(errno));
    return false;
  }
  // Neither holds anything of the index set aside, and either may be what made it unusable.
  unlink((path + "-shm").c_str());
  unlink((path + "-journal").c_str());
  LogLine("PymDaemon> %s is not a usable index; moved aside to .bad and rebuilt", path);
  return true;
}

bool AssetStore::OpenIndex(std::string* error) {
  const std::string path = userData_ + "/" + kDatabaseFileName;
  bool created = false;
  bool current = false;
  {
    std::lock_guard<OwnedMutex> lock(dbMutex_);
    if (!OpenIndexFile(false, &created, error)) return false;
    if ((created && !CreateSchema(error)) || !Exec(db_, kChangesTable, error)) return false;
    // A build that never completed (killed during the first build) and asset folders that
    // changed while the daemon was stopped both call for a new build.
    current = !created && !HasMeta(db_, kChangingKey) && IndexMatchesContent(ContentFingerprint());
  }
  if (current) return LoadIndex(error);
  rebuilt_ = true;
  if (!created) LogLine("PymDaemon> %s does not match the content folders; rebuilt", path);
  return Rebuild(error);
}

bool AssetStore::Open(const std::string& userDataPath, std::string* error) {
  Close();
  userData_ = userDataPath;
  rebuilt_ = false;
  {
    std::lock_guard<std::mutex> lock(fingerprintMutex_);
    fingerprintKnown_ = false;
    fingerprintParts_.clear();
  }
  {
    std::lock_guard<OwnedMutex> lock(dbMutex_);
    // The settings first: they may still have to be taken from an index that is set aside below.
    std::string why;
    if (!OpenSettings(&why) || !LoadKeywords(&why) || !LoadValidationFaults(&why)) {
      SetError(error, "cannot open the settings database: " + why);
      sqlite3_close_v2(settingsDb_);
      settingsDb_ = nullptr;
      return false;
    }
  }
  // An index whose pages turn out damaged anywhere while it is read or rebuilt is set aside and
  // built again from the content folders, once.
  for (bool again = false;; again = true) {
    std::string why;
    if (OpenIndex(&why)) return true;
    bool damaged = false;
    {
      std::lock_guard<OwnedMutex> lock(dbMutex_);
      damaged = !again && db_ != nullptr && IsDamaged(db_) && SetIndexAside(&why);
    }
    if (!damaged) {
      SetError(error, "cannot open the asset index: " + why);
      Close();
      return false;
    }
  }
}

bool AssetStore::Rebuild(std::string* error) {
  std::vector<std::string> problems;
  return Rebuild(problems, error);
}

bool AssetStore::Rebuild(std::vector<std::string>& problems, std::string* error,
                         std::vector<ScannedAsset> standing) {
  std::vector<ScannedAsset> scanned;
  problems.clear();
  // Each folder's part is taken before the folder is read, so that a change during the scan
  // shows at the next start.
  FingerprintParts parts;
  ScanContentFolders(userData_, ContentFolderNames(), scanned, problems, parts);
  const u64 fingerprint = KeepFingerprint(std::move(parts));
  for (const std::string& p : problems) LogLine("PymDaemon> skipped asset folder: %s", p);
  std::unordered_set<KUID> kept;
  for (ScannedAsset& a : standing) {
    kept.insert(a.record.kuid);
    // The file holds what the folders say; the validation marks join below, in memory only.
    a.record.SetFlag(fc::kFlagFaulty, false);
  }
  std::erase_if(scanned, [&](const ScannedAsset& a) { return kept.count(a.record.kuid) != 0; });
  std::move(standing.begin(), standing.end(), std::back_inserter(scanned));
  // The first folder to hold a KUID keeps it. An asset open for editing has its installed
  // folder under the same path in local/: that one is no duplicate.
  std::unordered_map<KUID, size_t> seen;
  std::vector<ScannedAsset> unique;
  unique.reserve(scanned.size());
  for (ScannedAsset& a : scanned) {
    const auto [first, inserted] = seen.emplace(a.record.kuid, unique.size());
    if (inserted) {
      unique.push_back(std::move(a));
      continue;
    }
    const AssetRecord& kept = unique[first->second].record;
    if (kept.folder == "editing" && a.record.folder == "local" && kept.path == a.record.path) {
      continue;
    }
    problems.push_back("duplicate asset " + a.record.folder + "/" + a.record.path + " ignored");
    LogLine("PymDaemon> %s", problems.back());
  }
  std::sort(unique.begin(), unique.end(), [](const ScannedAsset& a, const ScannedAsset& b) {
    return a.record.kuid < b.record.kuid;
  });
  RecordList records;
  records.reserve(unique.size());
  for (ScannedAsset& a : unique) records.push_back(std::make_unique<AssetRecord>(a.record));
  ComputeDerivedFlags(records, CountObsoletes(records));
  for (size_t i = 0; i < unique.size(); ++i) unique[i].record.flags = records[i]->flags;
  if (!WriteIndex(unique, fingerprint, error)) return false;
  // The file holds what the folders say; the validation marks join in memory only.
  if (MarkValidationFaults(records)) ComputeDerivedFlags(records, CountObsoletes(records));
  InstallRecords(std::move(records));
  return true;
}

bool AssetStore::WriteIndex(const std::vector<ScannedAsset>& assets, u64 fingerprint,
                            std::string* error) {
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (db_ == nullptr) {
    SetError(error, "index not open");
    return false;
  }
  WriteTransaction tx(db_);
  if (!tx.Began() ||
      !Exec(db_,
            "DELETE FROM assets; DELETE FROM asset_links; DELETE FROM meta WHERE key = 'content';",
            error)) {
    return false;
  }
  AssetRowWriter writer(db_);
  for (const ScannedAsset& a : assets) {
    if (!writer.Insert(a, error)) return false;
  }
  return SetMeta(db_, kContentKey, std::to_string(fingerprint), error) &&
         RemoveMeta(db_, kChangingKey, error) && tx.Commit(error);
}

bool AssetStore::LoadIndex(std::string* error) {
  std::vector<AssetRecord> records;
  {
    std::lock_guard<OwnedMutex> lock(dbMutex_);
    Statement rows(db_,
                   "SELECT user, content, version, folder, path, name, categories, region, era, "
                   "keywords, build, rating, install_time, modify_time, flags, author, "
                   "description, size FROM assets");
    Statement links(db_,
                    "SELECT user, content, version, relation, target_user, target_content, "
                    "target_version FROM asset_links ORDER BY rowid");
    if (!rows.Ok() || !links.Ok()) {
      SetError(error, std::string("database: ") + sqlite3_errmsg(db_));
      return false;
    }
    int rc;
    while ((rc = rows.Step()) == SQLITE_ROW) {
      AssetRecord r;
      r.kuid = KUID(i32(rows.Int(0)), i32(rows.Int(1)), i32(rows.Int(2)));
      r.folder = rows.Text(3);
      r.path = rows.Text(4);
      r.name = rows.Text(5);
      r.nameLower = r.name;
      for (char& c : r.nameLower) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      }
      r.categories = rows.Text(6);
      r.region = rows.Text(7);
      r.era = rows.Text(8);
      r.keywords = rows.Text(9);
      r.build = f32(rows.Real(10));
      r.rating = i32(rows.Int(11));
      r.installTime = u64(rows.Int(12));
      r.modifyTime = u64(rows.Int(13));
      r.flags = u32(rows.Int(14));
      r.author = rows.Text(15);
      r.description = rows.Text(16);
      r.size = u64(rows.Int(17));
      records.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) {
      SetError(error, std::string("database: ") + sqlite3_errmsg(db_));
      return false;
    }
    std::sort(records.begin(), records.end(),
              [](const AssetRecord& a, const AssetRecord& b) { return a.kuid < b.kuid; });
    while ((rc = links.Step()) == SQLITE_ROW) {
      const KUID owner(i32(links.Int(0)), i32(links.Int(1)), i32(links.Int(2)));
      const KUID target(i32(links.Int(4)), i32(links.Int(5)), i32(links.Int(6)));
      auto it = std::lower_bound(records.begin(), records.end(), owner,
                                 [](const AssetRecord& r, const KUID& k) { return r.kuid < k; });
      if (it == records.end() || it->kuid != owner) continue;
      (links.Int(3) == kRelationObsoletes ? it->obsoletes : it->dependencies).push_back(target);
    }
    if (rc != SQLITE_DONE) {
      SetError(error, std::string("database: ") + sqlite3_errmsg(db_));
      return false;
    }
  }
  RecordList list;
  list.reserve(records.size());
  for (AssetRecord& r : records) list.push_back(std::make_unique<AssetRecord>(std::move(r)));
  MarkValidationFaults(list);
  ComputeDerivedFlags(list, CountObsoletes(list));
  InstallRecords(std::move(list));
  return true;
}

namespace {

// Orders records by user and content id alone: the versions of one asset form one range.
struct BaseOrder {
  using Base = std::pair<i32, i32>;
  using Held = std::unique_ptr<AssetRecord>;
  static Base Of(const KUID& k) { return {k.userId, k.contentId}; }
  bool operator()(const Held& r, const Base& b) const { return Of(r->kuid) < b; }
  bool operator()(const Base& b, const Held& r) const { return b < Of(r->kuid); }
};

}  // namespace

AssetStore::ObsoleteCounts AssetStore::CountObsoletes(const RecordList& records) {
  ObsoleteCounts counts;
  for (const auto& r : records) {
    for (const KUID& o : r->obsoletes) ++counts[o];
  }
  return counts;
}

void AssetStore::IndexLinks(const AssetRecord& record, int change) {
  const std::string folder = record.folder + "/" + record.path;
  std::vector<KUID>& inFolder = folderRecords_[folder];
  if (change > 0) {
    inFolder.push_back(record.kuid);
  } else {
    auto at = std::find(inFolder.begin(), inFolder.end(), record.kuid);
    if (at != inFolder.end()) inFolder.erase(at);
    if (inFolder.empty()) folderRecords_.erase(folder);
  }
  for (const KUID& o : record.obsoletes) {
    u32& count = obsoleted_[o];
    count = u32(i64(count) + change);
    if (count == 0) obsoleted_.erase(o);
  }
  for (const KUID& dep : record.dependencies) {
    std::vector<KUID>& list = dependents_[BaseKey(dep)];
    if (change > 0) {
      list.push_back(record.kuid);
    } else {
      auto at = std::find(list.begin(), list.end(), record.kuid);
      if (at != list.end()) list.erase(at);
      if (list.empty()) dependents_.erase(BaseKey(dep));
    }
  }
}

void AssetStore::ComputeDerivedFlags(RecordList& records, const ObsoleteCounts& obsoleted,
                                     const std::vector<size_t>* which) {
  auto versions = [&](const KUID& k) {
    return std::equal_range(records.begin(), records.end(), BaseOrder::Of(k), BaseOrder{});
  };
  // A dependency is met by the same asset at its version or any later one.
  auto resolve = [&](const KUID& dep) -> const AssetRecord* {
    const AssetRecord* best = nullptr;
    const auto [first, last] = versions(dep);
    for (auto it = first; it != last; ++it) {
      if ((*it)->kuid.version >= dep.version || dep.IsShortForm()) {
        if (best == nullptr || (*it)->kuid.version > best->kuid.version) best = it->get();
      }
    }
    return best;
  };
  auto derive = [&](const AssetRecord& r) {
    const auto [first, last] = versions(r.kuid);
    const bool newer = std::any_of(first, last, [&](const BaseOrder::Held& other) {
      return other->kuid.version > r.kuid.version;
    });
    const bool obsolete = newer || obsoleted.count(r.kuid) != 0;
    bool missing = false;
    bool faulty = false;
    for (const KUID& dep : r.dependencies) {
      const AssetRecord* target = resolve(dep);
      if (target == nullptr) {
        missing = true;
      } else if (target->HasFlag(fc::kFlagFaulty)) {
        faulty = true;
      }
    }
    AssetRecord copy;
    copy.flags = r.flags;
    copy.SetFlag(fc::kFlagObsolete, obsolete);
    copy.SetFlag(fc::kFlagUpToDate, !obsolete);
    copy.SetFlag(fc::kFlagHasMissingDependencies, missing);
    copy.SetFlag(fc::kFlagHasFaultyDependencies, faulty);
    return copy.flags;
  };
  // Derived flags depend on no other derived flag, so each may be set as soon as it is known.
  if (which != nullptr) {
    for (const size_t i : *which) records[i]->flags = derive(*records[i]);
    return;
  }
  for (auto& r : records) r->flags = derive(*r);
}

void AssetStore::ApplyChanges(const std::vector<KUID>& changed,
                              const std::vector<ScannedAsset>& puts,
                              const std::unordered_set<KUID>& faulty) {
  std::vector<BaseOrder::Base> bases;
  std::unordered_set<KUID> namedObsolete;
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  DropSearchIndex(lock);
  for (const KUID& kuid : changed) {
    bases.push_back(BaseOrder::Of(kuid));
    auto it = FindRecord(records_, kuid);
    if (it == records_.end() || (*it)->kuid != kuid) continue;
    namedObsolete.insert((*it)->obsoletes.begin(), (*it)->obsoletes.end());
    IndexLinks(**it, -1);
    records_.erase(it);
  }
  for (const ScannedAsset& put : puts) {
    auto r = std::make_unique<AssetRecord>(put.record);
    auto set = keywords_.find(r->kuid);
    if (set != keywords_.end()) r->keywords = set->second;
    if (faulty.count(r->kuid) != 0) r->SetFlag(fc::kFlagFaulty, true);
    bases.push_back(BaseOrder::Of(r->kuid));
    namedObsolete.insert(r->obsoletes.begin(), r->obsoletes.end());
    IndexLinks(*r, +1);
    const auto at = FindRecord(records_, r->kuid);
    records_.insert(at, std::move(r));
  }
  // The touched records: the versions of each changed asset, the assets that depend on them and
  // the assets that a changed one names as obsolete.
  std::vector<KUID> touched(namedObsolete.begin(), namedObsolete.end());
  for (const BaseOrder::Base& base : bases) {
    const auto [first, last] =
        std::equal_range(records_.begin(), records_.end(), base, BaseOrder{});
    for (auto it = first; it != last; ++it) touched.push_back((*it)->kuid);
    auto dependents = dependents_.find(BaseKey(KUID(base.first, base.second, 0)));
    if (dependents != dependents_.end()) {
      touched.insert(touched.end(), dependents->second.begin(), dependents->second.end());
    }
  }
  std::vector<size_t> which;
  for (const KUID& kuid : touched) {
    auto it = FindRecord(records_, kuid);
    if (it != records_.end() && (*it)->kuid == kuid) which.push_back(size_t(it - records_.begin()));
  }
  std::sort(which.begin(), which.end());
  which.erase(std::unique(which.begin(), which.end()), which.end());
  ComputeDerivedFlags(records_, obsoleted_, &which);
  // The creator name of each user whose assets changed: the first of them that names an author.
  for (const BaseOrder::Base& base : bases) {
    const u32 user = u32(base.first);
    creators_.erase(user);
    auto it = FindRecord(records_, KUID(base.first, INT32_MIN, INT32_MIN));
    for (; it != records_.end() && (*it)->kuid.userId == base.first; ++it) {
      if (!(*it)->author.empty()) {
        creators_.emplace(user, (*it)->author);
        break;
      }
    }
  }
}

void AssetStore::InstallRecords(RecordList records) {
  std::sort(records.begin(), records.end(),
            [](const auto& a, const auto& b) { return a->kuid < b->kuid; });
  // The first asset of a user that names its author gives the user's creator name.
  std::unordered_map<u32, std::string> creators;
  for (const auto& r : records) {
    if (!r->author.empty()) creators.emplace(u32(r->kuid.userId), r->author);
  }
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  for (auto& r : records) {
    auto set = keywords_.find(r->kuid);
    if (set != keywords_.end()) r->keywords = set->second;
  }
  records_ = std::move(records);
  DropSearchIndex(lock);
  creators_ = std::move(creators);
  obsoleted_.clear();
  dependents_.clear();
  folderRecords_.clear();
  for (const auto& r : records_) IndexLinks(*r, +1);
}

size_t AssetStore::CountAssets() const {
  std::shared_lock<std::shared_mutex> lock(indexMutex_);
  return records_.size();
}

void AssetStore::DropSearchIndex(const std::unique_lock<std::shared_mutex>& index) {
  KESTRO_ASSERT(index.owns_lock() && index.mutex() == &indexMutex_);
  (void)index;
  std::lock_guard<std::mutex> lock(searchIndexMutex_);
  searchIndex_.reset();
}

std::vector<KUID> AssetStore::Search(const FilterTree* filter) const {
  std::shared_lock<std::shared_mutex> lock(indexMutex_);
  std::shared_ptr<const SearchIndex> index;
  {
    std::lock_guard<std::mutex> build(searchIndexMutex_);
    if (!searchIndex_) searchIndex_ = std::make_shared<const SearchIndex>(records_);
    index = searchIndex_;
  }
  return index->Find(filter, evaluator_);
}

bool AssetStore::GetAsset(const KUID& kuid, AssetRecord& out) const {
  std::shared_lock<std::shared_mutex> lock(indexMutex_);
  auto it = FindRecord(records_, kuid);
  if (it == records_.end() || (*it)->kuid != kuid) return false;
  out = **it;
  return true;
}

bool AssetStore::SetFavourite(const KUID& kuid, bool favourite) {
  const i32 rating = favourite ? kFavouriteRating : kNoRating;
  {
    std::lock_guard<OwnedMutex> lock(dbMutex_);
    if (db_ == nullptr) return false;
    Statement update(db_,
                     "UPDATE assets SET rating = ? WHERE user = ? AND content = ? AND version = ?");
    if (!update.Ok()) return false;
    update.Bind(1, i64(rating));
    update.Bind(2, i64(kuid.userId));
    update.Bind(3, i64(kuid.contentId));
    update.Bind(4, i64(kuid.version));
    if (update.Step() != SQLITE_DONE) return false;
  }
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  auto it = FindRecord(records_, kuid);
  if (it == records_.end() || (*it)->kuid != kuid) return false;
  (*it)->rating = rating;
  DropSearchIndex(lock);
  return true;
}

void AssetStore::SetCategoryMatcher(CategoryMatcher matcher) {
  std::unique_lock<std::shared_mutex> lock(indexMutex_);
  evaluator_.SetCategoryMatcher(std::move(matcher));
}

Soup AssetStore::GetSettingsSoup(const std::string& group) const {
  std::vector<u8> bytes;
  {
    std::lock_guard<OwnedMutex> lock(dbMutex_);
    if (settingsDb_ == nullptr) return Soup();
    Statement select(settingsDb_, "SELECT soup FROM settings WHERE grp = ?");
    if (!select.Ok()) return Soup();
    select.Bind(1, group);
    if (select.Step() != SQLITE_ROW) return Soup();
    bytes = select.Blob(0);
  }
  return DecodeConfig(bytes);
}

bool AssetStore::SetSettingsSoup(const std::string& group, const Soup& soup, std::string* error) {
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (settingsDb_ == nullptr) {
    SetError(error, "settings not open");
    return false;
  }
  WriteTransaction tx(settingsDb_);
  std::string why = std::string("database: ") + sqlite3_errmsg(settingsDb_);
  if (!tx.Began() || !InsertSettings(settingsDb_, group, soup, &why) || !tx.Commit(&why)) {
    LogLine("PymDaemon> settings not written: %s", why);
    SetError(error, why);
    return false;
  }
  return true;
}

std::string AssetStore::GetSettingString(const std::string& group, const std::string& key) const {
  const Soup soup = GetSettingsSoup(group);
  return std::string(soup.GetNamedTag(Qel::PString(key)).View());
}

bool AssetStore::CheckIntegrity(std::string* error) const {
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (db_ == nullptr) {
    SetError(error, "index not open");
    return false;
  }
  Statement check(db_, "PRAGMA integrity_check");
  if (!check.Ok() || check.Step() != SQLITE_ROW) {
    SetError(error, std::string("database: ") + sqlite3_errmsg(db_));
    return false;
  }
  const std::string verdict = check.Text(0);
  if (verdict != "ok") {
    SetError(error, verdict);
    return false;
  }
  return true;
}

std::string AssetStore::FolderPathOf(const AssetRecord& record) const {
  return userData_ + "/" + record.folder + "/" + record.path;
}

bool AssetStore::FindByFolderPath(const std::string& path, AssetRecord& out) const {
  const std::string prefix = userData_ + "/";
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  std::shared_lock<std::shared_mutex> lock(indexMutex_);
  auto folder = folderRecords_.find(path.substr(prefix.size()));
  if (folder == folderRecords_.end() || folder->second.empty()) return false;
  // Of several records in one folder, the first in KUID order answers.
  const KUID& first = *std::min_element(folder->second.begin(), folder->second.end());
  auto it = FindRecord(records_, first);
  if (it == records_.end() || (*it)->kuid != first) return false;
  out = **it;
  return true;
}

std::vector<std::string> AssetStore::UnindexedFolders() {
  std::vector<std::string> keys;
  {
    std::lock_guard<std::mutex> lock(fingerprintMutex_);
    if (!fingerprintKnown_) return keys;
    for (const auto& part : fingerprintParts_) {
      // A folder that could not be listed has a part of its own, whose key is no path.
      if (part.first.front() != '!') keys.push_back(part.first);
    }
  }
  std::shared_lock<std::shared_mutex> lock(indexMutex_);
  std::erase_if(keys, [&](const std::string& key) { return folderRecords_.count(key) != 0; });
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<AssetRecord> AssetStore::VersionsOf(i32 userId, i32 contentId) const {
  std::vector<AssetRecord> out;
  std::shared_lock<std::shared_mutex> lock(indexMutex_);
  auto it = FindRecord(records_, KUID(userId, contentId, 0));
  for (; it != records_.end() && (*it)->kuid.userId == userId && (*it)->kuid.contentId == contentId;
       ++it) {
    out.push_back(**it);
  }
  return out;
}

std::vector<u8> AssetStore::ConfigBytes(const KUID& kuid) const {
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (db_ == nullptr) return {};
  Statement select(db_, "SELECT config FROM assets WHERE user = ? AND content = ? AND version = ?");
  if (!select.Ok()) return {};
  select.Bind(1, i64(kuid.userId));
  select.Bind(2, i64(kuid.contentId));
  select.Bind(3, i64(kuid.version));
  if (select.Step() != SQLITE_ROW) return {};
  return select.Blob(0);
}

Soup AssetStore::GetConfig(const KUID& kuid) const { return DecodeConfig(ConfigBytes(kuid)); }

bool AssetStore::GetRow(const KUID& kuid, ScannedAsset& out) const {
  if (!GetAsset(kuid, out.record)) return false;
  out.config = ConfigBytes(kuid);
  return true;
}

std::string AssetStore::GetCreatorName(u32 userId) const {
  std::shared_lock<std::shared_mutex> lock(indexMutex_);
  auto it = creators_.find(userId);
  return it != creators_.end() ? it->second : std::string();
}

std::string AssetStore::GetBuildList() const {
  std::vector<f32> builds;
  {
    std::shared_lock<std::shared_mutex> lock(indexMutex_);
    for (const auto& r : records_) {
      if (r->build > 0.0f) builds.push_back(r->build);
    }
  }
  std::sort(builds.begin(), builds.end());
  builds.erase(std::unique(builds.begin(), builds.end()), builds.end());
  std::string text;
  for (const f32 build : builds) {
    char number[32];
    std::snprintf(number, sizeof number, "%g", double(build));
    if (!text.empty()) text += ",";
    text += number;
  }
  return text;
}

KUID AssetStore::GenerateKuid(std::string* error) {
  i32 highest = -1;
  {
    std::shared_lock<std::shared_mutex> lock(indexMutex_);
    for (const auto& r : records_) {
      if (r->kuid.userId == kLocalUserId) highest = std::max(highest, r->kuid.contentId);
    }
  }
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (settingsDb_ == nullptr) {
    SetError(error, "settings not open");
    return KUID::Null();
  }
  const auto refused = [&] {
    SetError(error, std::string("database: ") + sqlite3_errmsg(settingsDb_));
    return KUID::Null();
  };
  WriteTransaction tx(settingsDb_);
  if (!tx.Began()) return refused();
  i64 next = 0;
  {
    Statement get(settingsDb_, "SELECT value FROM counters WHERE name = ?");
    if (!get.Ok()) return refused();
    get.Bind(1, std::string(kNextContentCounter));
    if (get.Step() == SQLITE_ROW) next = get.Int(0);
  }
  // Never one that an asset already has, even one installed from elsewhere.
  next = std::max<i64>(next, i64(highest) + 1);
  if (next > INT32_MAX) {
    SetError(error, "every content number of the local user is taken");
    return KUID::Null();
  }
  Statement set(settingsDb_, "INSERT OR REPLACE INTO counters(name, value) VALUES(?, ?)");
  if (!set.Ok()) return refused();
  set.Bind(1, std::string(kNextContentCounter));
  set.Bind(2, next + 1);
  if (set.Step() != SQLITE_DONE) return refused();
  if (!tx.Commit(error)) return KUID::Null();
  return KUID(kLocalUserId, i32(next), 0);
}

bool AssetStore::BeginChange(const ChangeRecord& change, std::string* error) {
  KESTRO_ASSERT(changeMutex_.IsHeldByThisThread());
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (db_ == nullptr) {
    SetError(error, "index not open");
    return false;
  }
  WriteTransaction tx(db_);
  bool written = tx.Began() && SetMeta(db_, kChangingKey, "1", error);
  for (const ChangeRecord& owed : owed_) {
    written = written && WriteChangeRows(db_, owed.id, owed.folders, error);
  }
  if (!written || !WriteChangeRows(db_, change.id, change.folders, error) || !tx.Commit(error)) {
    return false;
  }
  owed_.clear();
  change_ = change.id;
  return true;
}

bool AssetStore::EndChange(const std::vector<ChangeFolder>& waiting, std::string* error) {
  KESTRO_ASSERT(changeMutex_.IsHeldByThisThread());
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  const std::string id = std::move(change_);
  change_.clear();
  if (db_ != nullptr && ReplaceChangeRows(db_, id, waiting, error)) return true;
  if (db_ == nullptr) SetError(error, "index not open");
  owed_.push_back({id, waiting});
  return false;
}

void AssetStore::OweChanges(std::vector<ChangeRecord> records) {
  KESTRO_ASSERT(changeMutex_.IsHeldByThisThread());
  owed_.insert(owed_.end(), records.begin(), records.end());
}

bool AssetStore::IsOwed(const std::string& place) const {
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (db_ == nullptr) return false;
  // A change undone owes no place: its folders go back to where they were.
  Statement owed(db_, "SELECT 1 FROM changes WHERE after = ? AND passed != 0");
  if (!owed.Ok()) return false;
  owed.Bind(1, place);
  return owed.Step() == SQLITE_ROW;
}

bool AssetStore::ReadChanges(const std::string& userData, std::vector<ChangeRecord>& out,
                             bool& complete, std::string* error) {
  out.clear();
  complete = false;
  const std::string path = userData + "/" + kDatabaseFileName;
  // Only an index known to be gone holds no records: one that cannot be looked at may hold the
  // records of folders waiting in staging, which a start would then keep as unnamed.
  bool there = false;
  if (!LookForFile(path, there, error)) return false;
  if (!there || LogIsDamaged(path)) return true;
  sqlite3* db = OpenDatabase(path, false, error);
  if (db == nullptr) return false;
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> owned(db, sqlite3_close_v2);
  Statement table(db, "SELECT count(*) FROM sqlite_master WHERE name = 'changes'");
  if (!table.Ok() || table.Step() != SQLITE_ROW) {
    SetError(error, "cannot read " + path + ": " + sqlite3_errmsg(db));
    return false;
  }
  // A file cut short, or an index of an older build, holds no records of ours.
  if (table.Int(0) == 0) return true;
  Statement rows(db,
                 "SELECT change, user, content, version, device, inode, before, after, passed "
                 "FROM changes ORDER BY change, rowid");
  if (!rows.Ok()) return Failed(db, error);
  int rc = SQLITE_ROW;
  while ((rc = rows.Step()) == SQLITE_ROW) {
    if (out.empty() || out.back().id != rows.Text(0)) out.push_back({rows.Text(0), {}});
    out.back().folders.push_back({KUID(i32(rows.Int(1)), i32(rows.Int(2)), i32(rows.Int(3))),
                                  u64(rows.Int(4)), u64(rows.Int(5)), rows.Text(6), rows.Text(7),
                                  rows.Int(8) != 0});
  }
  if (rc != SQLITE_DONE) return Failed(db, error);
  complete = !HasMeta(db, kRecordsLostKey);
  return true;
}

bool AssetStore::ForgetLostRecords(const std::string& userData, std::string* error) {
  const std::string path = userData + "/" + kDatabaseFileName;
  bool there = false;
  if (!LookForFile(path, there, error)) return false;
  if (!there) return true;
  sqlite3* db = OpenDatabase(path, false, error);
  if (db == nullptr) return false;
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> owned(db, sqlite3_close_v2);
  if (!HasMeta(db, kRecordsLostKey)) return true;
  WriteTransaction tx(db);
  return tx.Began() && RemoveMeta(db, kRecordsLostKey, error) && tx.Commit(error);
}

bool AssetStore::KeepChange(const std::string& userData, const std::string& id,
                            const std::vector<ChangeFolder>& waiting, std::string* error) {
  sqlite3* db = OpenDatabase(userData + "/" + kDatabaseFileName, false, error);
  if (db == nullptr) return false;
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> owned(db, sqlite3_close_v2);
  return ReplaceChangeRows(db, id, waiting, error);
}

u64 AssetStore::ChangeCount(const KUID& kuid) const {
  std::shared_lock<std::shared_mutex> lock(indexMutex_);
  auto it = changeCounts_.find(kuid);
  return it == changeCounts_.end() ? 0 : it->second;
}

bool AssetStore::RecordChange(const ScannedAsset* put, const KUID& removed, std::string* error) {
  if (put == nullptr) return RecordChanges({}, removed, error);
  return RecordChanges({*put}, removed, error);
}

bool AssetStore::RecordChanges(const std::vector<ScannedAsset>& puts, const KUID& removed,
                               std::string* error) {
  KESTRO_ASSERT(changeMutex_.IsHeldByThisThread());
  std::vector<KUID> changed;
  for (const ScannedAsset& put : puts) changed.push_back(put.record.kuid);
  if (puts.empty()) changed.push_back(removed);
  {
    // Counted before anything can fail: the caller has changed the folders already.
    std::unique_lock<std::shared_mutex> lock(indexMutex_);
    for (const KUID& kuid : changed) ++changeCounts_[kuid];
  }
  // Only the folders of the changed assets are looked at again, where they were and where they
  // are now.
  std::vector<std::string> folders;
  for (const KUID& kuid : changed) {
    AssetRecord old;
    if (GetAsset(kuid, old)) folders.push_back(old.path);
  }
  for (const ScannedAsset& put : puts) folders.push_back(put.record.path);
  const u64 fingerprint = RefreshFingerprint(folders);
  std::unordered_set<KUID> faulty;
  for (const ScannedAsset& put : puts) {
    if (JudgedFaulty(put.record)) faulty.insert(put.record.kuid);
  }
  {
    std::lock_guard<OwnedMutex> lock(dbMutex_);
    if (db_ == nullptr) {
      SetError(error, "index not open");
      return false;
    }
    WriteTransaction tx(db_);
    if (!tx.Began()) {
      SetError(error, std::string("database: ") + sqlite3_errmsg(db_));
      return false;
    }
    for (const KUID& kuid : changed) {
      for (const char* sql :
           {"DELETE FROM assets WHERE user = ? AND content = ? AND version = ?",
            "DELETE FROM asset_links WHERE user = ? AND content = ? AND version = ?"}) {
        Statement remove(db_, sql);
        if (!remove.Ok()) return false;
        remove.Bind(1, i64(kuid.userId));
        remove.Bind(2, i64(kuid.contentId));
        remove.Bind(3, i64(kuid.version));
        if (remove.Step() != SQLITE_DONE) {
          SetError(error, std::string("database: ") + sqlite3_errmsg(db_));
          return false;
        }
      }
    }
    AssetRowWriter writer(db_);
    for (const ScannedAsset& put : puts) {
      if (!writer.Insert(put, error)) return false;
    }
    // The change's point of no return: its folders belong where the change takes them.
    Statement passed(db_,
                     "UPDATE changes SET passed = 1 WHERE change = ? AND user = ? AND content = ? "
                     "AND version = ?");
    if (!passed.Ok()) return Failed(db_, error);
    for (const KUID& kuid : change_.empty() ? std::vector<KUID>() : changed) {
      passed.Bind(1, change_);
      passed.Bind(2, i64(kuid.userId));
      passed.Bind(3, i64(kuid.contentId));
      passed.Bind(4, i64(kuid.version));
      if (passed.Step() != SQLITE_DONE) return Failed(db_, error);
      passed.Reset();
    }
    if (!SetMeta(db_, kContentKey, std::to_string(fingerprint), error) ||
        !RemoveMeta(db_, kChangingKey, error) || !tx.Commit(error)) {
      return false;
    }
  }
  ApplyChanges(changed, puts, faulty);
  return true;
}

bool AssetStore::Reload(std::string* error) { return LoadIndex(error); }

bool AssetStore::ReopenIndex(std::string* error, const std::function<void()>& whileClosed) {
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (db_ != nullptr) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  if (whileClosed) whileClosed();
  bool created = false;
  return OpenIndexFile(true, &created, error) && (!created || CreateSchema(error)) &&
         Exec(db_, kChangesTable, error);
}

bool AssetStore::Compact(std::string* error) {
  std::lock_guard<OwnedMutex> lock(dbMutex_);
  if (db_ == nullptr) return false;
  return Exec(db_, "VACUUM", error);
}

}  // namespace PymDaemonSrv
