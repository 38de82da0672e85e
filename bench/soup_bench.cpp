// Soup reading against a peer, on one generated document of about 20 MB in the text form: nested
// containers, integers, integer lists, floats, texts and KUIDs.
//   BM_TextSoupParse:      Soup::ParseText of the text form;
//   BM_RapidJsonParse:     rapidjson's DOM parse of the same content written as JSON (KUIDs as
//                          strings);
//   BM_BinarySoupReadWalk: the binary form read and checked (ReadSoupBinary), then every tag
//                          walked chunk by chunk, its name and value touched;
//   BM_BinarySoupViewWalk: Soup::ReadBinary, then every tag walked through the view nodes, as a
//                          caller of the tree interface does.
// Each run builds and destroys its whole tree. Throughput is over each form's own bytes; the
// ratios printed at the end compare the CPU times for the same content. "x_text" is the heap a
// parsed tree holds over the size of the text form.
#include <benchmark/benchmark.h>
#include <malloc.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wclass-memaccess"
#include <rapidjson/document.h>
#pragma GCC diagnostic pop

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "assetdata/soup_text.h"
#include "bench_support.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "platform/byte_order.h"
#include "qel/dynamic_buffer.h"
#include "ratio_reporter.h"

namespace {

const size_t kTargetTextSize = BenchSize<size_t>(20u << 20, 256u << 10);

std::string Pick(std::mt19937& rng, std::initializer_list<const char*> words) {
  return *(words.begin() + rng() % words.size());
}

std::string Sentence(std::mt19937& rng, int words) {
  std::string out;
  for (int i = 0; i < words; ++i) {
    if (i) out += ' ';
    out += Pick(rng, {"station", "platform", "signal", "brick", "goods", "shed", "engine", "north",
                      "valley", "timber", "bridge", "water", "tower", "lamp", "yard", "coal"});
  }
  return out;
}

KUID RandomKuid(std::mt19937& rng) {
  return KUID(i32(rng() % 900000) + 1, i32(rng() % 200000), i32(rng() % 128));
}

void SetInts(Soup& soup, const char* name, const std::vector<i32>& values) {
  soup.GetRoot()->AddChild(
      name, soup.GetRoot()->CreateTag(
                kKindInt, ACSRawDataCore::CreateCopy(values.data(), u32(values.size() * 4))));
}

// One asset configuration, roughly 900 bytes in the text form.
Soup Asset(std::mt19937& rng) {
  Soup a;
  a.SetNamedKUID("kuid", RandomKuid(rng));
  a.SetNamedTag("username", Qel::PString(Sentence(rng, 3)));
  a.SetNamedTag("kind", Qel::PString(Pick(rng, {"scenery", "mesh", "traincar", "track"})));
  a.SetNamedFloat("trainz-build", f32(3 + rng() % 3) + 0.5f);
  a.SetNamedInt("category-era", i32(1900 + rng() % 120));
  a.SetNamedTag("category-region", Qel::PString(Pick(rng, {"UK", "DE", "US", "AU", "FR"})));
  a.SetNamedTag("description", Qel::PString(Sentence(rng, 12 + int(rng() % 12))));
  SetInts(a, "dimensions", {i32(rng() % 100), i32(rng() % 40), i32(rng() % 30)});
  a.SetNamedFloat("light", f32(rng() % 1000) / 8);
  Soup meshes;
  for (int m = 0; m < 2; ++m) {
    Soup mesh;
    mesh.SetNamedTag("mesh", Qel::PString("body/" + Sentence(rng, 1) + std::to_string(m) + ".im"));
    mesh.SetNamedInt("auto-create", 1);
    mesh.SetNamedFloat("offset", f32(rng() % 64) / 4);
    Soup effects;
    Soup effect;
    effect.SetNamedTag("kind", "attachment");
    effect.SetNamedTag("att", Qel::PString("a." + Sentence(rng, 1)));
    effect.SetNamedKUID("default-object", RandomKuid(rng));
    effects.SetNamedSoup("0", effect);
    mesh.SetNamedSoup("effects", effects);
    meshes.SetNamedSoup(m ? Qel::PString("lod") : Qel::PString("default"), mesh);
  }
  a.SetNamedSoup("mesh-table", meshes);
  Soup kuids;
  const int refs = int(rng() % 6);
  for (int k = 0; k < refs; ++k)
    kuids.SetNamedKUID(Qel::PString(std::to_string(k)), RandomKuid(rng));
  a.SetNamedSoup("kuid-table", kuids);
  return a;
}

void Escape(const char* text, std::string& out) {
  out += '"';
  for (const char* p = text; *p; ++p) {
    if (*p == '"' || *p == '\\') out += '\\';
    out += *p;
  }
  out += '"';
}

// The same tree as JSON: containers are objects, lists are arrays, KUIDs are strings.
void WriteJson(const ACSChunk* node, std::string& out) {
  out += '{';
  const u32 count = node->CountChildren();
  for (u32 i = 0; i < count; ++i) {
    Qel::PString name;
    MPRef<ACSChunk> child;
    node->GetChildAt(i, name, child);
    if (i) out += ',';
    Escape(name.CStr(), out);
    out += ':';
    const u8* data = child->GetData();
    const u32 size = child->GetDataSize();
    char number[32];
    switch (child->GetKind()) {
      case kKindContainer:
        WriteJson(child.Get(), out);
        break;
      case kKindInt:
      case kKindFloat: {
        if (size > 4) out += '[';
        for (u32 at = 0; at + 4 <= size; at += 4) {
          if (at) out += ',';
          if (child->GetKind() == kKindInt) {
            const i32 v = i32(ByteOrder::LoadLE32(data + at));
            std::snprintf(number, sizeof number, "%d", v);
          } else {
            const f32 v = ByteOrder::LoadLEF32(data + at);
            std::snprintf(number, sizeof number, "%g", double(v));
          }
          out += number;
        }
        if (size > 4) out += ']';
        break;
      }
      case kKindKUID: {
        const u32 word = ByteOrder::LoadLE32(data);
        const u32 content = ByteOrder::LoadLE32(data + 4);
        Escape(KUID::Unpack(word, content).ToString().CStr(), out);
        break;
      }
      default:
        Escape(size ? reinterpret_cast<const char*>(data) : "", out);
        break;
    }
  }
  out += '}';
}

struct Content {
  u32 tags = 0;
  std::string text;
  std::string json;
  std::string binary;
};

std::string Bytes(const Qel::DynamicBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

const Content& GetContent() {
  static const Content content = [] {
    std::mt19937 rng(20240611);
    // The size of one asset's text decides how many make the document.
    Soup probe;
    Soup one = Asset(rng);
    probe.SetNamedSoup("asset-0", one);
    Qel::DynamicBuffer probeText;
    TBuffer probeOut(&probeText, false);
    WriteSoupText(probeOut, probe);
    const size_t assets = kTargetTextSize / probeText.GetDataSize();

    rng.seed(20240611);
    Soup root;
    root.EnsureContainer();
    for (size_t i = 0; i < assets; ++i) {
      Soup asset = Asset(rng);
      root.GetRoot()->AddChild(Qel::PString("asset-" + std::to_string(i)), asset.GetRoot());
    }
    Content c;
    Qel::DynamicBuffer text;
    TBuffer textOut(&text, false);
    WriteSoupText(textOut, root);
    c.text = Bytes(text);
    Qel::DynamicBuffer binary;
    TBuffer binaryOut(&binary, false);
    WriteSoup(binaryOut, root);
    c.binary = Bytes(binary);
    WriteJson(root.GetRoot().Get(), c.json);
    const u8* body = reinterpret_cast<const u8*>(c.binary.data()) + kSoupHeaderSize;
    std::vector<SoupChunkWalker> walkers{
        SoupChunkWalker(body, 0, u32(c.binary.size() - kSoupHeaderSize))};
    while (!walkers.empty()) {
      SoupChunk chunk;
      if (!walkers.back().Next(chunk)) {
        walkers.pop_back();
        continue;
      }
      ++c.tags;
      if (chunk.type == kChunkContainer) {
        walkers.emplace_back(body, chunk.payloadOffset, chunk.payloadSize);
      }
    }
    // The peers must read the whole document, or the comparison means nothing.
    rapidjson::Document json;
    json.Parse(c.json.data(), c.json.size());
    Soup parsed;
    ParseSoupText(parsed, c.text, false);
    if (json.HasParseError() || !json.IsObject() || json.MemberCount() != assets ||
        parsed.CountTags() != assets) {
      std::fprintf(stderr, "the generated document does not read back\n");
      std::abort();
    }
    return c;
  }();
  return content;
}

// Fixed bytes, read from the start by a new stream in every run.
struct Input {
  explicit Input(const std::string& bytes) { buffer.Write(bytes.data(), u32(bytes.size())); }
  Qel::DynamicBuffer buffer;
};

// Every tag through the tree interface, depth first in stored order: names, nodes and values.
u64 WalkEveryNode(const ACSChunk* root) {
  struct Frame {
    MPRef<ACSChunk> node;
    u32 next;
    u32 count;
  };
  u64 touched = 0;
  std::vector<Frame> stack;
  stack.push_back({MPRef<ACSChunk>(const_cast<ACSChunk*>(root)), 0, root->CountChildren()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.count) {
      stack.pop_back();
      continue;
    }
    Qel::PString name;
    MPRef<ACSChunk> child;
    if (!top.node->GetChildAt(top.next++, name, child)) continue;
    touched += name.Length() + child->GetDataSize();
    if (const u8* data = child->GetData()) touched += data[0];
    if (child->GetKind() == kKindContainer) {
      const u32 count = child->CountChildren();
      stack.push_back({std::move(child), 0, count});
    }
  }
  return touched;
}

// Every tag of a checked body, chunk by chunk in stored order: names, types and values.
u64 WalkEveryChunk(const u8* body, u32 size) {
  u64 touched = 0;
  std::vector<SoupChunkWalker> stack{SoupChunkWalker(body, 0, size)};
  while (!stack.empty()) {
    SoupChunk chunk;
    if (!stack.back().Next(chunk)) {
      stack.pop_back();
      continue;
    }
    touched += chunk.name.size() + chunk.type + chunk.payloadSize;
    if (chunk.payloadSize) touched += body[chunk.payloadOffset];
    if (chunk.type == kChunkContainer) {
      stack.emplace_back(body, chunk.payloadOffset, chunk.payloadSize);
    }
  }
  return touched;
}

// The heap in use, in bytes.
double HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return double(info.uordblks + info.hblkhd);
}

void BM_TextSoupParse(benchmark::State& state) {
  const Content& c = GetContent();
  Input input(c.text);
  for (auto _ : state) {
    input.buffer.SetPosition(0);
    TBuffer in(&input.buffer, false);
    Soup soup;
    Soup::ParseText(soup, in, false);
    benchmark::DoNotOptimize(soup.CountTags());
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(c.text.size()));
  // The tree's memory over the text's size, from one more parse outside the timing: a parse only
  // grows what it holds, so what it holds at its end is its peak, give or take its read window.
  input.buffer.SetPosition(0);
  TBuffer in(&input.buffer, false);
  const double before = HeapInUse();
  Soup soup;
  Soup::ParseText(soup, in, false);
  state.counters["x_text"] = (HeapInUse() - before) / double(c.text.size());
}

void BM_RapidJsonParse(benchmark::State& state) {
  const Content& c = GetContent();
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(c.json.data(), c.json.size());
    benchmark::DoNotOptimize(d.HasParseError());
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(c.json.size()));
  // Over the size of the same content's text form, for comparison.
  const double before = HeapInUse();
  rapidjson::Document d;
  d.Parse(c.json.data(), c.json.size());
  state.counters["x_text"] = (HeapInUse() - before) / double(c.text.size());
}

