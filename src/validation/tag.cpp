#include "validation/tag.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/tag_vocabulary.h"

namespace TETLib {

namespace {

std::atomic<i64> g_liveTags{0};

}  // namespace

Tag::Tag(i32 tagIndex, Container* tagOwner, const Qel::PString& tagName)
    : name(tagName), index(tagIndex), owner(tagOwner) {
  ++g_liveTags;
}

Tag::~Tag() {
  if (ErrorHandler* handler = ErrorHandler::Instance()) handler->RemoveTagRecord(this);
  if (DataManager::Exists()) DataManager::Instance().Unregister(this);
  --g_liveTags;
  owner = nullptr;
}

i64 Tag::LiveCount() { return g_liveTags.load(); }

bool Tag::RunTagRules() {
  bool passed = true;
  for (size_t i = 0; i < ruleFunctions.size(); ++i) {
    if (!ruleFunctions[i](this, &ruleParameters[i])) passed = false;
  }
  return passed;
}

std::vector<f32> ParseFloatList(std::string_view text) {
  std::vector<f32> values;
  std::string field;
  for (char c : text) {
    if (c == ' ' || c == ',') {
      values.push_back(f32(std::atof(field.c_str())));
      field.clear();
    } else {
      field += c;
    }
  }
  values.push_back(f32(std::atof(field.c_str())));
  return values;
}

}  // namespace TETLib
