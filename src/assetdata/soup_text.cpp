#include "assetdata/soup_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>
#include <unordered_set>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "assetdata/soup.h"
#include "assetdata/soup_convert.h"
#include "assetdata/soup_tree.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "core/stream.h"
#include "platform/ascii_text.h"
#include "platform/byte_order.h"
#include "qel/code_page.h"
#include "qel/dynamic_buffer.h"

namespace {

// Fixed sizes of the value buffers: the characters beyond them are read and dropped.
constexpr size_t kNumberChars = 31;
constexpr size_t kNumberListChars = 255;

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
inline bool IsSpace(char c) { return IsBlank(c) || IsLineEnd(c); }

size_t CountOccurrences(std::string_view text, std::string_view pattern) {
  size_t count = 0;
  for (size_t at = text.find(pattern); at != std::string_view::npos;
       at = text.find(pattern, at + pattern.size())) {
    ++count;
  }
  return count;
}

// Value nodes with their bytes, each made in one piece.
ACSNode IntValue(SoupSlabMaker& slabs, i32 value) {
  u8* bytes;
  ACSNode node = slabs.MakeFilledValue(kKindInt, 4, &bytes);
  ByteOrder::StoreLE32(bytes, u32(value));
  return node;
}

ACSNode FloatsValue(SoupSlabMaker& slabs, const f32* values, size_t count) {
  u8* bytes;
  ACSNode node = slabs.MakeFilledValue(kKindFloat, u32(count * 4), &bytes);
  for (size_t i = 0; i < count; ++i) ByteOrder::StoreLEF32(bytes + 4 * i, values[i]);
  return node;
}

ACSNode TextValue(SoupSlabMaker& slabs, std::string_view text) {
  // The empty text is held as no block; otherwise the characters and their NUL.
  if (text.empty()) return slabs.MakeValue(kKindText, nullptr);
  u8* bytes;
  ACSNode node = slabs.MakeFilledValue(kKindText, u32(text.size() + 1), &bytes);
  std::memcpy(bytes, text.data(), text.size());
  bytes[text.size()] = 0;
  return node;
}

ACSNode KUIDValue(SoupSlabMaker& slabs, const KUID& kuid) {
  const KUID::Packed packed = KUID::Pack(kuid);
  u8* bytes;
  ACSNode node = slabs.MakeFilledValue(kKindKUID, 8, &bytes);
  ByteOrder::StoreLE32(bytes, packed.word);
  ByteOrder::StoreLE32(bytes + 4, packed.contentId);
  return node;
}

constexpr u64 kByteOnes = 0x0101010101010101ull;
constexpr u64 kByteHighs = 0x8080808080808080ull;

// LowerAscii on every byte of the word.
constexpr u64 LowerWord(u64 word) {
  const u64 low = word & ~kByteHighs;
  const u64 fromA = low + kByteOnes * (0x80 - 'A');
  const u64 pastZ = low + kByteOnes * (0x80 - 'Z' - 1);
  const u64 upper = fromA & ~pastZ & ~word & kByteHighs;
  return word | (upper >> 2);
}
static_assert(LowerWord(0x405A415B7A61C1DAull) == 0x407A615B7A61C1DAull);

// A mask of the first `count` (1 to 8) bytes of a word in memory order.
constexpr u64 KeepFirstBytes(size_t count) {
  return std::endian::native == std::endian::little ? ~u64(0) >> (8 * (8 - count))
                                                    : ~u64(0) << (8 * (8 - count));
}

// The characters of a short literal as a word read from memory, zero after them.
template <size_t N>
u64 PrefixWord(const char (&text)[N]) {
  static_assert(N <= 9);
  u64 word = 0;
  std::memcpy(&word, text, N - 1);
  return word;
}

// The count of digits, 0 to 8, that eight characters of a text read as a little-endian word
// start with.
inline size_t LeadingDigits(u64 word) {
  const u64 values = word ^ (kByteOnes * '0');  // a digit's byte becomes its value
  // The high bit of a byte is set from the first that is not a digit on: from its value above
  // 9, or its own high bit. A carry out of that byte can only reach bytes after it.
  const u64 stops = ((values + kByteOnes * (0x80 - 10)) | values) & kByteHighs;
  return stops == 0 ? 8 : size_t(std::countr_zero(stops)) / 8;
}

// The number that the first `count` (1 to 8) characters of such a word spell, all digits.
inline u32 DigitsValue(u64 word, size_t count) {
  // The digits moved to the top of the word, zeros before them, so that all eight are summed
  // in pairs, fours and eights with three multiplications.
  u64 digits = (word ^ (kByteOnes * '0')) << (8 * (8 - count));
  digits = digits * 10 + (digits >> 8);
  digits = (((digits & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
            (((digits >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
           32;
  return u32(digits);
}

// The plain forms "<kuid:U:C>" and "<kuid2:U:C:V>" with nothing after them, each number of one
// to nine digits, read as KUID::Parse reads them; false, with `out` untouched, for anything else.
// Nearly every KUID of a configuration has one of these forms.
bool ParsePlainKuid(std::string_view value, KUID& out) {
  size_t at;
  int fields;
  // The shortest, "<kuid:1:2>", has ten characters. Both prefixes are tried at once, on the first
  // eight characters lowered in a word.
  if (value.size() < 10) return false;
  u64 word;
  std::memcpy(&word, value.data(), 8);
  word = LowerWord(word);
  if ((word & KeepFirstBytes(6)) == PrefixWord("<kuid:")) {
    at = 6;
    fields = 2;
  } else if ((word & KeepFirstBytes(7)) == PrefixWord("<kuid2:")) {
    at = 7;
    fields = 3;
  } else {
    return false;
  }
  i32 numbers[3] = {0, 0, 0};
  for (int i = 0; i < fields; ++i) {
    const size_t start = at;
    const size_t limit = std::min(value.size(), start + 9);
    // Summed in a local, which stays in a register: the array element would be stored and
    // loaded again for every digit.
    i32 number = 0;
    if (std::endian::native == std::endian::little && start + 8 <= value.size()) {
      // Up to eight digits at once, from a word of the text.
      u64 word;
      std::memcpy(&word, value.data() + start, 8);
      const size_t count = LeadingDigits(word);
      if (count != 0) number = i32(DigitsValue(word, count));
      at = start + count;
    }
    while (at < limit && IsAsciiDigit(value[at])) {
      number = number * 10 + (value[at++] - '0');
    }
    numbers[i] = number;
    // A tenth digit, like any other character, leaves the number to KUID::Parse.
    const char after = i + 1 < fields ? ':' : '>';
    if (at == start || at >= value.size() || value[at] != after) return false;
    ++at;
  }
  if (at != value.size()) return false;
  KUID kuid(numbers[0], numbers[1], numbers[2]);
  if (fields == 3 && numbers[0] > KUID::kMaxUserId) kuid = KUID();
  out = kuid.IsWellFormed() ? kuid : KUID();
  return true;
}

// Reads an optional '-' and the digits after it, as strtoll does, then saturates to 32 bits.
// Only the first kNumberChars characters count.
i32 ParseInteger(std::string_view text) {
  text = text.substr(0, kNumberChars);
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  constexpr u64 kBeyond = u64(INT_MAX) + 2;  // large enough to saturate either way
  u64 magnitude = 0;
  for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
    if (magnitude < kBeyond) magnitude = magnitude * 10 + u64(text[i] - '0');
  }
  if (negative) return magnitude > u64(INT_MAX) ? INT_MIN : -i32(magnitude);
  return magnitude > u64(INT_MAX) ? INT_MAX : i32(magnitude);
}

// The callers pass digits, '-', '.' and blanks only. For those from_chars reads the same number
// as strtof; what it refuses (no number at the start, out of range) is left to strtof.
f32 ParseFloat(std::string_view text) {
  text = text.substr(0, kNumberListChars);
  // Most numbers are short decimals, read here without from_chars: up to fifteen digits and a
  // power of ten up to 10^15 are exact in a double, so their quotient is the double nearest the
  // decimal, and rounding that to a float gives the float nearest it (a double carries more than
  // twice a float's digits plus two, so the second rounding cannot err). "-0" and "-0.0" give
  // the negative zero, as from_chars does.
  {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const size_t sign = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() - sign <= 16) {
      u64 mantissa = 0;
      size_t digits = 0;
      size_t dot = text.size();
      size_t i = sign;
      for (; i < text.size(); ++i) {
        const char c = text[i];
        if (IsAsciiDigit(c)) {
          mantissa = mantissa * 10 + u64(c - '0');
          ++digits;
        } else if (c == '.' && dot == text.size()) {
          dot = i;
        } else {
          break;
        }
      }
      if (i == text.size() && digits != 0 && digits <= 15) {
        const size_t fraction = dot == text.size() ? 0 : text.size() - dot - 1;
        const f32 value = f32(double(mantissa) / kPowers[fraction]);
        return sign ? -value : value;
      }
    }
  }
  f32 value = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc()) {
    return value;
  }
  char buffer[kNumberListChars + 1];
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return std::strtof(buffer, nullptr);
}

// Advances `pos` over blanks, and over line ends too when `WithLineEnds` is set. Runs of them,
// the padding before values and the indentation of a text, go sixteen bytes at a time.
template <bool WithLineEnds>
size_t SkipSpaceRun(std::string_view text, size_t pos) {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  while (pos + 16 <= text.size()) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
    __m128i skip = _mm_or_si128(_mm_cmpeq_epi8(bytes, space), _mm_cmpeq_epi8(bytes, tab));
    if constexpr (WithLineEnds) {
      skip = _mm_or_si128(skip, _mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)));
    }
    const u32 stop = ~u32(_mm_movemask_epi8(skip)) & 0xFFFFu;
    if (stop != 0) return pos + size_t(std::countr_zero(stop));
    pos += 16;
  }
#endif
  while (pos < text.size() && (WithLineEnds ? IsSpace(text[pos]) : IsBlank(text[pos]))) ++pos;
  return pos;
}

// The high bit of each byte of `word` that equals `c`: exact up to the first such byte, which is
// all a search needs.
constexpr u64 BytesEqual(u64 word, char c) {
  const u64 x = word ^ (kByteOnes * u8(c));
  return (x - kByteOnes) & ~x & kByteHighs;
}

// The bytes that end a run: a byte at a time, eight at a time in a word (marked as BytesEqual
// marks them) and, with SSE2, sixteen at a time (one bit each).
template <char... Stops>
struct StopSet {
  static bool Is(char c) { return ((c == Stops) || ...); }
  static u64 InWord(u64 word) { return (BytesEqual(word, Stops) | ...); }
#if defined(__SSE2__)
  // A superset, which the caller checks with Is: the stops up to the space are taken together
  // as every byte up to the largest of them, in one comparison. Other control characters are
  // rare in a text, so the check seldom fails.
  static u32 InBlock(__m128i bytes) {
    __m128i found = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(char(kLowest))), bytes);
    ((found = WithHigh<Stops>(found, bytes)), ...);
    return u32(_mm_movemask_epi8(found));
  }

 private:
  static constexpr u8 kLowest = std::max({u8(u8(Stops) <= ' ' ? Stops : 0)...});
  template <char C>
  static __m128i WithHigh(__m128i found, __m128i bytes) {
    if constexpr (u8(C) > ' ') return _mm_or_si128(found, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(C)));
    return found;
  }
