// The words of a compiled library image (".gsl") that the writer and the loader share.
//
// Every integer is a little-endian 32-bit word. The image is the header (image length, magic,
// version 1.02 as f32 bits, sourceId, nameId, name length + 1, the lower-cased name with its zero
// byte), then the sections 2 to 6 in order. Each section and record starts {u32 length, u32 tag};
// the length counts from its own first byte to the end of the section or record.
//
// Section 2, library ids: count, then (sourceId, nameId) per unit, entry 0 the library itself.
// Section 3, strings: count, count offsets from the end of the offset table, the zero-terminated
// texts, zero padding to an image offset that is a multiple of 4.
// Section 4, class references: count, then (unit number, class-name string) per class reference.
// Section 5, function references: count, then (class reference, signature string, slot) per
// function reference; the slot is -1 for a function without class.
// Section 6, classes: count, then one class record per defined class:
//   tag 7: name string, flags (static, final, game, secured), parent count, per parent
//     (class reference, member offset of its view, 1 for a direct base else 0); then
//   tag 8: function count + 1, the function records (tag 9), then the field initialiser's record;
//   tag 10: field count, per field (name string, type code, class reference or -1, public bit,
//     field slot);
//   tag 11: entry count, per method-table slot (function reference, view offset). The view
//     offset is the member offset of the function's defining class inside this class: 0 for the
//     class's own functions, else the member offset of that ancestor's parent entry. The table
//     holds exactly the inherited slots (each direct base's table at its method offset) and
//     then one slot per own function; an override takes every inherited slot that it overrides.
//   tag 12: instance words (fields + 3), layout entry count, the entries {kind, member word,
//     value}, reference-field count, the reference-field slots.
#pragma once

#include "qel/types.h"

namespace GSLibraryFormat {

constexpr u32 kMagic = 0xF762575D;
constexpr u32 kVersionBits = 0x3F828F5C;  // 1.02f
constexpr u32 kHeaderWords = 5;           // before the name length

enum SectionTag : u32 {
  kLibraryIdTable = 2,
  kStringSection = 3,
  kClassReferenceSection = 4,
  kFunctionReferenceSection = 5,
  kClassSection = 6,
  kClassRecord = 7,
  kClassFunctions = 8,
  kFunctionRecord = 9,
  kClassFields = 10,
  kMethodTable = 11,
  kInstanceLayout = 12,
};

// Class flags that a class record keeps: static, final, game, secured.
constexpr u32 kClassFlagMask = 0x14C;
// Words before an instance's member area that the instance word count includes.
constexpr u32 kInstanceHeaderWords = 3;

}  // namespace GSLibraryFormat
