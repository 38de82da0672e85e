#include "validation/tet_entry.h"

#include "core/log_printf.h"
#include "qel/file.h"

namespace TETLib {

namespace {

ErrorHandler* g_errorHandler = nullptr;
DataManager* g_dataManager = nullptr;

}  // namespace

bool ErrorHandler::CreateInstance() {
  if (g_errorHandler == nullptr) g_errorHandler = new ErrorHandler();
  return true;
}

void ErrorHandler::DestroyInstance() {
  if (g_errorHandler == nullptr) return;
  g_errorHandler->records_.clear();
  delete g_errorHandler;
  g_errorHandler = nullptr;
}

ErrorHandler* ErrorHandler::Instance() { return g_errorHandler; }

bool DataManager::CreateInstance(const char* dataFolder) {
  if (g_dataManager != nullptr || dataFolder == nullptr || *dataFolder == '\0') return false;
  if (!Qel::File::IsFolder(dataFolder)) return false;
  g_dataManager = new DataManager(dataFolder);
  return true;
}

DataManager& DataManager::Instance() {
  if (g_dataManager == nullptr) FatalError("DataManager::Instance> datamanger not initialised");
  return *g_dataManager;
}

bool DataManager::Exists() { return g_dataManager != nullptr; }

void DataManager::DestroyInstance() {
  delete g_dataManager;
  g_dataManager = nullptr;
}

DataManager::~DataManager() { UnregisterKestroBumpVertexType(); }

bool DataManager::SetEngineContext(EngineContext& context) {
  context_ = context;
  return context.renderKernel != nullptr;
}

void DataManager::RegisterKestroBumpVertexType() { vertexTypeRegistered_ = true; }

void DataManager::UnregisterKestroBumpVertexType() { vertexTypeRegistered_ = false; }

}  // namespace TETLib
