#include "assetdata/soup_convert.h"

#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/kuid.h"
#include "platform/byte_order.h"

struct ACSConverter::List {
  ACSConverter* head = nullptr;
  ACSConverter* tail = nullptr;
};

ACSConverter::List& ACSConverter::GetList() {
  // Never destroyed: converters unlink themselves at exit in any order.
  static List* const list = new List();
  return *list;
}

ACSConverter::ACSConverter(u32 from, u32 to) : from_(from), to_(to) {
  List& list = GetList();
  link_.list = &list;
  link_.owner = this;
  link_.next = list.head;
  if (list.head) list.head->link_.previous = this;
  list.head = this;
  if (!list.tail) list.tail = this;
}

ACSConverter::~ACSConverter() {
  List* list = link_.list;
  if (!list) return;
  if (link_.previous) link_.previous->link_.next = link_.next;
  if (link_.next) link_.next->link_.previous = link_.previous;
  if (list->head == this) list->head = link_.next;
  if (list->tail == this) list->tail = link_.previous;
  link_ = Link();
}

const ACSConverter* ACSConverter::Find(u32 from, u32 to, const ACSConverter* start) {
  for (const ACSConverter* c = start; c; c = c->link_.next) {
    if (c->from_ == from && c->to_ == to) return c;
  }
  return nullptr;
}

void ACSConverter::ConvertValue(u32 from, const MPRef<ACSRawDataCore>& source, u32 to,
                                MPRef<ACSRawDataCore>* out) {
  if (!out) return;
  if (from == to) {
    *out = source;
    return;
  }
  MPRef<ACSRawDataCore> result;
  if (from != kKindNull) {
    const ACSConverter* head = GetList().head;
    if (const ACSConverter* direct = Find(from, to, head)) {
      direct->Convert(source, &result);
    } else {
      for (const ACSConverter* outer = head; outer; outer = outer->link_.next) {
        if (outer->from_ != from) continue;
        const ACSConverter* inner = Find(outer->to_, to, head);
        if (!inner) continue;
        MPRef<ACSRawDataCore> between;
        outer->Convert(source, &between);
        inner->Convert(between, &result);
        break;
      }
    }
  }
  *out = std::move(result);
}

bool IsNumericText(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty()) return false;
  size_t i = 0;
  if (text[0] == '-') {
    if (text.size() == 1) return false;
    i = 1;
  }
  bool dot = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') continue;
    if (c == '.' && !dot) {
      dot = true;
      continue;
    }
    if (c == 'e' && dot) {
      // The sign is required and may not end the text; digits alone follow it.
      if (i + 2 >= text.size()) return false;
      if (text[i + 1] != '+' && text[i + 1] != '-') return false;
      for (size_t j = i + 2; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9') return false;
      }
      return true;
    }
    return false;
  }
  return true;
}

std::string_view SoupTextView(const ACSRawDataCore* block) {
  if (!block) return {};
  const char* data = reinterpret_cast<const char*>(block->GetData());
  const void* nul = std::memchr(data, 0, block->GetSize());
  return std::string_view(
      data, nul ? size_t(static_cast<const char*>(nul) - data) : size_t(block->GetSize()));
}

namespace {

MPRef<ACSRawDataCore> MakeText(const std::string& text) {
  // The characters and their NUL.
  return ACSRawDataCore::CreateCopy(text.c_str(), u32(text.size() + 1));
}

class ACSConverter_TextInt final : public ACSConverter {
 public:
  ACSConverter_TextInt() : ACSConverter(kKindText, kKindInt) {}
  void Convert(const MPRef<ACSRawDataCore>& in, MPRef<ACSRawDataCore>* out) const override {
    *out = nullptr;
    const std::string_view view = SoupTextView(in.Get());
    if (!IsNumericText(view)) return;
    const std::string text(view);
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) return;
    // Out of range saturates, as the number is too big for any 32-bit reading of it.
    const i32 value = parsed > INT_MAX ? INT_MAX : parsed < INT_MIN ? INT_MIN : i32(parsed);
    u8 bytes[4];
    ByteOrder::StoreLE32(bytes, u32(value));
    *out = ACSRawDataCore::CreateCopy(bytes, 4);
  }
};

