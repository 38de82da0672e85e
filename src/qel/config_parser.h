// Configuration text (lm.txt, imtxt, texture options) in the soup text syntax; see config_text.h
// for what it adds to soups.
#pragma once

#include <memory>
#include <string_view>

#include "qel/config_data.h"
#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

class ConfigParser {
 public:
  enum Result : u32 {
    kParseOk = 0,
    kParseOpenError = 2,    // the file cannot be opened or read
    kParseFormatError = 3,  // the text is not configuration text
  };

  u32 ParseFile(const char* path);
  u32 ParseText(std::string_view text);

  // The top-level items; null before a successful parse and when the text held no item.
  const ConfigData* GetData() const {
    return data_ && data_->GetChildCount() ? data_.get() : nullptr;
  }
  // The number under the top-level key "version"; 1.0 when there is none, 0 when it is not a
  // number.
  f32 GetVersion() const;
  // Where and why the last parse failed.
  const String& GetError() const { return error_; }

 private:
  std::unique_ptr<ConfigData> data_;
  String error_;
};

}  // namespace Qel
