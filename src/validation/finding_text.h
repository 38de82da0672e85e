// The texts of findings. A finding's text is the localised text of a "$tet_" message key used as
// a printf-style format. Those texts come from table files that users and translators edit, so a
// format is never trusted: each conversion takes the next argument and renders it by the
// argument's own type (a number given to "%s" prints as a number, a text given to "%d" prints as
// the text), a conversion with no argument left stays as it is written, and nothing is ever
// written through "%n".
#pragma once

#include <concepts>
#include <span>
#include <string>
#include <string_view>

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

namespace TETLib {

class FormatArg {
 public:
  FormatArg(const char* text) : text_(text ? text : "") {}     // NOLINT(runtime/explicit)
  FormatArg(std::string_view text) : text_(text) {}            // NOLINT(runtime/explicit)
  FormatArg(const std::string& text) : text_(text) {}          // NOLINT(runtime/explicit)
  FormatArg(const Qel::PString& text) : text_(text.View()) {}  // NOLINT(runtime/explicit)
  FormatArg(const Qel::String& text) : text_(text.View()) {}   // NOLINT(runtime/explicit)
  template <std::signed_integral T>
  FormatArg(T value) : kind_(Kind::kSigned), signed_(value) {}  // NOLINT(runtime/explicit)
  template <std::unsigned_integral T>
  FormatArg(T value) : kind_(Kind::kUnsigned), unsigned_(value) {}  // NOLINT(runtime/explicit)
  FormatArg(double value) : kind_(Kind::kFloat), float_(value) {}   // NOLINT(runtime/explicit)

  // Appends the argument for one conversion: its flags ("-+ #0"), width (0: none), precision
  // (-1: none) and letter. A number given a letter of another kind prints as its own kind does.
  void Render(Qel::String& out, std::string_view flags, int width, int precision,
              char conversion) const;
  // Appends what tells this argument from any other, as its kind and value.
  void AppendIdentity(std::string& out) const;

 private:
  enum class Kind : u8 { kText, kSigned, kUnsigned, kFloat };
  Kind kind_ = Kind::kText;
  std::string_view text_;
  i64 signed_ = 0;
  u64 unsigned_ = 0;
  double float_ = 0.0;
};

// The format with its conversions filled from args, in order.
Qel::String FormatText(std::string_view format, std::span<const FormatArg> args);

template <class... Args>
Qel::String FormatText(std::string_view format, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return FormatText(format, std::span<const FormatArg>());
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return FormatText(format, std::span<const FormatArg>(list));
  }
}

// The localised text of a message key formatted with args. A key that has no text gives the key
// followed by each argument in single quotes, so that the finding still names what it concerns.
Qel::PString LocalisedFinding(const Qel::PString& key, std::span<const FormatArg> args);

template <class... Args>
Qel::PString LocalisedFinding(const Qel::PString& key, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return LocalisedFinding(key, std::span<const FormatArg>());
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return LocalisedFinding(key, std::span<const FormatArg>(list));
  }
}

}  // namespace TETLib