#endif
};

// A zero byte ends the input: every run stops at one, so that no separate pass looks for it.
using LineEnds = StopSet<'\0', '\r', '\n'>;
using NameEnds = StopSet<'\0', '\r', '\n', ' ', '\t', '}'>;
using QuotedEnds = StopSet<'\0', '\r', '\n', '"'>;
using ValueEnds = StopSet<'\0', '\r', '\n', '}', '\\'>;

// The position of the first byte at or after `pos` that is in the set, or the size of the text.
template <class Set>
size_t FindFirst(std::string_view text, size_t pos) {
#if defined(__SSE2__)
  while (pos + 16 <= text.size()) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
    for (u32 found = Set::InBlock(bytes); found != 0; found &= found - 1) {
      const size_t at = pos + size_t(std::countr_zero(found));
      if (Set::Is(text[at])) return at;
    }
    pos += 16;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    while (pos + 8 <= text.size()) {
      u64 word;
      std::memcpy(&word, text.data() + pos, 8);
      const u64 found = Set::InWord(word);
      if (found != 0) return pos + size_t(std::countr_zero(found)) / 8;
      pos += 8;
    }
  }
  while (pos < text.size() && !Set::Is(text[pos])) ++pos;
  return pos;
}

enum class ValueClass { kNothing, kContainer, kInteger, kFloat, kNumberList, kText };

