#include "qel/config_parser.h"

#include "qel/config_text.h"
#include "qel/memory_file.h"

namespace Qel {

u32 ConfigParser::ParseFile(const char* path) {
  data_.reset();
  MemoryFile memory;
  if (!memory.LoadFile(path)) {
    error_ = "cannot be read";
    return kParseOpenError;
  }
  return ParseText(
      std::string_view(reinterpret_cast<const char*>(memory.GetData()), memory.GetSize()));
}

u32 ConfigParser::ParseText(std::string_view text) {
  data_.reset();
  error_.Clear();
  auto root = std::make_unique<ConfigData>();
  if (!ParseConfigText(text, *root, &error_)) return kParseFormatError;
  data_ = std::move(root);
  return kParseOk;
}

f32 ConfigParser::GetVersion() const {
  const ConfigData* version = data_ ? data_->FindChild("version") : nullptr;
  if (!version) return 1.0f;
  f32 value = 0.0f;
  return ConfigData::ParseFloat(version->GetValue(), value) ? value : 0.0f;
}

}  // namespace Qel
