#include "assetdata/soup_text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_convert.h"
#include "assetdata/soup_tree.h"
#include "core/kuid.h"
#include "core/stream.h"
#include "qel/code_page.h"

namespace {

// Fixed sizes of the value buffers: the characters beyond them are read and dropped.
constexpr size_t kNumberChars = 31;
constexpr size_t kNumberListChars = 255;

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
inline bool IsSpace(char c) { return IsBlank(c) || IsLineEnd(c); }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c; }

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

size_t CountOccurrences(std::string_view text, std::string_view pattern) {
  size_t count = 0;
  for (size_t at = text.find(pattern); at != std::string_view::npos;
       at = text.find(pattern, at + pattern.size())) {
    ++count;
  }
  return count;
}

void StoreU32(u32 value, u8* out) {
  for (int i = 0; i < 4; ++i) out[i] = u8(value >> (8 * i));
}

ACSData IntBlock(i32 value) {
  u8 bytes[4];
  StoreU32(u32(value), bytes);
  return ACSRawDataCore::CreateCopy(bytes, sizeof(bytes));
}

ACSData FloatsBlock(const std::vector<f32>& values) {
  std::vector<u8> bytes(values.size() * 4);
  for (size_t i = 0; i < values.size(); ++i) {
    u32 word;
    std::memcpy(&word, &values[i], 4);
    StoreU32(word, bytes.data() + 4 * i);
  }
  return ACSRawDataCore::CreateCopy(bytes.data(), u32(bytes.size()));
}

ACSData TextBlock(const std::string& text) {
  // The empty text is held as no block; otherwise the characters and their NUL.
  if (text.empty()) return ACSData();
  return ACSRawDataCore::CreateCopy(text.c_str(), u32(text.size() + 1));
}

ACSData KUIDBlock(const KUID& kuid) {
  const KUID::Packed packed = KUID::Pack(kuid);
  u8 bytes[8];
  StoreU32(packed.word, bytes);
  StoreU32(packed.contentId, bytes + 4);
  return ACSRawDataCore::CreateCopy(bytes, sizeof(bytes));
}

i32 ParseInteger(std::string_view text) {
  char buffer[kNumberChars + 1];
  const size_t n = std::min(text.size(), kNumberChars);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  errno = 0;
  const long long value = std::strtoll(buffer, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return i32(value);
}

f32 ParseFloat(std::string_view text) {
  char buffer[kNumberListChars + 1];
  const size_t n = std::min(text.size(), kNumberListChars);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return std::strtof(buffer, nullptr);
}

enum class ValueClass { kNothing, kContainer, kInteger, kFloat, kNumberList, kText };

// One block being filled: its container node and the names stored in it so far, so that only a
// repeated name pays for the lookup that replaces its earlier tag. Small blocks keep their names
// in a list, large ones in a hash set.
struct OpenBlock {
  static constexpr size_t kListLimit = 16;

  // False when the name was stored before.
  bool AddName(const Qel::PString& name) {
    if (!set.empty()) return set.insert(name).second;
    for (const Qel::PString& known : list) {
      if (known == name) return false;
    }
    list.push_back(name);
    if (list.size() > kListLimit) {
      set.insert(list.begin(), list.end());
      list.clear();
    }
    return true;
  }
  // True when the name was stored before; it is forgotten.
  bool RemoveName(const Qel::PString& name) {
    if (!set.empty()) return set.erase(name) != 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i] == name) {
        list.erase(list.begin() + i);
        return true;
      }
    }
    return false;
  }

  MPRef<ACSChunk> node;
  std::vector<Qel::PString> list;
  std::unordered_set<Qel::PString> set;
};

class TextParser {
 public:
  TextParser(std::string_view text, bool utf8) : text_(text), utf8_(utf8) {}

  size_t Run(Soup& target) {
    target.Clear();
    if (!utf8_ && text_.substr(0, 3) == "\xEF\xBB\xBF") {
      utf8_ = true;
      pos_ = 3;
    }
    target_ = &target;
    stack_.emplace_back();
    while (ParseTag()) {
    }
    return pos_;
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }

  void SkipBlanks() {
    while (!AtEnd() && IsBlank(text_[pos_])) ++pos_;
  }
  void SkipSpaces() {
    while (!AtEnd() && IsSpace(text_[pos_])) ++pos_;
  }

  // The container of the innermost block; the top-level soup becomes one on its first tag.
  ACSChunk* Container(OpenBlock& block) {
    if (!block.node) {
      target_->EnsureContainer();
      block.node = target_->GetRoot();
    }
    return block.node.Get();
  }

