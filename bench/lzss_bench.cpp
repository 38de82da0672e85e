// LZSS against zlib on the same generated inputs: encode at level 9 against deflate level 6,
// decode against inflate. Throughput is over uncompressed bytes; "ratio" is compressed/original.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "qel/lzss.h"

namespace {

using Bytes = std::vector<u8>;

const size_t kCorpusSize = BenchSize<size_t>(8u << 20, 256u << 10);

// Pseudo-English: common words drawn with a skewed distribution, sentences and paragraphs.
Bytes TextCorpus() {
  static const char* const kWords[] = {
      "the",      "of",       "and",       "to",        "in",         "a",        "is",
      "that",     "for",      "it",        "as",        "was",        "with",     "be",
      "by",       "on",       "not",       "he",        "this",       "are",      "or",
      "his",      "from",     "at",        "which",     "but",        "have",     "an",
      "had",      "they",     "you",       "were",      "their",      "one",      "all",
      "we",       "can",      "her",       "has",       "there",      "been",     "if",
      "more",     "when",     "will",      "would",     "who",        "so",       "no",
      "train",    "station",  "track",     "signal",    "junction",   "platform", "engine",
      "carriage", "freight",  "passenger", "timetable", "locomotive", "bridge",   "tunnel",
      "route",    "driver",   "siding",    "points",    "gradient",   "curve",    "viaduct",
      "depot",    "coal",     "water",     "steam",     "diesel",     "electric", "line",
      "north",    "south",    "valley",    "river",     "town",       "village",  "morning",
      "evening",  "journey",  "ticket",    "guard",     "whistle",    "speed",    "brake",
      "wagon",    "shunting", "yard",      "semaphore", "lamp",
  };
  constexpr size_t kCount = sizeof kWords / sizeof kWords[0];
  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Bytes out;
  out.reserve(kCorpusSize + 64);
  bool capital = true;
  int inSentence = 0;
  int inParagraph = 0;
  while (out.size() < kCorpusSize) {
    const size_t w = size_t(std::pow(unit(rng), 2.5) * kCount);
    std::string word = kWords[w < kCount ? w : kCount - 1];
    if (capital) word[0] = char(word[0] - 'a' + 'A');
    capital = false;
    out.insert(out.end(), word.begin(), word.end());
    if (++inSentence > 5 && unit(rng) < 0.15) {
      out.push_back(unit(rng) < 0.9 ? '.' : '?');
      capital = true;
      inSentence = 0;
      if (++inParagraph > 4 && unit(rng) < 0.3) {
        out.insert(out.end(), {'\n', '\n'});
        inParagraph = 0;
        continue;
      }
    } else if (unit(rng) < 0.06) {
      out.push_back(',');
    }
    out.push_back(' ');
  }
  out.resize(kCorpusSize);
  return out;
}

template <typename T>
void Put(Bytes& out, T v) {
  const size_t at = out.size();
  out.resize(at + sizeof v);
  std::memcpy(out.data() + at, &v, sizeof v);
}

// Mesh-like records: chunk headers, vertices on a noisy grid (position, normal, uv), triangle
// indices, and now and then a copy of an earlier chunk, as instanced parts repeat.
Bytes BinaryCorpus() {
  std::mt19937 rng(777);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  Bytes out;
  out.reserve(kCorpusSize + (1u << 16));
  std::vector<std::pair<size_t, size_t>> chunks;
  u32 chunkId = 0;
  while (out.size() < kCorpusSize) {
    if (chunks.size() > 4 && rng() % 5 == 0) {
      const auto [at, len] = chunks[rng() % chunks.size()];
      out.insert(out.end(), out.begin() + long(at), out.begin() + long(at + len));
      continue;
    }
    const size_t start = out.size();
    const u32 side = 8 + rng() % 24;
    Put(out, u32(0x4D455348));
    Put(out, chunkId++);
    Put(out, side * side);
    const float scale = 0.5f + float(rng() % 100) / 50.0f;
    for (u32 y = 0; y < side; ++y) {
      for (u32 x = 0; x < side; ++x) {
        Put(out, float(x) * scale);
        Put(out, float(y) * scale);
        Put(out, std::sin(float(x + y) * 0.3f) + noise(rng));
        Put(out, 0.0f);
        Put(out, 0.0f);
        Put(out, 1.0f);
        Put(out, float(x) / float(side - 1));
        Put(out, float(y) / float(side - 1));
      }
    }
    for (u32 y = 0; y + 1 < side; ++y) {
      for (u32 x = 0; x + 1 < side; ++x) {
        const u16 i = u16(y * side + x);
        for (u16 v : {i, u16(i + 1), u16(i + side), u16(i + 1), u16(i + side + 1), u16(i + side)}) {
          Put(out, v);
        }
      }
    }
    chunks.emplace_back(start, out.size() - start);
  }
  out.resize(kCorpusSize);
  return out;
}

enum class Corpus { kText, kBinary };

const Bytes& CorpusBytes(Corpus which) {
  static const Bytes text = TextCorpus();
  static const Bytes binary = BinaryCorpus();
  return which == Corpus::kText ? text : binary;
}

Bytes LzssPacked(const Bytes& src) {
  Bytes out(Qel::LZSSCompress::MaxCompressedSize(u32(src.size())));
  Qel::LZSSCompress codec;
  out.resize(codec.CompressBlock(src.data(), u32(src.size()), out.data(), u32(out.size()), 9));
  return out;
}

Bytes ZlibPacked(const Bytes& src) {
  uLongf n = compressBound(uLong(src.size()));
  Bytes out(n);
  if (compress2(out.data(), &n, src.data(), uLong(src.size()), 6) != Z_OK) n = 0;
  out.resize(n);
  return out;
}

void Finish(benchmark::State& state, const Bytes& src, size_t packed) {
  state.SetBytesProcessed(i64(state.iterations()) * i64(src.size()));
  state.counters["ratio"] = double(packed) / double(src.size());
}

void BM_LzssEncode(benchmark::State& state, Corpus which) {
  const Bytes& src = CorpusBytes(which);
  Bytes out(Qel::LZSSCompress::MaxCompressedSize(u32(src.size())));
  Qel::LZSSCompress codec;
  u32 n = 0;
  for (auto _ : state) {
    n = codec.CompressBlock(src.data(), u32(src.size()), out.data(), u32(out.size()), 9);
    benchmark::DoNotOptimize(n);
  }
  if (n == 0) state.SkipWithError("compression failed");
  Finish(state, src, n);
}

void BM_ZlibDeflate6(benchmark::State& state, Corpus which) {
  const Bytes& src = CorpusBytes(which);
  Bytes out(compressBound(uLong(src.size())));
  uLongf n = 0;
  for (auto _ : state) {
    n = uLongf(out.size());
    if (compress2(out.data(), &n, src.data(), uLong(src.size()), 6) != Z_OK) {
      state.SkipWithError("deflate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, src, n);
}

void BM_LzssDecode(benchmark::State& state, Corpus which) {
  const Bytes& src = CorpusBytes(which);
  const Bytes packed = LzssPacked(src);
  Bytes out(src.size());
  Qel::LZSSCompress codec;
  for (auto _ : state) {
    const u32 n =
        codec.DecompressBlock(packed.data(), u32(packed.size()), out.data(), u32(out.size()));
    if (n != out.size()) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != src) state.SkipWithError("decode differs");
  Finish(state, src, packed.size());
}

void BM_ZlibInflate(benchmark::State& state, Corpus which) {
  const Bytes& src = CorpusBytes(which);
  const Bytes packed = ZlibPacked(src);
  Bytes out(src.size());
  for (auto _ : state) {
    uLongf n = uLongf(out.size());
    if (uncompress(out.data(), &n, packed.data(), uLong(packed.size())) != Z_OK ||
        n != out.size()) {
      state.SkipWithError("inflate failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  Finish(state, src, packed.size());
}

BENCHMARK_CAPTURE(BM_LzssEncode, text, Corpus::kText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibDeflate6, text, Corpus::kText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzssEncode, binary, Corpus::kBinary)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibDeflate6, binary, Corpus::kBinary)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzssDecode, text, Corpus::kText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflate, text, Corpus::kText)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzssDecode, binary, Corpus::kBinary)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflate, binary, Corpus::kBinary)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
