#include "qel/config_text.h"

namespace Qel {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

class ConfigTextReader {
 public:
  explicit ConfigTextReader(std::string_view text) : text_(text) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }

  bool ReadItems(ConfigData& parent, u32 depth) {
    for (;;) {
      SkipSpace();
      if (AtEnd()) return depth == 0 || Fail("a block is not closed");
      if (Peek() == '}') {
        if (depth == 0) return Fail("'}' closes no block");
        ++pos_;
        return true;
      }
      if (Peek() == '{') return Fail("'{' without a key");
      ConfigData& item = parent.AddChild(ReadKey());
      String value;
      if (!ReadValue(value)) return false;
      item.SetValue(std::move(value));
      // A block belongs to the item when '{' comes next, on this line or a later one.
      const size_t afterValue = pos_;
      const u32 lineAfterValue = line_;
      SkipSpace();
      if (!AtEnd() && Peek() == '{') {
        if (depth + 1 >= kMaxConfigDepth) return Fail("blocks nest too deeply");
        ++pos_;
        if (!ReadItems(item, depth + 1)) return false;
      } else {
        pos_ = afterValue;
        line_ = lineAfterValue;
      }
    }
  }

  String TakeError() { return std::move(error_); }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return text_[pos_]; }

  void SkipSpace() {
    while (!AtEnd() && (IsBlank(Peek()) || IsLineEnd(Peek()))) {
      if (Peek() == '\n') ++line_;
      ++pos_;
    }
  }

  String ReadKey() {
    const size_t start = pos_;
    while (!AtEnd() && !IsBlank(Peek()) && !IsLineEnd(Peek()) && Peek() != '{' && Peek() != '}') {
      ++pos_;
    }
    return String(text_.substr(start, pos_ - start));
  }

  // The rest of the line up to a brace, or a quoted text.
  bool ReadValue(String& value) {
    while (!AtEnd() && IsBlank(Peek())) ++pos_;
    if (AtEnd() || IsLineEnd(Peek())) return true;
    if (Peek() == '"') return ReadQuoted(value);
    const size_t start = pos_;
    while (!AtEnd() && !IsLineEnd(Peek()) && Peek() != '{' && Peek() != '}') ++pos_;
    size_t end = pos_;
    while (end > start && IsBlank(text_[end - 1])) --end;
    value = String(text_.substr(start, end - start));
    return true;
  }

  bool ReadQuoted(String& value) {
    ++pos_;
    std::string out;
    while (!AtEnd() && Peek() != '"' && !IsLineEnd(Peek())) {
      char c = text_[pos_++];
      if (c == '\\' && !AtEnd() && !IsLineEnd(Peek())) {
        c = text_[pos_++];
        if (c == 'n') c = '\n';
      }
      out += c;
    }
    if (AtEnd() || Peek() != '"') return Fail("a quoted value is not closed");
    ++pos_;
    value = String(std::move(out));
    return true;
  }

  bool Fail(const char* reason) {
    error_ = String::Format("line %u: %s", line_, reason);
    return false;
  }

  std::string_view text_;
  size_t pos_ = 0;
  u32 line_ = 1;
  String error_;
};

}  // namespace

bool ParseConfigText(std::string_view text, ConfigData& root, String* error) {
  ConfigTextReader reader(text);
  if (reader.ReadItems(root, 0)) return true;
  if (error) *error = reader.TakeError();
  return false;
}

}  // namespace Qel
