#include "validation/tag.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <string>

#include "validation/container_internal.h"
#include "validation/data_manager.h"
#include "validation/error_handler.h"
#include "validation/node_arena.h"
#include "validation/tag_vocabulary.h"

namespace TETLib {

namespace {

std::atomic<i64> g_liveTags{0};

}  // namespace

void TagValue::SetNode(const ACSChunk* node) {
  // Kept only where it is plain that NodeText gives a text that is not empty, so that IsSet needs
  // no text; anything else is read now.
  bool text = false;
  if (node != nullptr && node->GetData() != nullptr) {
    const u32 kind = node->GetKind();
    const u32 size = node->GetDataSize();
    if (kind == kKindInt || kind == kKindFloat) {
      text = size >= 4;
    } else if (kind == kKindText) {
      text = size > 0 && node->GetData()[0] != 0;
    } else if (kind == kKindKUID) {
      text = size == 8;
    }
  }
  if (text) {
    text_ = Qel::PString();
    node_ = MPRef<ACSChunk>(const_cast<ACSChunk*>(node));
  } else {
    *this = NodeText(node);
  }
}

std::string_view TagValue::PeekNode(char (&number)[16]) const {
  const ACSChunk* node = node_.Get();
  const u32 kind = node->GetKind();
  if (kind == kKindText) {
    // As NodeText reads it: up to the first NUL.
    const char* data = reinterpret_cast<const char*>(node->GetData());
    const std::string_view bytes(data, node->GetDataSize());
    return bytes.substr(0, bytes.find('\0'));
  }
  if (kind == kKindInt && node->GetDataSize() / 4 == 1) {
    const std::to_chars_result written =
        std::to_chars(number, number + sizeof number, i32(ByteOrder::LoadLE32(node->GetData())));
    return std::string_view(number, size_t(written.ptr - number));
  }
  return Text().View();
}

Qel::PString TagValue::Lower() const {
  return WithView([](std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return Qel::PString(std::string_view(lower));
  });
}

void TagValue::Resolve() const {
  text_ = NodeText(node_.Get());
  node_ = nullptr;
}

Tag::Tag(i32 tagIndex, Container* tagOwner, const Qel::PString& tagName)
    : name(tagName), index(tagIndex), owner(tagOwner) {
  ++g_liveTags;
}

Tag::~Tag() {
  if (ErrorHandler* handler = ErrorHandler::Instance()) handler->RemoveTagRecord(this);
  // A tag of a tree that goes whole is taken out of the lists by the tree's root, in one sweep.
  if (DataManager::Exists() && DataManager::Instance().MayBeListed(this) &&
      !NodeArena::IsReleasing(this)) {
    DataManager::Instance().Unregister(this);
  }
  --g_liveTags;
  owner = nullptr;
}

void* Tag::operator new(size_t size) { return AllocateNode(size); }

void Tag::operator delete(void* memory) noexcept { FreeNode(memory); }

i64 Tag::LiveCount() { return g_liveTags.load(); }

bool Tag::RunTagRules() {
  bool passed = true;
  for (size_t i = 0; i < ruleFunctions.size(); ++i) {
    if (!ruleFunctions[i](this, &ruleParameters[i])) passed = false;
  }
  if (sharedRules_ != nullptr) {
    for (size_t i = 0; i < sharedRules_->size(); ++i) {
      Soup parameters = (*sharedParameters_)[i];
      if (!(*sharedRules_)[i](this, &parameters)) passed = false;
    }
  }
  return passed;
}

void Tag::ShareRules(const std::vector<TagRuleFunction>& functions,
                     const std::vector<Soup>& parameters) {
  sharedRules_ = functions.empty() ? nullptr : &functions;
  sharedParameters_ = functions.empty() ? nullptr : &parameters;
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