  // Replaces any earlier tag of the name in this block, as the named setters do.
  void RemoveEarlier(OpenBlock& block, const Qel::PString& name) {
    if (block.AddName(name)) return;
    ACSChunk* node = Container(block);
    node->RemoveChild(node->GetChild(name));
  }

  void Store(const Qel::PString& name, u32 kind, ACSData data) {
    OpenBlock& block = stack_.back();
    RemoveEarlier(block, name);
    ACSChunk* node = Container(block);
    node->AddChild(name, node->CreateTag(kind, std::move(data)));
  }

  // False when the input is over.
  bool ParseTag() {
    const Qel::PString name = ReadName();
    if (name.IsEmpty()) {
      if (stack_.size() == 1) return false;
      stack_.pop_back();
      if (Peek() == '}') ++pos_;
      return true;
    }
    switch (Classify()) {
      case ValueClass::kNothing:
        Store(name, kKindNull, ACSData());
        break;
      case ValueClass::kContainer:
        return OpenContainer(name);
      case ValueClass::kInteger:
        Store(name, kKindInt, IntBlock(ParseInteger(ReadValueText(kNumberChars, false))));
        break;
      case ValueClass::kFloat: {
        const std::vector<f32> value{ParseFloat(ReadValueText(kNumberChars, false))};
        Store(name, kKindFloat, FloatsBlock(value));
        break;
      }
      case ValueClass::kNumberList:
        StoreNumberList(name, ReadValueText(kNumberListChars, false));
        break;
      case ValueClass::kText:
        StoreText(name, ReadValueText(std::string::npos, true));
        break;
    }
    return true;
  }

  bool OpenContainer(const Qel::PString& name) {
    // Input nested deeper than the limit is not a soup: it ends here.
    if (stack_.size() > kMaxSoupDepth) return false;
    OpenBlock& block = stack_.back();
    RemoveEarlier(block, name);
    ACSChunk* parent = Container(block);
    MPRef<ACSChunk> child = parent->CreateTag(kKindContainer, ACSData());
    parent->AddChild(name, child);
    stack_.emplace_back();
    stack_.back().node = std::move(child);
    return true;
  }

  // Empty when the next character that is not a blank or a line end is '}' or the end.
  Qel::PString ReadName() {
    SkipSpaces();
    char name[kSoupTextMaxReadName];
    size_t length = 0;
    while (!AtEnd()) {
      const char c = text_[pos_];
      if (IsSpace(c) || c == '}') break;
      if (length < sizeof(name)) name[length++] = LowerAscii(c);
      ++pos_;
    }
    return Qel::PString(name, length);
  }

  // Leaves the position at the start of the value, or behind the '{' of a block.
  ValueClass Classify() {
    SkipBlanks();
    if (AtEnd() || Peek() == '}') return ValueClass::kNothing;
    const char first = Peek();
    if (first == '{') {
      ++pos_;
      return ValueClass::kContainer;
    }
    if (IsLineEnd(first)) {
      const size_t start = pos_;
      SkipSpaces();
      if (Peek() == '{') {
        ++pos_;
        return ValueClass::kContainer;
      }
      pos_ = start;
      return ValueClass::kNothing;
    }
    if (first == '"') return ValueClass::kText;

    size_t end = pos_;
    while (end < text_.size() && !IsLineEnd(text_[end])) ++end;
    std::string_view line = text_.substr(pos_, end - pos_);
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);

