#include "validation/finding_text.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>

#include "assetdata/interface_text.h"
#include "platform/ascii_text.h"

namespace TETLib {

namespace {

// A width or precision beyond this is cut to it: a table text cannot ask for megabytes.
constexpr int kMaxFieldWidth = 1024;

constexpr std::string_view kFlagLetters = "-+ #0";
constexpr std::string_view kLengthLetters = "hlLqjzt";
constexpr std::string_view kConversions = "diouxXeEfFgGaAcsp";

// Reads a run of digits at `at`, cut to the field limit.
int ReadNumber(std::string_view format, size_t& at) {
  int value = 0;
  while (at < format.size() && IsAsciiDigit(format[at])) {
    value = std::min(kMaxFieldWidth, value * 10 + (format[at] - '0'));
    ++at;
  }
  return value;
}

// Builds "%<flags><width>.<precision><length><conversion>" for snprintf, keeping only the flags
// that are defined for the conversion.
void AppendNumber(Qel::String& out, std::string_view flags, int width, int precision,
                  const char* length, char conversion, auto value) {
  char spec[32];
  size_t n = 0;
  spec[n++] = '%';
  const bool alternate = std::string_view("oxXeEfFgGaA").find(conversion) != std::string_view::npos;
  for (char f : flags) {
    if (f == '#' && !alternate) continue;
    if (n < 8) spec[n++] = f;
  }
  n += size_t(std::snprintf(spec + n, sizeof spec - n, "%d", width));
  if (precision >= 0) n += size_t(std::snprintf(spec + n, sizeof spec - n, ".%d", precision));
  std::snprintf(spec + n, sizeof spec - n, "%s%c", length, conversion);
  char text[kMaxFieldWidth * 2 + 64];
  const int written = std::snprintf(text, sizeof text, spec, value);
  if (written > 0) out.Append(text, std::min(size_t(written), sizeof text - 1));
}

}  // namespace

void FormatArg::Render(Qel::String& out, std::string_view flags, int width, int precision,
                       char conversion) const {
  const bool integerConversion =
      std::string_view("diouxX").find(conversion) != std::string_view::npos;
  const bool floatConversion =
      std::string_view("eEfFgGaA").find(conversion) != std::string_view::npos;
  switch (kind_) {
    case Kind::kText: {
      const std::string_view text = precision >= 0 ? text_.substr(0, size_t(precision)) : text_;
      const size_t pad = size_t(width) > text.size() ? size_t(width) - text.size() : 0;
      const bool left = flags.find('-') != std::string_view::npos;
      if (!left) out.Std().append(pad, ' ');
      out.Append(text.data(), text.size());
      if (left) out.Std().append(pad, ' ');
      return;
    }
    case Kind::kSigned:
      if (conversion == 'd' || conversion == 'i') {
        AppendNumber(out, flags, width, precision, "ll", conversion,
                     static_cast<long long>(signed_));
      } else if (integerConversion) {
        AppendNumber(out, flags, width, precision, "ll", conversion,
                     static_cast<unsigned long long>(signed_));
      } else {
        AppendNumber(out, flags, width, -1, "ll", 'd', static_cast<long long>(signed_));
      }
      return;
    case Kind::kUnsigned:
      if (integerConversion && conversion != 'd' && conversion != 'i') {
        AppendNumber(out, flags, width, precision, "ll", conversion,
                     static_cast<unsigned long long>(unsigned_));
      } else {
        AppendNumber(out, flags, width, integerConversion ? precision : -1, "ll", 'u',
                     static_cast<unsigned long long>(unsigned_));
      }
      return;
    case Kind::kFloat:
      AppendNumber(out, flags, width, floatConversion ? precision : -1, "",
                   floatConversion ? conversion : 'g', float_);
      return;
  }
}

void FormatArg::AppendIdentity(std::string& out) const {
  out += char(kind_);
  const auto bytes = [&](const auto& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
  };
  switch (kind_) {
    case Kind::kText:
      bytes(text_.size());
      out += text_;
      return;
    case Kind::kSigned:
      bytes(signed_);
      return;
    case Kind::kUnsigned:
      bytes(unsigned_);
      return;
    case Kind::kFloat:
      bytes(float_);
      return;
  }
}

Qel::String FormatText(std::string_view format, std::span<const FormatArg> args) {
  Qel::String out;
  size_t next = 0;
  size_t at = 0;
  while (at < format.size()) {
    const size_t percent = format.find('%', at);
    if (percent == std::string_view::npos) {
      out.Append(format.data() + at, format.size() - at);
      break;
    }
    out.Append(format.data() + at, percent - at);
    if (percent + 1 < format.size() && format[percent + 1] == '%') {
      out += '%';
      at = percent + 2;
      continue;
    }
    // Flags, width, precision, length letters, conversion letter.
    size_t p = percent + 1;
    const size_t flagsStart = p;
    while (p < format.size() && kFlagLetters.find(format[p]) != std::string_view::npos) ++p;
    const std::string_view flags = format.substr(flagsStart, p - flagsStart);
    const int width = ReadNumber(format, p);
    int precision = -1;
    if (p < format.size() && format[p] == '.') {
      ++p;
      precision = ReadNumber(format, p);
    }
    while (p < format.size() && kLengthLetters.find(format[p]) != std::string_view::npos) ++p;
    const bool known = p < format.size() && kConversions.find(format[p]) != std::string_view::npos;
    if (!known || next >= args.size()) {
      // Not a conversion we fill ("%n", "%*d", a stray '%'), or no argument left for it: kept as
      // written, up to and including the letter that ended it.
      const size_t end = std::min(format.size(), p + 1);
      out.Append(format.data() + percent, end - percent);
      at = end;
      continue;
    }
    args[next++].Render(out, flags, width, precision, format[p]);
    at = p + 1;
  }
  return out;
}

namespace {

// The findings made from the interface text, by key and arguments. Checks report the same few
// findings over and over (every missing mesh of the same name, every unknown tag): each is looked
// up in the table, or made from the key, and formatted once per load of the interface text and
// thread.
struct KeptFindings {
  u64 generation = 0;
  std::unordered_map<std::string, Qel::PString> findings;
  std::string identity;
};
constexpr size_t kKeptFindings = 256;
thread_local KeptFindings t_keptFindings;

// The key's text as a format, or the key itself followed by each argument in quotes.
std::string FindingFormat(InterfaceTextDB& table, const Qel::PString& key, size_t argumentCount) {
  const Qel::PString text = table.GetString(key, false);
  if (text.IsSet()) return std::string(text.View());
  std::string format;
  for (char c : key.View()) {
    if (c == '%') format += '%';
    format += c;
  }
  for (size_t i = 0; i < argumentCount; ++i) format += " '%s'";
  return format;
}

}  // namespace

Qel::PString LocalisedFinding(const Qel::PString& key, std::span<const FormatArg> args) {
  InterfaceTextDB& table = InterfaceTextDB::Instance();
  // Read before the lookup: a load that overlaps it makes the kept finding stale, not wrong.
  const u64 generation = InterfaceTextDB::Generation();
  KeptFindings& kept = t_keptFindings;
  if (kept.generation != generation) {
    kept.findings.clear();
    kept.generation = generation;
  }
  // The same buffer each time: an identity rarely fits a short string.
  std::string& identity = kept.identity;
  identity.clear();
  FormatArg(key).AppendIdentity(identity);
  for (const FormatArg& arg : args) arg.AppendIdentity(identity);
  const auto found = kept.findings.find(identity);
  if (found != kept.findings.end()) return found->second;
  Qel::PString finding =
      FormatText(FindingFormat(table, key, args.size()), args).ToPString();
  if (kept.findings.size() >= kKeptFindings) kept.findings.clear();
  kept.findings.emplace(identity, finding);
  return finding;
}

}  // namespace TETLib