void BM_BinarySoupReadWalk(benchmark::State& state) {
  const Content& c = GetContent();
  Input input(c.binary);
  for (auto _ : state) {
    input.buffer.SetPosition(0);
    TBuffer in(&input.buffer, false);
    u32 version = 0;
    SoupBody body;
    ReadSoupBinary(in, version, body);
    benchmark::DoNotOptimize(WalkEveryChunk(body.Data(), body.Size()));
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(c.binary.size()));
}

void BM_BinarySoupViewWalk(benchmark::State& state) {
  const Content& c = GetContent();
  Input input(c.binary);
  for (auto _ : state) {
    input.buffer.SetPosition(0);
    TBuffer in(&input.buffer, false);
    Soup soup;
    Soup::ReadBinary(soup, in);
    benchmark::DoNotOptimize(WalkEveryNode(soup.GetRoot().Get()));
  }
  state.SetBytesProcessed(i64(state.iterations()) * i64(c.binary.size()));
}

// At full size, six half-second rounds each, of which the ratios take the best, so that a slow
// minute of a shared machine does not decide them; a small run takes the command line's time.
void Timed(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond);
  if (!BenchIsSmall()) b->MinTime(0.5)->Repetitions(6);
}
BENCHMARK(BM_TextSoupParse)->Apply(Timed);
BENCHMARK(BM_RapidJsonParse)->Apply(Timed);
BENCHMARK(BM_BinarySoupReadWalk)->Apply(Timed);
BENCHMARK(BM_BinarySoupViewWalk)->Apply(Timed);

