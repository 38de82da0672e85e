// The interface text: message keys ("$pym_installed") turned into the texts of the user's
// language, from one table file per run on the engine volume "data".
//
// The tables load lazily on first use, under the process-wide ReadWriteLock held exclusively;
// lookups hold it shared, so any thread may look up while a reload waits for them.
#pragma once

#include "assetdata/soup.h"
#include "qel/pstring.h"
#include "qel/string.h"

class InterfaceTextDB {
 public:
  InterfaceTextDB() = default;
  virtual ~InterfaceTextDB();
  InterfaceTextDB(const InterfaceTextDB&) = delete;
  InterfaceTextDB& operator=(const InterfaceTextDB&) = delete;

  // Chooses the table file of a two-letter code (case ignored) for the next load; a null or empty
  // code is English, an unknown code keeps the current choice. Loads nothing.
  static void SetLanguage(const char* code);
  // The next Instance() or GetInterfaceString() loads the tables again.
  static void Invalidate();
  // Where the language comes from when it is chosen on first use rather than at start-up (most
  // commands print no interface text, and asking costs a round trip to the daemon). The first
  // Instance() on the main thread asks the source, once, and chooses its answer with
  // SetLanguage; tables another thread loaded before that are loaded again. Null: no source.
  using LanguageSource = Qel::PString (*)();
  static void SetLanguageSource(LanguageSource source);
  // The instance, its tables loaded first when they are not.
  static InterfaceTextDB& Instance();
  // Changes whenever the tables are loaded again, so that a text kept from a lookup can tell
  // whether it still stands.
  static u64 Generation();

  // Reads the current table file, else the same name with the extension ".txt"; when neither can
  // be read the tables stay empty. Does not mark the tables loaded.
  void Load();

  // The key's text in the whole table. A missing text is the key itself when warn is set (the
  // first ten misses of the process are logged), else the empty text. An empty key comes back
  // as it is.
  Qel::PString GetString(Qel::PString key, bool warn);
  // The key's text in the "scenario_text" section; empty when missing, never logged.
  Qel::PString GetScenarioString(Qel::PString key);

 private:
  Soup table_;
  Soup olbekMapText_;
  Soup olbekSpecText_;
  Soup scenarioText_;
};

// The text of a message key in the user's language, the tables loaded on first use; the key
// itself when it has no text.
Qel::String GetInterfaceString(Qel::PString key);