// Every name of one parse, known by its number: most tags repeat a few names. A name goes to the
// process-wide cache when the block holding it closes, together with the other new names of that
// block under one hold of the cache's lock, and its handles are given out from references taken
// many at a time rather than with a count step each. Open addressing, at most half full.
class NameTable {
 public:
  NameTable() : slots_(size_t(1) << kInitialBits), shift_(32 - kInitialBits) {}
  ~NameTable() {
    // The table's own reference goes with those it reserved and never gave out.
    for (Name& name : names_) name.interned.DropReserved(name.left + 1);
  }
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;

  // Hashes a name as it is read, eight bytes at a time: Mix for each word (the last one padded
  // with zero bytes), then Finish.
  static u64 Mix(u64 hash, u64 word) {
    hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
    return hash ^ (hash >> 32);
  }
  static u64 Finish(u64 hash, size_t length) { return (hash ^ length) * 0x9E3779B97F4A7C15ull; }

  // The number of the name, given as whole words, zero after `length`; the same name always
  // gets the same number.
  u32 Intern(const char* text, size_t length, u64 hash) {
    const size_t mask = slots_.size() - 1;
    const size_t words = (length + 7) / 8;
    // The high half, which the multiply in Finish mixes best.
    const u32 check = u32(hash >> 32);
    size_t i = check >> shift_;
    for (; slots_[i].number != 0; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.check == check && Is(slot.number - 1, text, length)) return slot.number - 1;
    }
    if (2 * (names_.size() + 1) > slots_.size()) {
      Grow();
      return Intern(text, length, hash);
    }
    const u32 number = u32(names_.size());
    slots_[i] = {check, number + 1};
    const u32 wordsAt = u32(words_.size());
    names_.push_back({Qel::PString(), wordsAt, u32(length), 0, 2, 0});
    words_.resize(wordsAt + words);
    std::memcpy(words_.data() + wordsAt, text, 8 * words);
    return number;
  }

  // A new handle on the name when it is in the process-wide cache already. Otherwise the handle is
  // empty and the name waits, with the place it is wanted at, for PublishHeld. A number may be
  // held once only.
  Qel::PString TakeOrHold(u32 number, u32 place) {
    if (names_[number].interned.IsSet()) return Take(number);
    held_.push_back({number, place});
    return {};
  }

  // Interns the names held since the last call under one hold of the cache's lock, and hands a
  // handle on each to give(place, handle): the cache counts the table's reference and that of the
  // first handle in one step.
  template <class Give>
  void PublishHeld(Give give) {
    if (held_.empty()) return;
    texts_.clear();
    for (const Held& held : held_) {
      const Name& name = names_[held.number];
      texts_.emplace_back(reinterpret_cast<const char*>(words_.data() + name.wordsAt), name.length);
    }
    interned_.resize(held_.size());
    Qel::PString::InternMany(texts_.data(), texts_.size(), interned_.data(), 1);
    for (size_t i = 0; i < held_.size(); ++i) {
      const Held& held = held_[i];
      give(held.place, interned_[i].TakeReserved());
      names_[held.number].interned = std::move(interned_[i]);
    }
    held_.clear();
  }

  // A new handle on a published name.
  Qel::PString Take(u32 number) {
    Name& name = names_[number];
    if (name.left == 0) {
      // Many names are given once; a name given more often takes more at a time.
      name.left = name.next;
      name.next = std::min(2 * name.next, kMostReserved);
      name.interned.Reserve(name.left);
    }
    --name.left;
    return name.interned.TakeReserved();
  }

  // The mark of the open block that stored the name, 0 for none (see OpenBlock).
  u32& Mark(u32 number) { return names_[number].mark; }
  u32 Mark(u32 number) const { return names_[number].mark; }

  // True when the name of that number is `text`, given as in Intern.
  bool Is(u32 number, const char* text, size_t length) const {
    const Name& name = names_[number];
    if (name.length != length) return false;
    // Word by word, as the name was stored: comparing bytes of words just stored would stall.
    for (size_t k = 0; k < (length + 7) / 8; ++k) {
      u64 word;
      std::memcpy(&word, text + 8 * k, 8);
      if (words_[name.wordsAt + k] != word) return false;
    }
    return true;
  }

 private:
  static constexpr u32 kInitialBits = 6;
  // The most references taken at a time for the handles of one name.
  static constexpr u32 kMostReserved = 256;

  // Small, so that a table of many names stays in the cache: the high half of the name's hash,
  // whose top bits are also its home, and its number plus one (0 for a free slot).
  struct Slot {
    u32 check = 0;
    u32 number = 0;
  };

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    --shift_;
    const size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.number == 0) continue;
      size_t i = slot.check >> shift_;
      while (slots_[i].number != 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  // By number, all that a handle out of the parse needs in one place: the interned name, empty
  // until published, with the references reserved for it and not yet given out; where its words
  // are; how many to reserve next; and its mark. The table's own reference keeps the name cached
  // even when every handle it gave out is gone, as with a block replaced by a later tag.
  struct Name {
    Qel::PString interned;
    u32 wordsAt;
    u32 length;
    u32 left;
    u32 next;
    u32 mark;
  };
  std::vector<Name> names_;
  // The characters of every name, each padded with zero bytes to whole words.
  std::vector<u64> words_;
  u32 shift_;
  // The names waiting for PublishHeld, and its batch.
  struct Held {
    u32 number;
    u32 place;
  };
  std::vector<Held> held_;
  std::vector<std::string_view> texts_;
  std::vector<Qel::PString> interned_;
};

