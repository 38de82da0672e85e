// The validation library's entry points that the front end calls at start-up and shut-down:
// the error handler and the data manager singletons, and the vertex-type registration.
#pragma once

#include <vector>

#include "qel/os.h"
#include "qel/string.h"

namespace TETLib {

class ErrorHandler {
 public:
  // Creates the singleton when it does not exist; always true.
  static bool CreateInstance();
  // Clears the records and deletes the singleton; nothing when there is none.
  static void DestroyInstance();
  // Null when not created.
  static ErrorHandler* Instance();

  void AddRecord(const Qel::String& text) { records_.push_back(text); }
  const std::vector<Qel::String>& GetRecords() const { return records_; }

 private:
  ErrorHandler() = default;
  std::vector<Qel::String> records_;
};

class DataManager {
 public:
  // Creates the singleton over its data folder. False, with nothing created, when the folder
  // is not an existing folder or a data manager exists already.
  static bool CreateInstance(const char* dataFolder);
  // The singleton; a fatal error when there is none.
  static DataManager& Instance();
  static bool Exists();
  // Releases what the data manager holds and deletes it; nothing when there is none.
  static void DestroyInstance();

  virtual ~DataManager();
  DataManager(const DataManager&) = delete;
  DataManager& operator=(const DataManager&) = delete;

  // Takes the engine objects of the context. False when the context has no render kernel.
  virtual bool SetEngineContext(EngineContext& context);

  // Registers the vertex types of the validation materials; UnregisterKestroBumpVertexType
  // releases them and does nothing when they are not registered.
  void RegisterKestroBumpVertexType();
  void UnregisterKestroBumpVertexType();
  bool IsVertexTypeRegistered() const { return vertexTypeRegistered_; }

  const Qel::String& GetDataFolder() const { return dataFolder_; }
  const EngineContext& GetEngineContext() const { return context_; }

 private:
  explicit DataManager(const char* dataFolder) : dataFolder_(dataFolder) {}

  Qel::String dataFolder_;
  EngineContext context_;
  bool vertexTypeRegistered_ = false;
};

}  // namespace TETLib