// The shared reporter on processor time, which also keeps the tree's memory over the text's size.
class SoupRatioReporter : public RatioReporter {
 public:
  SoupRatioReporter() : RatioReporter(Clock::kProcessor) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto memory = run.counters.find("x_text");
      if (run.run_type == Run::RT_Iteration && run.run_name.function_name == "BM_TextSoupParse" &&
          memory != run.counters.end()) {
        textMemory_ = memory->second;
      }
    }
    RatioReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    const double text = Seconds("BM_TextSoupParse");
    const double json = Seconds("BM_RapidJsonParse");
    const double binary = Seconds("BM_BinarySoupReadWalk");
    const double view = Seconds("BM_BinarySoupViewWalk");
    const Content& c = GetContent();
    std::printf("\nSame content: text %.1f MB, JSON %.1f MB, binary %.1f MB, %u tags\n",
                double(c.text.size()) / 1e6, double(c.json.size()) / 1e6,
                double(c.binary.size()) / 1e6, c.tags);
    if (text > 0 && json > 0) {
      std::printf("text parse / rapidjson parse time: %.2fx (target at most 1.5x)\n", text / json);
      std::printf("text parse memory / text size: %.2fx (target at most 2x)\n", textMemory_);
    }
    if (text > 0 && binary > 0) {
      std::printf("text parse / binary read, check and walk time: %.2fx (target at least 5x)\n",
                  text / binary);
    }
    if (text > 0 && view > 0) {
      std::printf("text parse / binary read and walk through the views time: %.2fx\n", text / view);
    }
  }

 private:
  double textMemory_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SoupRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