// A tag read into an open block: the number of its name in the parse's name table and its node.
struct PendingTag {
  u32 name;
  MPRef<ACSChunk> node;
};

// One block being filled: its container node and the names stored in it so far. Blocks are
// reused, so their storage is allocated once per depth.
class OpenBlock {
 public:
  // `mark` is the block's depth: one open block at a time has it.
  void Reset(ACSChunk* container, NameTable& table, u32 mark) {
    node = container;
    table_ = &table;
    mark_ = mark;
    // The two blocks that closed last at this depth foretell the names of this one.
    olderNames.swap(lastNames);
    lastNames.swap(names);
    names.clear();
  }

  // False when the name was stored before.
  bool AddName(u32 name) {
    u32& mark = table_->Mark(name);
    if (mark == mark_) return false;
    // Marked by a block around this one, which gets its mark back when this one closes.
    if (mark != 0) saved_.push_back({name, mark});
    mark = mark_;
    return true;
  }

  bool HasName(u32 name) const { return table_->Mark(name) == mark_; }

  // Removes the entry of the name from `pending`, if there is one.
  void Drop(u32 name) {
    for (auto it = pending.begin(); it != pending.end(); ++it) {
      if (it->name == name) {
        pending.erase(it);
        return;
      }
    }
  }

  // Leaves the marks as they were before the block opened, for the blocks around it.
  void Unmark() {
    const u32 mine = mark_;
    for (const u32 name : names) {
      u32& mark = table_->Mark(name);
      if (mark == mine) mark = 0;
    }
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) table_->Mark(it->name) = it->mark;
    saved_.clear();
  }

  // Held by its parent's entry, or by the soup for the top level, while the block is open: the
  // parent takes no other tag until this block is closed.
  ACSChunk* node = nullptr;
  // The block's tags so far, which the container takes in one array when the block closes.
  std::vector<PendingTag> pending;
  // The numbers of the names read in this block so far, in order, and those of the two blocks
  // that closed before it at the same depth: blocks of one kind list the same names in the same
  // order, so a name is most often the one read at its place in such a block, and blocks of two
  // kinds often take turns.
  std::vector<u32> names;
  std::vector<u32> lastNames;
  std::vector<u32> olderNames;

 private:
  // A name stored in the block carries the block's mark in the table, so that only a repeated
  // name pays for the search that replaces its earlier tag, and a large block costs no more a
  // name than a small one.
  NameTable* table_ = nullptr;
  u32 mark_ = 0;
  struct Saved {
    u32 name;
    u32 mark;
  };
  std::vector<Saved> saved_;
};