    size_t i = line[0] == '-' ? 1 : 0;
    size_t dots = 0;
    for (; i < line.size(); ++i) {
      if (line[i] == '.') {
        ++dots;
      } else if (!IsDigit(line[i])) {
        break;
      }
    }
    if (i == line.size()) return dots == 0 ? ValueClass::kInteger : ValueClass::kFloat;
    for (const char c : line) {
      if (!IsDigit(c) && c != '-' && c != '.' && c != ',' && !IsBlank(c)) {
        return ValueClass::kText;
      }
    }
    return ValueClass::kNumberList;
  }

  // Reads a value, keeping at most `limit` characters; only text values unfold "\n".
  std::string ReadValueText(size_t limit, bool escapes) {
    std::string value;
    SkipBlanks();
    if (AtEnd()) return value;
    const char first = text_[pos_];
    if (first == '}' || IsLineEnd(first)) return value;
    auto put = [&](std::string_view piece) {
      if (value.size() < limit) value.append(piece.substr(0, limit - value.size()));
    };

    if (first == '"') {
      ++pos_;
      while (!AtEnd()) {
        const size_t run = pos_;
        while (!AtEnd() && text_[pos_] != '"' && !IsLineEnd(text_[pos_])) ++pos_;
        put(text_.substr(run, pos_ - run));
        if (AtEnd()) break;
        const char c = text_[pos_++];
        if (c == '"') break;
        // CR, LF, CR LF and LF CR each become one CR LF.
        if (!AtEnd() && IsLineEnd(text_[pos_]) && text_[pos_] != c) ++pos_;
        put("\r\n");
      }
      return value;
    }

    while (!AtEnd()) {
      const size_t run = pos_;
      while (!AtEnd() && text_[pos_] != '}' && !IsLineEnd(text_[pos_]) &&
             !(escapes && text_[pos_] == '\\')) {
        ++pos_;
      }
      put(text_.substr(run, pos_ - run));
      if (AtEnd() || text_[pos_] != '\\') break;
      if (pos_ + 1 < text_.size() && text_[pos_ + 1] == 'n') {
        put("\r\n");
        pos_ += 2;
      } else {
        put("\\");
        ++pos_;
      }
    }
    return value;
  }

  void StoreNumberList(const Qel::PString& name, const std::string& value) {
    std::vector<f32> numbers;
    size_t i = 0;
    while (i < value.size()) {
      while (i < value.size() && (value[i] == ' ' || value[i] == ',')) ++i;
      const size_t start = i;
      while (i < value.size() && value[i] != ' ' && value[i] != ',') ++i;
      if (i > start)
        numbers.push_back(ParseFloat(std::string_view(value).substr(start, i - start)));
    }
    if (numbers.empty()) {
      // A list without numbers stores nothing, yet still replaces an earlier tag of the name.
      OpenBlock& block = stack_.back();
      if (block.RemoveName(name)) {
        ACSChunk* node = Container(block);
        node->RemoveChild(node->GetChild(name));
      }
      return;
    }
    Store(name, kKindFloat, FloatsBlock(numbers));
  }

  void StoreText(const Qel::PString& name, std::string value) {
    const std::string_view view(value);
    const size_t kuids = CountOccurrences(view, "<kuid:") + CountOccurrences(view, "<kuid2:");
    if (!value.empty() && kuids <= 1 &&
        (StartsWithIgnoreCase(view, "<kuid:") || StartsWithIgnoreCase(view, "<kuid2:") ||
         StartsWithIgnoreCase(view, "<null>"))) {
      Store(name, kKindKUID, KUIDBlock(KUID::Parse(value.c_str(), false)));
      return;
    }
    if (!utf8_) {
      bool high = false;
      for (const char c : value) high |= u8(c) >= 0x80;
      if (high) {
        std::string converted;
        if (!Qel::ConvertCodePage(view, Qel::kCodePageAnsi, Qel::kCodePageUtf8, &converted)) {
          converted.clear();
        }
        value = std::move(converted);
      }
    }
    Store(name, kKindText, TextBlock(value));
  }

  std::string_view text_;
  size_t pos_ = 0;
  bool utf8_;
  Soup* target_ = nullptr;
  std::vector<OpenBlock> stack_;
};

// Output is gathered and handed to the stream in large pieces.
class TextWriter {
 public:
  explicit TextWriter(TStream& out) : out_(out) { buffer_.reserve(kFlushSize + 4096); }
  ~TextWriter() { Flush(); }

  void Write(const ACSChunk* root) {
    Put("\xEF\xBB\xBF\r\n");
    std::vector<Frame> stack;
    stack.emplace_back(root);
    while (!stack.empty()) {
      Qel::PString name;
      MPRef<ACSChunk> child;
      const u32 index = stack.back().next;
      if (!stack.back().NextChild(name, child)) {
        stack.pop_back();
        if (!stack.empty()) {
          Indent(stack.size() - 1);
          Put("}\r\n");
        }
        continue;
      }
      const size_t depth = stack.size() - 1;
      const std::string safe_name = SafeName(name);
      if (child->GetKind() == kKindContainer) {
        // Deeper blocks could not be read back: they are left out.
        if (depth + 1 > kMaxSoupDepth) continue;
        if (index != 0) {
          Indent(depth);
          Put("\r\n");
        }
        Indent(depth);
        Put(safe_name);
        Put("\r\n");
        Indent(depth);
        Put("{\r\n");
        stack.emplace_back(child.Get());
        continue;
      }
      Indent(depth);
      Put(safe_name);
      const size_t used = 2 * depth + safe_name.size();
      Spaces(used + 1 < kSoupTextValueColumn ? kSoupTextValueColumn - used : 1);
      PutValue(child.Get());
      Put("\r\n");
    }
  }

