// Hostile configurations through the whole validation of an asset folder: the tree, the export
// with every writer and rule, the container rules and the texture check. Nothing crashes and every
// container and tag is released; files inside and beside the asset give the file rules both
// answers to find.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "assetdata/results_log.h"
#include "validation/container.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/tag.h"
#include "validation/validation_run.h"

namespace {

constexpr const char* kKinds = R"(
thing
{
  top-level 1
  subpossibilities
  {
    kind
    {
      type "string"
    }
    kestro-build
    {
      type "float"
    }
    kuid
    {
      type "kuid"
    }
    n
    {
      type "int"
      validation
      {
        isnotzero ""
        ispositive ""
        range
        {
          min 1
          max 5
        }
      }
    }
    v
    {
      type "vector3"
      validation
      {
        arraysize
        {
          size 3
        }
      }
    }
    file
    {
      type "filepath"
      datatype "meshes"
      validation
      {
        fileexists ""
      }
    }
    script
    {
      type "filepath"
      validation
      {
        scriptfileexists ""
      }
    }
    pair
    {
      type "string"
      validation
      {
        mustbepaired
        {
          0 "pair"
          1 "mate"
        }
        notownparent ""
        istracksidetype ""
        needcollatemeshes ""
        isnottraincar ""
        mustbeinlightcontainer ""
        mustbeownparent ""
      }
    }
    pick
    {
      type "combobox"
      source "mesh-table"
    }
    era
    {
      type "listbox"
      source "eras"
    }
    id
    {
      type "kuidbrowser"
    }
    word
    {
      type "doublestring"
    }
    mesh-table
    {
      kind "element"
      element-type "mesh-table"
    }
    lights
    {
      kind "element"
      element-type "lights"
    }
  }
  validation
  {
    uniquenames ""
    meshtablehasshadow ""
    meshtablehasvisiblemesh ""
    hasvalidtexturefile ""
  }
}
)";

constexpr const char* kContainers = R"(
mesh-table
{
  array-element
  {
    container-type0 "entry"
  }
}
entry
{
  subpossibilities
  {
    mesh
    {
      type "filepath"
      datatype "meshes"
      validation
      {
        fileexists ""
      }
    }
    auto-create
    {
      type "bool"
    }
    light
    {
      type "string"
      validation
      {
        mustbeinlightcontainer ""
        mustbeownparent ""
      }
    }
  }
}
lights
{
  array-element
  {
    container-type0 "entry"
  }
}
)";

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Setup {
  std::string root = "/tmp/validation_run_fuzz_" + std::to_string(getpid());
  Setup() {
    std::filesystem::create_directories(root + "/tet/lists");
    std::filesystem::create_directories(root + "/Asset/Sub");
    Write(root + "/tet/inheritance.txt", "");
    Write(root + "/tet/kind.txt", kKinds);
    Write(root + "/tet/container.txt", kContainers);
    Write(root + "/tet/lists/eras", "1900s\n2000s\n");
    Write(root + "/Asset/Sub/Body.im", "x");
    Write(root + "/Asset/lamp.gs", "class Lamp {};\n");
    Write(root + "/outside.gs", "class Outside {};\n");
    TETLib::ErrorHandler::CreateInstance();
    if (!TETLib::DataManager::CreateInstance((root + "/tet").c_str())) std::abort();
  }
  ~Setup() {
    TETLib::DataManager::DestroyInstance();
    TETLib::ErrorHandler::DestroyInstance();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  Write(setup.root + "/Asset/config.txt", std::string(reinterpret_cast<const char*>(data), size));
  const i64 containers = TETLib::Container::LiveCount();
  const i64 tags = TETLib::Tag::LiveCount();
  ResultsLog log;
  TETLib::ValidateAssetFolder(&log, Qel::PString(),
                              Qel::File::Path((setup.root + "/Asset").c_str()), false);
  if (TETLib::Container::LiveCount() != containers || TETLib::Tag::LiveCount() != tags)
    std::abort();
  return 0;
}
