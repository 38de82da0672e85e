// Hostile configurations matched against a fixed definition set that holds every kind of entry
// (elements, polymorphic and smoke containers, numbered and obsolete tags, an inheritance cycle):
// the tree is built and released whole, and the shared definitions are never changed by a load.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "assetdata/soup_text.h"
#include "core/buffer_stream.h"
#include "pymclient/install_paths.h"
#include "qel/dynamic_buffer.h"
#include "validation/container.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/tag.h"

namespace {

constexpr const char* kDefinitions = R"(
base
{
  inherit
  {
    loop ""
  }
  subpossibilities
  {
    kind
    {
      type "string"
      compulsory 1
    }
    kestro-build
    {
      type "float"
    }
    kuid
    {
      type "kuid"
    }
    username
    {
      type "string"
    }
    flag
    {
      type "bool"
    }
    era
    {
      type "listbox"
      source "eras"
    }
    pick
    {
      type "combobox"
      source "mesh-table"
    }
    n0
    {
      type "int"
      sequence 1
    }
    items
    {
      kind "element"
      element-type "items"
      compulsory 2.5
    }
    things
    {
      container-type0 "thing"
      container-type1 "box"
    }
    emitter
    {
      icon "smoke"
      subpossibilities
      {
        rate
        {
          type "float"
          compulsory 1
        }
      }
    }
    odd
    {
      kind "strange"
    }
  }
  obsolete-tag
  {
    old
    {
      obsolete-version 3.0
    }
  }
}
loop
{
  inherit
  {
    base ""
  }
  validation
  {
    rule ""
  }
}
scenery
{
  top-level 1
  inherit
  {
    base ""
    loop ""
  }
}
items
{
  array-element
  {
    container-type0 "box"
  }
}
box
{
  subpossibilities
  {
    box
    {
      kind "element"
      element-type "box"
    }
    v
    {
      type "vector3"
    }
  }
  tagarray
  {
    type "string"
  }
}
thing
{
  subpossibilities
  {
    kind
    {
      type "string"
    }
  }
}
smoke
{
  icon "smoke"
}
)";

struct Setup {
  std::string root = "/tmp/container_tree_fuzz_" + std::to_string(getpid());
  std::string definitionsText;
  Setup() {
    std::filesystem::create_directories(root + "/lists");
    std::ofstream(root + "/kind.txt") << kDefinitions;
    std::ofstream(root + "/lists/eras") << "1800s\n1900s\n";
    TETLib::ErrorHandler::CreateInstance();
    TETLib::DataManager::CreateInstance(root.c_str());
    TETLib::DataManager::Instance().LoadDefinitions();
    definitionsText = DefinitionsText();
  }
  ~Setup() {
    TETLib::DataManager::DestroyInstance();
    TETLib::ErrorHandler::DestroyInstance();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  static std::string DefinitionsText() {
    TBuffer stream(new Qel::DynamicBuffer(), true);
    WriteSoupText(stream, TETLib::DataManager::Instance().GetDefinitions());
    const Qel::DynamicBuffer* buffer = stream.GetBuffer();
    return std::string(reinterpret_cast<const char*>(buffer->GetData()), buffer->GetDataSize());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  Soup config;
  ParseSoupText(config, std::string_view(reinterpret_cast<const char*>(data), size), false);
  const i64 containers = TETLib::Container::LiveCount();
  const i64 tags = TETLib::Tag::LiveCount();
  const Qel::SingleLock validation(GetValidationMutex());
  TETLib::ErrorHandler::Instance()->ClearRecords();
  {
    TETLib::Container root;
    root.Load(config);
  }
  if (TETLib::Container::LiveCount() != containers || TETLib::Tag::LiveCount() != tags)
    std::abort();
  if (Setup::DefinitionsText() != setup.definitionsText) std::abort();
  return 0;
}