// Parses a whole text, or a stream read piece by piece into a window of the text that moves
// on as tags are finished, so that a large input is never held whole.
class TextParser {
 public:
  // A text in memory is the window whole from the start.
  TextParser(std::string_view text, bool utf8) : text_(text), utf8_(utf8), inputEnded_(true) {}
  TextParser(TStream& in, bool utf8) : utf8_(utf8), in_(&in) {}

  // Returns the count of bytes consumed.
  size_t Run(Soup& target) {
    target.Clear();
    if (!utf8_ && Has(2) && text_.substr(0, 3) == "\xEF\xBB\xBF") {
      utf8_ = true;
      pos_ = 3;
    }
    target_ = &target;
    Push(nullptr);
    while (ParseTag()) {
    }
    // The end of the input, or a block nested too deep, closes every open block.
    while (depth_ > 0) Pop();
    return base_ + pos_;
  }

  // The count of bytes taken from the stream, and whether a read came back empty.
  size_t CountRead() const { return read_; }
  bool IsStreamDry() const { return streamDry_; }

 private:
  static constexpr u32 kPiece = 1 << 16;
  static constexpr u32 kNoName = ~u32(0);

  // The window is only ever extended while a tag is read, so positions in it stay valid; it is
  // cut at the start of a tag.
  bool AtEnd() { return pos_ >= text_.size() && !More(); }
  // The character at the position; '\0' at the end of the input, which a zero byte is too. Every
  // run stops at a zero byte and every step past a single character is taken after looking at it
  // here, so the parse never passes a zero byte and treats the text before it as the whole input.
  char Peek() { return AtEnd() ? '\0' : text_[pos_]; }
  // True when the window holds position `at`.
  bool Has(size_t at) {
    while (at >= text_.size()) {
      if (!More()) return false;
    }
    return true;
  }

  // Appends the next piece of the stream to the window; false at its end. Called at the end of
  // the window only: kept out of line, so that the many places that may call it stay small.
  [[gnu::noinline]] bool More() {
    if (inputEnded_) return false;
    const size_t have = text_.size();
    if (capacity_ - have < kPiece) Reserve(have + kPiece);
    const u32 got = in_->ReadBuffered(window_.get() + have, kPiece);
    read_ += got;
    if (got == 0) inputEnded_ = streamDry_ = true;
    text_ = std::string_view(window_.get(), have + got);
    return got != 0;
  }

  void Reserve(size_t capacity) {
    capacity = std::max(capacity, 2 * capacity_);
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (!text_.empty()) std::memcpy(grown.get(), text_.data(), text_.size());
    window_ = std::move(grown);
    capacity_ = capacity;
    text_ = std::string_view(window_.get(), text_.size());
  }

  // Drops the part of the window before the position. What follows it is moved to the front,
  // so that is done when little follows, or when the window has grown large.
  void Cut() {
    if (!in_ || pos_ < kPiece) return;
    const size_t rest = text_.size() - pos_;
    if (rest > kPiece / 16 && pos_ < 4 * kPiece) return;
    std::memmove(window_.get(), window_.get() + pos_, rest);
    base_ += pos_;
    pos_ = 0;
    text_ = std::string_view(window_.get(), rest);
  }

  void SkipBlanks() {
    do {
      pos_ = SkipSpaceRun<false>(text_, pos_);
    } while (pos_ >= text_.size() && More());
  }
  void SkipSpaces() {
    do {
      pos_ = SkipSpaceRun<true>(text_, pos_);
    } while (pos_ >= text_.size() && More());
  }

  OpenBlock& Innermost() { return stack_[depth_ - 1]; }
  void Push(ACSChunk* container) {
    if (depth_ == stack_.size()) stack_.emplace_back();
    ++depth_;
    stack_[depth_ - 1].Reset(container, names_, u32(depth_));
  }
  void Pop() {
    OpenBlock& block = stack_[--depth_];
    if (block.node && !block.pending.empty()) {
      TDBContainerTag::Entry* entries = slabs_.MakeEntries(block.node, u32(block.pending.size()));
      // The names new to the process-wide cache are filled in after one batch interns them all.
      for (u32 i = 0; i < u32(block.pending.size()); ++i) {
        PendingTag& tag = block.pending[i];
        new (entries + i)
            TDBContainerTag::Entry{names_.TakeOrHold(tag.name, i), std::move(tag.node)};
      }
      names_.PublishHeld(
          [entries](u32 place, Qel::PString name) { entries[place].name = std::move(name); });
    }
    // Nothing reads the marks once the outermost block is closed.
    if (depth_ > 0) block.Unmark();
    block.pending.clear();
    block.node = nullptr;
  }

  // The container of the innermost block; the top-level soup becomes one on its first tag.
  ACSChunk* Container(OpenBlock& block) {
    if (!block.node) {
      if (!target_->GetRoot()) target_->SetRoot(slabs_.MakeContainer());
      block.node = target_->GetRoot().Get();
    }
    return block.node;
  }

