// Conversions between value kinds, so that any getter can read a value as the kind it wants.
//
// Every converter is a global object that links itself into one process-wide list when it is
// constructed; ConvertValue is the one entry point and chains two converters when no single one
// fits (integer to float goes through text, for instance).
#pragma once

#include <string_view>

#include "assetdata/soup_tree.h"
#include "qel/types.h"

class ACSConverter {
 public:
  struct List;
  struct Link {
    ACSConverter* previous = nullptr;
    ACSConverter* next = nullptr;
    List* list = nullptr;
    ACSConverter* owner = nullptr;
  };

  ACSConverter(u32 from, u32 to);
  virtual ~ACSConverter();
  ACSConverter(const ACSConverter&) = delete;
  ACSConverter& operator=(const ACSConverter&) = delete;

  // A missing source block counts as an empty value; a failed conversion leaves `out` null.
  virtual void Convert(const MPRef<ACSRawDataCore>& in, MPRef<ACSRawDataCore>* out) const = 0;

  // The same block when the kinds are equal; null from kind 0 or when nothing converts.
  static void ConvertValue(u32 from, const MPRef<ACSRawDataCore>& source, u32 to,
                           MPRef<ACSRawDataCore>* out);

  u32 GetFrom() const { return from_; }
  u32 GetTo() const { return to_; }

 private:
  static const ACSConverter* Find(u32 from, u32 to, const ACSConverter* start);
  static List& GetList();

  Link link_;
  u32 from_;
  u32 to_;
};

// The number test of the text converters: an optional '-', digits with at most one '.', and
// after the '.' an optional exponent "e+" or "e-" with digits; trailing blanks are ignored.
bool IsNumericText(std::string_view text);

// The text a value block holds: its bytes up to the first NUL or its end.
std::string_view SoupTextView(const ACSRawDataCore* block);
