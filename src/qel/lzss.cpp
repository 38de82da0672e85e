#include "qel/lzss.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

namespace Qel {

namespace {

constexpr u32 kWindow = LZSSCompress::kWindowSize;
constexpr u32 kWindowMask = kWindow - 1;
constexpr u32 kMinMatch = LZSSCompress::kMinMatch;
constexpr u32 kMaxMatch = LZSSCompress::kMaxMatch;

// The most one group can take: a flag byte and eight matches.
constexpr size_t kGroupIn = 1 + 8 * 2;
// The most one group can write, plus the overrun of the fast match copy.
constexpr size_t kGroupOutSlack = 8 * kMaxMatch + 16;

inline u64 Load64(const u8* p) {
  u64 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Copies a match whose source lies entirely in already written output. Writes up to 13 bytes
// past out + len, so the caller must leave 16 bytes of room.
inline void CopyMatchFast(u8* out, size_t dist, size_t len) {
  const u8* from = out - dist;
  if (dist >= 8) {
    // Each 8-byte chunk reads only bytes written before it.
    std::memcpy(out, from, 8);
    std::memcpy(out + 8, from + 8, 8);
    if (len > 16) std::memcpy(out + 16, from + 16, 8);
  } else {
    for (size_t i = 0; i < len; ++i) out[i] = from[i];
  }
}

// Decodes whole groups from [in, inEnd) into [out, outEnd); matches may reach back to outBegin.
// Without inputFinal it stops when the next group might not be complete in the input; without
// outputFinal it stops when the next group might not fit in the output. Otherwise a group that does
// not fit is checked item by item. False on a malformed stream.
bool DecodeGroups(const u8*& inRef, const u8* inEnd, bool inputFinal, u8*& outRef,
                  const u8* outBegin, u8* outEnd, bool outputFinal) {
  const u8* in = inRef;
  u8* out = outRef;
  bool ok = true;
  while (in < inEnd) {
    const size_t inLeft = size_t(inEnd - in);
    const size_t outLeft = size_t(outEnd - out);
    if (inLeft >= kGroupIn && outLeft >= kGroupOutSlack) {
      u32 flags = *in++;
      if (flags == 0xFF) {
        std::memcpy(out, in, 8);
        in += 8;
        out += 8;
        continue;
      }
      for (int i = 0; i < 8; ++i, flags >>= 1) {
        if (flags & 1) {
          *out++ = *in++;
          continue;
        }
        const u32 b0 = in[0];
        const u32 b1 = in[1];
        in += 2;
        const size_t dist = (((b1 & 0xF0) << 4) | b0) + 1;
        const size_t len = (b1 & 0x0F) + kMinMatch;
        if (dist > size_t(out - outBegin)) {
          ok = false;
          goto done;
        }
        CopyMatchFast(out, dist, len);
        out += len;
      }
      continue;
    }
    if (!inputFinal && inLeft < kGroupIn) break;
    if (!outputFinal && outLeft < kGroupOutSlack) break;

    u32 flags = *in++;
    if (in == inEnd) {  // a flag byte with no item
      ok = false;
      goto done;
    }
    for (int i = 0; i < 8 && in < inEnd; ++i, flags >>= 1) {
      if (flags & 1) {
        if (out == outEnd) {
          ok = false;
          goto done;
        }
        *out++ = *in++;
        continue;
      }
      if (inEnd - in < 2) {
        ok = false;
        goto done;
      }
      const u32 b0 = in[0];
      const u32 b1 = in[1];
      in += 2;
      const size_t dist = (((b1 & 0xF0) << 4) | b0) + 1;
      const size_t len = (b1 & 0x0F) + kMinMatch;
      if (dist > size_t(out - outBegin) || len > size_t(outEnd - out)) {
        ok = false;
        goto done;
      }
      const u8* from = out - dist;
      for (size_t k = 0; k < len; ++k) out[k] = from[k];
      out += len;
    }
  }
done:
  inRef = in;
  outRef = out;
  return ok;
}

struct LevelParams {
  u32 chain;      // candidates tried per position
  u32 lazyBelow;  // look one byte ahead when the match found is shorter than this (0: never)
};

constexpr LevelParams kLevels[10] = {
    {1, 0}, {2, 0}, {4, 0}, {6, 0}, {8, 8}, {12, 12}, {16, 16}, {24, 18}, {32, 18}, {64, 18},
};

struct Match {
  u32 len = 0;
  u32 dist = 0;
};

inline u32 MatchLength(const u8* a, const u8* b, u32 maxLen) {
  if constexpr (std::endian::native == std::endian::little) {
    if (maxLen == kMaxMatch) {
      u64 x = Load64(a) ^ Load64(b);
      if (x != 0) return u32(std::countr_zero(x)) / 8;
      x = Load64(a + 8) ^ Load64(b + 8);
      if (x != 0) return 8 + u32(std::countr_zero(x)) / 8;
      if (a[16] != b[16]) return 16;
      return a[17] == b[17] ? 18 : 17;
    }
  }
  u32 len = 0;
  while (len < maxLen && a[len] == b[len]) ++len;
  return len;
}

class Encoder {
 public:
  Encoder(const u8* src, u32 n, u8* dst, u32 capacity, LevelParams params)
      : src_(src), n_(n), outBegin_(dst), out_(dst), outEnd_(dst + capacity), params_(params) {
    hashBits_ = 10;
    while (hashBits_ < 15 && (u32(1) << hashBits_) < n) ++hashBits_;
    head_.reset(new u32[size_t(1) << hashBits_]());
    prev_.reset(new u32[kWindow]());
  }

  // Returns the compressed size, or 0 when it does not fit.
  u32 Run() {
    Match pending;
    bool havePending = false;
    u32 pos = 0;
    while (pos < n_) {
      Match m;
      if (havePending) {
        m = pending;
        havePending = false;
      } else {
        m = Find(pos);
      }
      Insert(pos);
      if (m.len < kMinMatch) {
        if (!PutLiteral(src_[pos])) return 0;
        ++pos;
        continue;
      }
      if (m.len < params_.lazyBelow && pos + 1 < n_) {
        const Match next = Find(pos + 1);
        if (next.len > m.len) {
          if (!PutLiteral(src_[pos])) return 0;
          ++pos;
          pending = next;
          havePending = true;
          continue;
        }
      }
      if (!PutMatch(m)) return 0;
      const u32 end = pos + m.len;
      for (u32 i = pos + 1; i < end; ++i) Insert(i);
      pos = end;
    }
    if (flagPtr_ != nullptr) *flagPtr_ = u8(flags_);
    return u32(out_ - outBegin_);
  }

 private:
  // Stored positions are offset so that 0 (empty) always lies outside the window.
  static constexpr u32 kOffset = kWindow + 1;

  u32 Hash(u32 pos) const {
    const u8* p = src_ + pos;
    const u32 v = u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16;
    return (v * 0x9E3779B1u) >> (32 - hashBits_);
  }

  void Insert(u32 pos) {
    if (n_ - pos < kMinMatch) return;
    const u32 h = Hash(pos);
    prev_[pos & kWindowMask] = head_[h];
    head_[h] = pos + kOffset;
  }

  Match Find(u32 pos) const {
    const u32 avail = n_ - pos;
    if (avail < kMinMatch) return {};
    const u32 maxLen = std::min(avail, kMaxMatch);
    const u8* cur = src_ + pos;
    u32 cand = head_[Hash(pos)];
    u32 bestLen = kMinMatch - 1;
    u32 bestDist = 0;
    for (u32 chain = params_.chain; chain != 0; --chain) {
      const u32 dist = pos + kOffset - cand;
      if (dist > kWindow) break;
      const u8* c = cur - dist;
      if (c[bestLen] == cur[bestLen] && c[0] == cur[0] && c[1] == cur[1]) {
        const u32 len = MatchLength(c, cur, maxLen);
        if (len > bestLen) {
          bestLen = len;
          bestDist = dist;
          if (len == maxLen) break;
        }
      }
      // Entries within the window are never overwritten, so the chain stays exact.
      cand = prev_[(pos - dist) & kWindowMask];
    }
    if (bestDist == 0) return {};
    return {bestLen, bestDist};
  }

  bool StartItem() {
    if (bit_ < 8) return true;
    if (out_ == outEnd_) return false;
    if (flagPtr_ != nullptr) *flagPtr_ = u8(flags_);
    flagPtr_ = out_++;
    flags_ = 0;
    bit_ = 0;
    return true;
  }

  bool PutLiteral(u8 b) {
    if (!StartItem() || out_ == outEnd_) return false;
    flags_ |= 1u << bit_++;
    *out_++ = b;
    return true;
  }

  bool PutMatch(Match m) {
    if (!StartItem() || outEnd_ - out_ < 2) return false;
    ++bit_;
    const u32 d = m.dist - 1;
    out_[0] = u8(d);
    out_[1] = u8((d >> 8) << 4 | (m.len - kMinMatch));
    out_ += 2;
    return true;
  }

  const u8* src_;
  u32 n_;
  u8* outBegin_;
  u8* out_;
  u8* outEnd_;
  LevelParams params_;
  u32 hashBits_;
  std::unique_ptr<u32[]> head_;
  std::unique_ptr<u32[]> prev_;
  u8* flagPtr_ = nullptr;
  u32 flags_ = 0;
  u32 bit_ = 8;
};

}  // namespace

u32 LZSSCompress::CompressBlock(const void* src, u32 srcLen, void* dst, u32 dstCapacity,
                                int level) {
  if (level < 0 || level > 9 || srcLen == 0 || srcLen > kMaxBlockInput) return 0;
  if (src == nullptr || dst == nullptr) return 0;
  Encoder encoder(static_cast<const u8*>(src), srcLen, static_cast<u8*>(dst), dstCapacity,
                  kLevels[level]);
  return encoder.Run();
}

u32 LZSSCompress::DecompressBlock(const void* src, u32 srcLen, void* dst, u32 expectedLen) {
  if (expectedLen == kDecodeFailed) return 0;
  if ((src == nullptr && srcLen != 0) || (dst == nullptr && expectedLen != 0)) {
    return kDecodeFailed;
  }
  if (srcLen == 0) return 0;
  const u8* in = static_cast<const u8*>(src);
  u8* const outBegin = static_cast<u8*>(dst);
  u8* out = outBegin;
  if (!DecodeGroups(in, in + srcLen, true, out, outBegin, outBegin + expectedLen, true)) {
    return kDecodeFailed;
  }
  return u32(out - outBegin);
}

bool LZSSCompress::DecompressStream(IOSlave& sink, IOSlave& source, u32 sourceLength) {
  constexpr size_t kInSize = 64 * 1024;
  constexpr size_t kOutSize = kWindow + 64 * 1024;
  std::vector<u8> inBuf(kInSize);
  std::vector<u8> outBuf(kOutSize);

  const u8* in = inBuf.data();
  u8* inEnd = inBuf.data();
  u32 remaining = sourceLength;
  u8* const ob = outBuf.data();
  u8* const obEnd = ob + kOutSize;
  u8* out = ob;
  u8* flushed = ob;
  u64 discarded = 0;

  auto fill = [&]() {
    const size_t keep = size_t(inEnd - in);
    std::memmove(inBuf.data(), in, keep);
    in = inBuf.data();
    inEnd = inBuf.data() + keep;
    while (remaining > 0 && inEnd < inBuf.data() + kInSize) {
      const u32 want = u32(std::min<size_t>(remaining, inBuf.data() + kInSize - inEnd));
      const u32 got = source.Read(inEnd, want);
      if (got == 0 || got > want) return false;
      inEnd += got;
      remaining -= got;
    }
    return true;
  };
  auto flush = [&]() {
    const u32 n = u32(out - flushed);
    if (n != 0 && sink.Write(flushed, n) != n) return false;
    flushed = out;
    return true;
  };

  for (;;) {
    if (size_t(inEnd - in) < kGroupIn && remaining > 0 && !fill()) return false;
    if (size_t(obEnd - out) < kGroupOutSlack) {
      if (!flush()) return false;
      // Keep only the window that later matches may reach.
      const size_t drop = size_t(out - ob) - kWindow;
      std::memmove(ob, out - kWindow, kWindow);
      discarded += drop;
      out = flushed = ob + kWindow;
    }
    if (in == inEnd) break;
    if (!DecodeGroups(in, inEnd, remaining == 0, out, ob, obEnd, false)) return false;
    if (discarded + u64(out - ob) > kMaxStreamOutput) return false;
  }
  return flush();
}

}  // namespace Qel