  // Replaces any earlier tag of the name in this block, as the named setters do.
  void RemoveEarlier(OpenBlock& block, u32 name) {
    if (!block.AddName(name)) block.Drop(name);
  }

  void Store(u32 name, ACSNode value) {
    OpenBlock& block = Innermost();
    RemoveEarlier(block, name);
    Container(block);
    block.pending.push_back({name, std::move(value)});
  }

  // False when the input is over.
  bool ParseTag() {
    Cut();
    const u32 name = ReadName();
    if (name == kNoName) {
      if (depth_ == 1) return false;
      Pop();
      if (Peek() == '}') ++pos_;
      return true;
    }
    switch (Classify()) {
      case ValueClass::kNothing:
        Store(name, slabs_.MakeValue(kKindNull, nullptr));
        break;
      case ValueClass::kContainer:
        return OpenContainer(name);
      case ValueClass::kInteger:
        Store(name, IntValue(slabs_, ParseInteger(TakeNumberText(kNumberChars))));
        break;
      case ValueClass::kFloat: {
        const f32 value = ParseFloat(TakeNumberText(kNumberChars));
        Store(name, FloatsValue(slabs_, &value, 1));
        break;
      }
      case ValueClass::kNumberList:
        StoreNumberList(name, TakeNumberText(kNumberListChars));
        break;
      case ValueClass::kText:
        StoreText(name, ReadValueText());
        break;
    }
    return true;
  }

  bool OpenContainer(u32 name) {
    // Input nested deeper than the limit is not a soup: it ends here.
    if (depth_ > kMaxSoupDepth) return false;
    OpenBlock& block = Innermost();
    RemoveEarlier(block, name);
    Container(block);
    MPRef<ACSChunk> child = slabs_.MakeContainer();
    ACSChunk* opened = child.Get();
    // The parent's entry holds the block from here on.
    block.pending.push_back({name, std::move(child)});
    Push(opened);
    return true;
  }

  // The number of the name in the parse's name table; kNoName when the next character that is not
  // a blank or a line end is '}' or the end.
  u32 ReadName() {
    SkipSpaces();
    const size_t end = Find<NameEnds>(pos_);
    const size_t length = std::min(end - pos_, size_t(kSoupTextMaxReadName));
    if (length == 0) return kNoName;
    // Lowered and stored eight characters at a time, the last word padded with zero bytes: the
    // table reads the name back in words, and loads of words stored as bytes would stall.
    const char* from = text_.data() + pos_;
    const size_t room = text_.size() - pos_;
    for (size_t at = 0; at < length; at += 8) {
      const size_t count = std::min<size_t>(8, length - at);
      u64 word = 0;
      if (room - at >= 8) {
        std::memcpy(&word, from + at, 8);
        word &= KeepFirstBytes(count);
      } else {
        std::memcpy(&word, from + at, count);
      }
      word = LowerWord(word);
      std::memcpy(name_ + at, &word, 8);
    }
    pos_ = end;
    OpenBlock& block = Innermost();
    const size_t place = block.names.size();
    u32 number;
    if (place < block.lastNames.size() && names_.Is(block.lastNames[place], name_, length)) {
      number = block.lastNames[place];
    } else if (place < block.olderNames.size() &&
               names_.Is(block.olderNames[place], name_, length)) {
      number = block.olderNames[place];
    } else {
      // Hashed only here: most names are the one foretold.
      u64 hash = 0;
      for (size_t at = 0; at < length; at += 8) {
        u64 word;
        std::memcpy(&word, name_ + at, 8);
        hash = NameTable::Mix(hash, word);
      }
      number = names_.Intern(name_, length, NameTable::Finish(hash, length));
    }
    block.names.push_back(number);
    return number;
  }

  // FindFirst over the window, which grows until a stop or the end of the input is found.
  template <class Set>
  size_t Find(size_t pos) {
    for (;;) {
      pos = FindFirst<Set>(text_, pos);
      if (pos < text_.size() || !More()) return pos;
    }
  }

  // Leaves the position at the start of the value, or behind the '{' of a block.
  ValueClass Classify() {
    SkipBlanks();
    const char first = Peek();
    if (first == '\0' || first == '}') return ValueClass::kNothing;
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
    // Only digits, '-', '.', ',' and blanks make numbers: any other first character makes a
    // text, such as a KUID, whose line need not be scanned twice.
    if (first == '"' || (!IsAsciiDigit(first) && first != '-' && first != '.' && first != ',')) {
      return ValueClass::kText;
    }

    const size_t end = Find<LineEnds>(pos_);
    lineEnd_ = end;
    std::string_view line = text_.substr(pos_, end - pos_);
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);