 private:
  static constexpr size_t kFlushSize = 1 << 16;

  // A container being written. In-memory containers are walked through their list; any other
  // kind by index.
  struct Frame {
    using Iterator = ChunkedList<TDBContainerTag::Entry, 13>::ConstIterator;

    explicit Frame(const ACSChunk* container)
        : node(const_cast<ACSChunk*>(container)),
          list(dynamic_cast<const TDBContainerTag*>(container)) {
      if (list) it = list->GetEntries().Begin();
    }

    bool NextChild(Qel::PString& name, MPRef<ACSChunk>& child) {
      const u32 index = next++;
      if (!list) return node->GetChildAt(index, name, child);
      if (it.IsEnd()) return false;
      name = it->name;
      child = it->node;
      it.Next();
      return true;
    }

    MPRef<ACSChunk> node;
    const TDBContainerTag* list;
    Iterator it;
    u32 next = 0;
  };

  // A name that reads back as itself: limited in length, control, blank, high and brace bytes
  // replaced, capitals lowered, and never empty.
  static std::string SafeName(const Qel::PString& name) {
    const std::string_view view = name.View().substr(0, kSoupTextMaxWrittenName);
    if (view.empty()) return "_";
    std::string safe(view);
    for (char& c : safe) {
      const u8 byte = u8(c);
      if (byte <= 0x20 || byte >= 0x80 || c == '{' || c == '}') {
        c = '_';
      } else {
        c = LowerAscii(c);
      }
    }
    return safe;
  }

  void PutValue(const ACSChunk* node) {
    const u32 kind = node->GetKind();
    ACSData source;
    if (const auto* data = dynamic_cast<const TDBDataTag*>(node)) {
      source = data->GetBlock();
    } else {
      source = ACSRawDataCore::CreateChunkView(node);
    }
    ACSData text;
    ACSConverter::ConvertValue(kind, source, kKindText, &text);
    const std::string_view value = SoupTextView(text.Get());
    if (value.empty()) return;
    bool quote = !(kind == kKindFloat || kind == kKindInt || kind == kKindKUID);
    for (const char c : value) quote |= IsSpace(c);
    if (quote) Put("\"");
    size_t run = 0;
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] != '"') continue;
      Put(value.substr(run, i - run));
      Put("'");
      run = i + 1;
    }
    Put(value.substr(run));
    if (quote) Put("\"");
  }

  void Indent(size_t depth) { Spaces(2 * depth); }
  void Spaces(size_t n) {
    buffer_.append(n, ' ');
    MaybeFlush();
  }
  void Put(std::string_view text) {
    buffer_.append(text);
    MaybeFlush();
  }
  void MaybeFlush() {
    if (buffer_.size() >= kFlushSize) Flush();
  }
  void Flush() {
    const char* data = buffer_.data();
    size_t left = buffer_.size();
    while (left != 0) {
      const u32 piece = u32(std::min<size_t>(left, 1u << 30));
      out_.WriteBytes(data, piece);
      data += piece;
      left -= piece;
    }
    buffer_.clear();
  }

  TStream& out_;
  std::string buffer_;
};

}  // namespace

size_t ParseSoupText(Soup& target, std::string_view text, bool utf8) {
  // A zero byte ends the input.
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  return TextParser(text, utf8).Run(target);
}

void Soup::ParseText(Soup& target, TStream& in, bool utf8) {
  target.Clear();
  if (!in.IsOpen()) return;
  const u32 start = in.Tell();
  constexpr u32 kChunk = 1 << 16;
  std::string text;
  for (;;) {
    const size_t have = text.size();
    text.resize(have + kChunk);
    const u32 got = in.ReadBuffered(text.data() + have, kChunk);
    text.resize(have + got);
    if (got == 0) break;
  }
  // Running dry before the end is a short read; what arrived is parsed all the same.
  if (!in.IsEof()) in.SetError(TStream::kErrorShortRead);
  const size_t used = ParseSoupText(target, text, utf8);
  // The stream is left where the text ended for the parser (before a stray '}', at a zero byte).
  if (used < text.size()) in.Seek(i64(start) + i64(used), 0);
}

void WriteSoupText(TStream& out, const Soup& soup) {
  const MPRef<ACSChunk>& root = soup.GetRoot();
  if (!root) return;
  TextWriter(out).Write(root.Get());
}
