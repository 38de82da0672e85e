#include "qelgfx/program_manager.h"

#include <map>
#include <mutex>
#include <optional>

namespace Qel {

namespace {

// Vertex libraries and pixel programs share one table; their names never meet.
struct BuiltInTexts {
  std::mutex mutex;
  std::map<PString, String> texts;
};

BuiltInTexts& GetBuiltIns() {
  static BuiltInTexts* texts = new BuiltInTexts;
  return *texts;
}

void Register(const PString& name, const String& text) {
  BuiltInTexts& builtIns = GetBuiltIns();
  std::lock_guard<std::mutex> guard(builtIns.mutex);
  builtIns.texts[name] = text;
}

std::optional<String> Find(const PString& name) {
  BuiltInTexts& builtIns = GetBuiltIns();
  std::lock_guard<std::mutex> guard(builtIns.mutex);
  const auto found = builtIns.texts.find(name);
  if (found == builtIns.texts.end()) return std::nullopt;
  return found->second;
}

}  // namespace

void VertexProgramManager::RegisterBuiltInPrograms(const PString& library, const String& text) {
  Register(library, text);
}

u32 VertexProgramManager::LookupProgram(const PString& library, const PString& program,
                                        u32& handle) const {
  const std::optional<String> text = Find(library);
  if (!text || program.IsEmpty()) return 1;
  const String line = String::Format("program %s (", program.CStr());
  const size_t at = text->Find(line.CStr());
  if (at == String::npos || (at > 0 && text->View()[at - 1] != '\n')) return 1;
  const size_t end = text->FindChar('\n', at);
  const String definition = text->SubString(at, end == String::npos ? String::npos : end - at);
  handle = display_.RegisterProgram(
      PString(String::Format("%s/%s", library.CStr(), program.CStr()).View()), definition);
  return handle ? 0 : 1;
}

void TextureCombinerManager::RegisterBuiltInPrograms(const PString& name, const String& text) {
  Register(name, text);
}

u32 TextureCombinerManager::LookupProgram(const PString& name, u32& handle) const {
  const std::optional<String> text = Find(name);
  if (!text) return 1;
  handle = display_.RegisterProgram(name, *text);
  return handle ? 0 : 1;
}

}  // namespace Qel