class ACSConverter_TextFloat final : public ACSConverter {
 public:
  ACSConverter_TextFloat() : ACSConverter(kKindText, kKindFloat) {}
  void Convert(const MPRef<ACSRawDataCore>& in, MPRef<ACSRawDataCore>* out) const override {
    *out = nullptr;
    const std::string_view view = SoupTextView(in.Get());
    if (!IsNumericText(view)) return;
    const std::string text(view);
    char* end = nullptr;
    f32 value = std::strtof(text.c_str(), &end);
    if (end == text.c_str()) return;
    if (value > FLT_MAX) value = FLT_MAX;
    if (value < -FLT_MAX) value = -FLT_MAX;
    u8 bytes[4];
    ByteOrder::StoreLEF32(bytes, value);
    *out = ACSRawDataCore::CreateCopy(bytes, 4);
  }
};

class ACSConverter_TextKUID final : public ACSConverter {
 public:
  ACSConverter_TextKUID() : ACSConverter(kKindText, kKindKUID) {}
  void Convert(const MPRef<ACSRawDataCore>& in, MPRef<ACSRawDataCore>* out) const override {
    const std::string text(SoupTextView(in.Get()));
    const KUID::Packed packed = KUID::Pack(KUID::Parse(text.c_str(), false));
    u8 bytes[8];
    ByteOrder::StoreLE32(bytes, packed.word);
    ByteOrder::StoreLE32(bytes + 4, packed.contentId);
    *out = ACSRawDataCore::CreateCopy(bytes, 8);
  }
};

class ACSConverter_IntText final : public ACSConverter {
 public:
  ACSConverter_IntText() : ACSConverter(kKindInt, kKindText) {}
  void Convert(const MPRef<ACSRawDataCore>& in, MPRef<ACSRawDataCore>* out) const override {
    *out = nullptr;
    const u32 count = in ? in->GetSize() / 4 : 0;
    if (count == 0) return;  // the empty text
    std::string text;
    char piece[16];
    for (u32 i = 0; i < count; ++i) {
      const int n = std::snprintf(piece, sizeof(piece), "%d",
                                  i32(ByteOrder::LoadLE32(in->GetData() + 4 * i)));
      if (i) text += ',';
      text.append(piece, size_t(n));
    }
    *out = MakeText(text);
  }
};

class ACSConverter_FloatText final : public ACSConverter {
 public:
  ACSConverter_FloatText() : ACSConverter(kKindFloat, kKindText) {}
  void Convert(const MPRef<ACSRawDataCore>& in, MPRef<ACSRawDataCore>* out) const override {
    *out = nullptr;
    const u32 count = in ? in->GetSize() / 4 : 0;
    if (count == 0) return;
    std::string text;
    char piece[32];
    for (u32 i = 0; i < count; ++i) {
      const f32 value = ByteOrder::LoadLEF32(in->GetData() + 4 * i);
      const int n = std::snprintf(piece, sizeof(piece), "%g", double(value));
      if (i) text += ',';
      text.append(piece, size_t(n));
    }
    *out = MakeText(text);
  }
};

class ACSConverter_KUIDText final : public ACSConverter {
 public:
  ACSConverter_KUIDText() : ACSConverter(kKindKUID, kKindText) {}
  void Convert(const MPRef<ACSRawDataCore>& in, MPRef<ACSRawDataCore>* out) const override {
    *out = nullptr;
    if (!in || in->GetSize() != 8) return;
    const KUID kuid =
        KUID::Unpack(ByteOrder::LoadLE32(in->GetData()), ByteOrder::LoadLE32(in->GetData() + 4));
    const Qel::PString text = kuid.ToString();
    *out = ACSRawDataCore::CreateCopy(text.CStr(), text.Length() + 1);
  }
};

// Constructed in this order; each goes to the head of the list.
ACSConverter_TextInt g_textInt;
ACSConverter_TextFloat g_textFloat;
ACSConverter_TextKUID g_textKUID;
ACSConverter_IntText g_intText;
ACSConverter_FloatText g_floatText;
ACSConverter_KUIDText g_kuidText;

}  // namespace