    size_t i = line[0] == '-' ? 1 : 0;
    size_t dots = 0;
    for (; i < line.size(); ++i) {
      if (line[i] == '.') {
        ++dots;
      } else if (!IsAsciiDigit(line[i])) {
        break;
      }
    }
    if (i == line.size()) return dots == 0 ? ValueClass::kInteger : ValueClass::kFloat;
    for (const char c : line) {
      if (!IsAsciiDigit(c) && c != '-' && c != '.' && c != ',' && !IsBlank(c)) {
        return ValueClass::kText;
      }
    }
    return ValueClass::kNumberList;
  }

  // Reads a text value, unfolding "\n". A value in one piece is a view of the input; one that is
  // put together lives in a buffer of the parser and stays valid until the next value is read.
  // Classify has left the position at the value's first character, neither an end nor a blank.
  std::string_view ReadValueText() {
    if (Peek() == '"') {
      ++pos_;
      const size_t run = pos_;
      pos_ = Find<QuotedEnds>(pos_);
      const char stop = Peek();
      if (stop == '\0' || stop == '"') {
        const std::string_view value = text_.substr(run, pos_ - run);
        if (stop == '"') ++pos_;
        return value;
      }
      // Line ends inside quotes: CR, LF, CR LF and LF CR each become one CR LF.
      value_.clear();
      Put(text_.substr(run, pos_ - run));
      for (char c = stop; c != '\0'; c = Peek()) {
        ++pos_;
        if (c == '"') break;
        const char after = Peek();
        if (IsLineEnd(after) && after != c) ++pos_;
        Put("\r\n");
        const size_t next = pos_;
        pos_ = Find<QuotedEnds>(pos_);
        Put(text_.substr(next, pos_ - next));
      }
      return value_;
    }

    const size_t run = pos_;
    pos_ = Find<ValueEnds>(pos_);
    if (Peek() != '\\') return text_.substr(run, pos_ - run);
    value_.clear();
    Put(text_.substr(run, pos_ - run));
    while (Peek() == '\\') {
      if (Has(pos_ + 1) && text_[pos_ + 1] == 'n') {
        Put("\r\n");
        pos_ += 2;
      } else {
        Put("\\");
        ++pos_;
      }
      const size_t next = pos_;
      pos_ = Find<ValueEnds>(pos_);
      Put(text_.substr(next, pos_ - next));
    }
    return value_;
  }

  // The value that Classify found to be numbers: the rest of its line, of which at most `limit`
  // characters count.
  std::string_view TakeNumberText(size_t limit) {
    const size_t run = pos_;
    pos_ = lineEnd_;
    return text_.substr(run, std::min(pos_ - run, limit));
  }

  void Put(std::string_view piece) { value_.append(piece); }

  void StoreNumberList(u32 name, std::string_view value) {
    numbers_.clear();
    size_t i = 0;
    while (i < value.size()) {
      while (i < value.size() && (value[i] == ' ' || value[i] == ',')) ++i;
      const size_t start = i;
      while (i < value.size() && value[i] != ' ' && value[i] != ',') ++i;
      if (i > start) numbers_.push_back(ParseFloat(value.substr(start, i - start)));
    }
    if (numbers_.empty()) {
      // A list without numbers stores nothing, yet still replaces an earlier tag of the name.
      OpenBlock& block = Innermost();
      if (block.HasName(name)) block.Drop(name);
      return;
    }
    Store(name, FloatsValue(slabs_, numbers_.data(), numbers_.size()));
  }

  void StoreText(u32 name, std::string_view value) {
    // Every form of a KUID starts with '<'.
    if (!value.empty() && value[0] == '<') {
      KUID kuid;
      if (ParsePlainKuid(value, kuid)) {
        Store(name, KUIDValue(slabs_, kuid));
        return;
      }
      if ((StartsWithIgnoreCase(value, "<kuid:") || StartsWithIgnoreCase(value, "<kuid2:") ||
           StartsWithIgnoreCase(value, "<null>")) &&
          CountOccurrences(value, "<kuid:") + CountOccurrences(value, "<kuid2:") <= 1) {
        converted_.assign(value);
        Store(name, KUIDValue(slabs_, KUID::Parse(converted_.c_str(), false)));
        return;
      }
    }
    if (!utf8_) {
      bool high = false;
      for (const char c : value) high |= u8(c) >= 0x80;
      if (high) {
        if (!Qel::ConvertCodePage(value, Qel::kCodePageAnsi, Qel::kCodePageUtf8, &converted_)) {
          converted_.clear();
        }
        value = converted_;
      }
    }
    Store(name, TextValue(slabs_, value));
  }

  // The part of the text taken so far, or the window of the stream; pos_ is in it, base_ is
  // where it starts.
  std::string_view text_;
  size_t pos_ = 0;
  // The end of the line of the value that Classify looked at last.
  size_t lineEnd_ = 0;
  size_t base_ = 0;
  bool utf8_;
  TStream* in_ = nullptr;
  std::unique_ptr<char[]> window_;
  size_t capacity_ = 0;
  size_t read_ = 0;
  bool inputEnded_ = false;
  bool streamDry_ = false;
  Soup* target_ = nullptr;
  SoupSlabMaker slabs_;
  NameTable names_;
  // The open blocks are the first depth_ entries; the rest wait to be reused.
  std::vector<OpenBlock> stack_;
  size_t depth_ = 0;
  // Room for a name and the rest of its last word.
  char name_[kSoupTextMaxReadName + 8];
  std::string value_;
  std::string converted_;
  std::vector<f32> numbers_;
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
      bool& afterBareName = stack.back().afterBareName;
      if (child->GetKind() == kKindContainer) {
        // Deeper blocks could not be read back: they are left out.
        if (depth + 1 > kMaxSoupDepth) continue;
        if (index != 0) {
          Indent(depth);
          Put("\r\n");
        }
        Indent(depth);
        Put(WrittenName(stack.back(), index, name));
        Put("\r\n");
        Indent(depth);
        Put("{\r\n");
        afterBareName = false;
        stack.emplace_back(child.Get());
        continue;
      }
      const std::string safeName = WrittenName(stack.back(), index, name);
      Indent(depth);
      Put(safeName);
      const size_t used = 2 * depth + safeName.size();
      Spaces(used + 1 < kSoupTextValueColumn ? kSoupTextValueColumn - used : 1);
      afterBareName = !PutValue(child.Get());
      Put("\r\n");
    }
  }

 private:
  static constexpr size_t kFlushSize = 1 << 16;

  // A container being written.
  struct Frame {
    explicit Frame(const ACSChunk* container) : node(const_cast<ACSChunk*>(container)) {}

    bool NextChild(Qel::PString& name, MPRef<ACSChunk>& child) {
      return node->GetChildAt(next++, name, child);
    }

    MPRef<ACSChunk> node;
    u32 next = 0;
    // The last child written was a name alone, with no value after it.
    bool afterBareName = false;
    // Once a name of this block had to change, every name written in it, so that no two read
    // back as one tag (the later replacing the earlier). Empty while the names are written as
    // they are, which a block's distinct names cannot make collide.
    std::unordered_set<std::string> written;
  };

  // The safe name of the child at `index`, made distinct from the names written before it in the
  // block. A renamed child takes "_" and a number, which cannot change again when read back.
  static std::string WrittenName(Frame& frame, u32 index, const Qel::PString& name) {
    std::string safe = SafeName(name, frame.afterBareName);
    if (frame.written.empty()) {
      if (safe == name.View()) return safe;
      // The first change: the children before it were written under their own names.
      for (u32 i = 0; i < index; ++i) {
        Qel::PString earlier;
        MPRef<ACSChunk> child;
        if (frame.node->GetChildAt(i, earlier, child)) frame.written.emplace(earlier.View());
      }
    }
    if (frame.written.count(safe) != 0) {
      const std::string base = safe.substr(0, kSoupTextMaxWrittenName - 12);
      for (u32 n = 2;; ++n) {
        safe = base + "_" + std::to_string(n);
        if (frame.written.count(safe) == 0) break;
      }
    }
    frame.written.insert(safe);
    return safe;
  }

  // A name that reads back as itself: limited in length, control, blank, high and '}' bytes
  // replaced, capitals lowered, and never empty. A '{' stays, except first in a name that follows
  // a bare name: the reader would take it for the block of that name, holding all that follows.
  static std::string SafeName(const Qel::PString& name, bool afterBareName) {
    const std::string_view view = name.View().substr(0, kSoupTextMaxWrittenName);
    if (view.empty()) return "_";
    std::string safe(view);
    for (char& c : safe) {
      const u8 byte = u8(c);
      if (byte <= 0x20 || byte >= 0x80 || c == '}') {
        c = '_';
      } else {
        c = LowerAscii(c);
      }
    }
    if (afterBareName && safe[0] == '{') safe[0] = '_';
    return safe;
  }

  // False when nothing was written.
  bool PutValue(const ACSChunk* node) {
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
    if (value.empty()) return false;
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
    return true;
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
  return TextParser(text, utf8).Run(target);
}

void Soup::ParseText(Soup& target, TStream& in, bool utf8) {
  target.Clear();
  if (!in.IsOpen()) return;
  const u32 start = in.Tell();
  if (typeid(in) == typeid(TBuffer)) {
    // Bytes in memory are read in place rather than copied piece by piece into a window. The
    // stream ends where a reader of all of it would leave it.
    const Qel::DynamicBuffer* buffer = static_cast<TBuffer&>(in).GetBuffer();
    const u32 size = buffer->GetDataSize();
    std::string_view rest;
    if (start < size) {
      rest =
          std::string_view(reinterpret_cast<const char*>(buffer->GetData()) + start, size - start);
    }
    const size_t used = ParseSoupText(target, rest, utf8);
    in.Seek(i64(start) + i64(used), 0);
    return;
  }
  TextParser parser(in, utf8);
  const size_t used = parser.Run(target);
  // The rest of the stream is read even when the parse ended early (at a stray '}' or a zero
  // byte): the short-read check and the final position are those of a reader of all of it.
  size_t read = parser.CountRead();
  if (!parser.IsStreamDry()) {
    std::string rest(1 << 16, '\0');
    for (;;) {
      const u32 got = in.ReadBuffered(rest.data(), u32(rest.size()));
      if (got == 0) break;
      read += got;
    }
  }
  // Running dry before the end is a short read; what arrived is parsed all the same.
  if (!in.IsEof()) in.SetError(TStream::kErrorShortRead);
  // The stream is left where the text ended for the parser (before a stray '}', at a zero byte).
  if (used < read) in.Seek(i64(start) + i64(used), 0);
}

void WriteSoupText(TStream& out, const Soup& soup) {
  const MPRef<ACSChunk>& root = soup.GetRoot();
  if (!root) return;
  TextWriter(out).Write(root.Get());
}
