#include "assetdata/results_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "core/stream.h"
#include "qel/dynamic_buffer.h"

namespace {

// Records every message it receives; may close a pipe when told to.
class Observer : public NuMessageRecipient {
 public:
  int ReceiveMessage(const NuMessageData& message) override {
    received.push_back(std::string(message.GetName().View()) + ":" +
                       std::to_string(message.GetData()));
    if (close_on_message) close_on_message->Close();
    return 0;
  }
  std::vector<std::string> received;
  NuMessagePipe* close_on_message = nullptr;
};

std::vector<u8> Bytes(const TBuffer& stream) {
  const Qel::DynamicBuffer* b = stream.GetBuffer();
  return std::vector<u8>(b->GetData(), b->GetData() + b->GetDataSize());
}

std::vector<u8> WireOf(ResultsLog& log, u32 first = 0) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  log.Write(stream, first);
  return Bytes(stream);
}

// Reads a wire form into the log; returns the stream's error.
u32 ReadWire(const std::vector<u8>& bytes, ResultsLog& log) {
  TBuffer stream(new Qel::DynamicBuffer(), true);
  stream.WriteBytes(bytes.data(), u32(bytes.size()));
  stream.Seek(0, 0);
  ResultsLog::Read(stream, log);
  return stream.GetError();
}

std::vector<std::string> Texts(ResultsLog& log) {
  std::vector<std::string> texts;
  for (const ResultsLogEntry& e : log.GetEntries()) {
    texts.push_back(std::to_string(e.type) + " " + e.text.Std() + " " +
                    std::string(e.property.GetText().View()));
  }
  return texts;
}

void Add(ResultsLog& log, u32 type, const char* text,
         const KestroPropertyRef& property = KestroPropertyRef()) {
  ResultsLog::AddResult(&log, type, property, text);
}

TEST(ReplaceMacro, ExpandsEveryMatchOnce) {
  struct Case {
    const char* text;
    const char* name;
    const char* value;
    const char* expected;
  };
  const Case cases[] = {
      {"Cannot open $(FILE) for $(file)", "FILE", "a.txt", "Cannot open a.txt for a.txt"},
      {"$(NAME)", "NAME", "$(NAME)x", "$(NAME)x"},
      {"$(NAME)$(name)", "NAME", "$(NAME)", "$(NAME)$(NAME)"},
      {"$(NAME", "NAME", "v", "$(NAME"},
      {"x$(n)y$(N)z", "n", "", "xyz"},
      {"$$(N))", "N", "1", "$1)"},
      {"keep $(N)", "N", nullptr, "keep "},
  };
  for (const Case& c : cases) {
    Qel::AnsiString text(c.text);
    ReplaceMacro(text, c.name, c.value);
    EXPECT_EQ(text.Std(), c.expected) << c.text << " / " << c.name;
  }
}

TEST(ResultsLog, EntriesExpandParametersAndCarryTheirPropertyOrTheInnermostContext) {
  ResultsLog log;
  Soup parameters;
  parameters.SetNamedTag("file", "a.txt");
  parameters.SetNamedInt("Count", 3);
  parameters.SetNamedKUID("asset", KUID(1, 2, 0));
  ResultsLog::AddResult(&log, ResultsLog::kError, KestroPropertyRef(),
                        "$(FILE) $(file): $(count) of $(ASSET), $(missing)", parameters);
  ResultsLog::AddResult(nullptr, ResultsLog::kError, KestroPropertyRef(), "ignored");
  const KestroPropertyRef outer = MakeAssetIDProperty("AssetID", KUID(1, 1, 0));
  const KestroPropertyRef inner = MakeAssetIDProperty("AssetID", KUID(2, 2, 0));
  log.PushContext(outer);
  log.PushContext(inner);
  Add(log, 1, "context");
  Add(log, 1, "own", MakeAssetIDProperty("AssetID", KUID(3, 3, 0)));
  log.PopContext();
  Add(log, 1, "outer");
  log.PopContext();
  log.PopContext();  // one too many: ignored
  EXPECT_EQ(log.CountContexts(), 0u);
  Add(log, 1, "after");
  EXPECT_EQ(Texts(log), (std::vector<std::string>{"3 a.txt a.txt: 3 of <kuid:1:2>, $(missing) ",
                                                  "1 context <kuid:2:2>", "1 own <kuid:3:3>",
                                                  "1 outer <kuid:1:1>", "1 after "}));
}

TEST(ResultsLog, WireFormExactBytes) {
  ResultsLog log;
  Add(log, 3, "ab", MakeAssetIDProperty(Qel::PString(), KUID(5, 6, 0)));
  Add(log, 2, "");
  const std::vector<u8> expected = {0, 0,   0,   0,   2,   0,   0,   0,  // version, count
                                    3, 0,   0,   0,   2,   0,   0,   0,   'a', 'b',  // type, text
                                    8, 0,   0,   0,   0,   0,   0,   0,   11,  0,   0,
                                    0, '<', 'k', 'u', 'i', 'd', ':', '5', ':', '6', '>',
                                    0, 2,   0,   0,   0,   0,   0,   0,   0,  // type, empty text
                                    0, 0,   0,   0};                          // no property
  EXPECT_EQ(WireOf(log), expected);
}

TEST(ResultsLog, WireFormRoundTripsWithPropertiesAndFromAnIndex) {
  ResultsLog log;
  Add(log, 1, "info");
  Add(log, 2, "warn $(x)", MakeAssetIDProperty("AssetID", KUID(-5, 6, 127)));
  Add(log, 3, "err", MakeAssetIDProperty(Qel::PString(), KUID(5, 6, 3)));
  Add(log, 4, "fourth", MakeAssetIDProperty("n", KUID()));
  ResultsLog back;
  Add(back, 3, "already there");
  EXPECT_EQ(ReadWire(WireOf(log), back), 0u);
  EXPECT_TRUE(log.IsSaved());  // writing the wire form saves
  EXPECT_EQ(Texts(back),
            (std::vector<std::string>{"3 already there ", "1 info ", "2 warn $(x) <kuid:-5:6>",
                                      "3 err <kuid2:5:6:3>", "4 fourth <NULL>"}));
  EXPECT_EQ(back.GetWarningCount(), 1u);
  EXPECT_EQ(back.GetErrorCount(), 2u);
  EXPECT_EQ(back.GetFourthCount(), 1u);
  EXPECT_FALSE(back.IsSaved());
  const std::vector<ResultsLogEntry> entries = back.GetEntries();
  EXPECT_EQ(entries[2].property->GetName(), Qel::PString("AssetID"));
  // Written from an index: the entries from there on; past the end, none.
  ResultsLog tail;
  EXPECT_EQ(ReadWire(WireOf(log, 2), tail), 0u);
  EXPECT_EQ(Texts(tail), (std::vector<std::string>{"3 err <kuid2:5:6:3>", "4 fourth <NULL>"}));
  for (u32 first : {4u, 5u, 0xFFFFFFFFu}) {
    EXPECT_EQ(WireOf(log, first), (std::vector<u8>{0, 0, 0, 0, 0, 0, 0, 0})) << first;
  }
}

TEST(ResultsLog, HostileWireFormsAppendOnlyWhatIsThere) {
  // A count of 0xFFFFFFFF over two real entries: two entries, a short read, and a quick end.
  ResultsLog source;
  Add(source, 2, "one");
  Add(source, 3, "two", MakeAssetIDProperty("AssetID", KUID(1, 2, 0)));
  std::vector<u8> wire = WireOf(source);
  wire[4] = wire[5] = wire[6] = wire[7] = 0xFF;
  ResultsLog log;
  EXPECT_EQ(ReadWire(wire, log), u32(TStream::kErrorShortRead));
  EXPECT_EQ(log.CountEntries(), 2u);

  // Every cut keeps the complete entries before it and never a partial one.
  const std::vector<u8> full = WireOf(source);
  for (size_t n = 0; n < full.size(); ++n) {
    ResultsLog cut;
    EXPECT_NE(ReadWire(std::vector<u8>(full.begin(), full.begin() + n), cut), 0u) << n;
    EXPECT_EQ(cut.CountEntries(), n < 23 ? 0u : 1u) << n;
  }

  // Another version reads nothing more.
  ResultsLog other;
  Observer observer;
  NuMessagePipe pipe;
  pipe.Open(other, &observer, 9);
  EXPECT_EQ(ReadWire({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, other), 0u);
  EXPECT_EQ(other.CountEntries(), 0u);
  EXPECT_EQ(observer.received, (std::vector<std::string>{"list-updated:0"}));
  EXPECT_FALSE(other.IsSaved());
}

TEST(ResultsLog, RegistryMapsRequestIds) {
  ResultsLog a;
  ResultsLog b;
  EXPECT_EQ(FindResultsLog(70), nullptr);
  RegisterResultsLog(70, &a);
  RegisterResultsLog(71, &a);
  EXPECT_EQ(FindResultsLog(70), &a);
  RegisterResultsLog(70, &b);
  EXPECT_EQ(FindResultsLog(70), &b);
  UnregisterResultsLog(70);
  UnregisterResultsLog(70);
  EXPECT_EQ(FindResultsLog(70), nullptr);
  {
    ResultsLog temporary;
    RegisterResultsLog(72, &temporary);
    RegisterResultsLog(73, &temporary);
  }
  EXPECT_EQ(FindResultsLog(72), nullptr);
  EXPECT_EQ(FindResultsLog(73), nullptr);
  EXPECT_EQ(FindResultsLog(71), &a);
  a.UnregisterEverywhere();
  EXPECT_EQ(FindResultsLog(71), nullptr);
}

TEST(NuMessage, PeersHearChangesClosuresAndTheEnd) {
  Observer first;
  Observer second;
  NuMessagePipe pipe_a;
  NuMessagePipe pipe_b;
  {
    ResultsLog log;
    pipe_a.Open(log, &first, 1);
    pipe_b.Open(log, &second, 2);
    EXPECT_EQ(log.CountPipes(), 2u);
    Add(log, 1, "x");
    pipe_b.Close();
    EXPECT_FALSE(pipe_b.IsOpen());
    Add(log, 1, "y");
    EXPECT_EQ(log.CountPipes(), 1u);
  }
  EXPECT_FALSE(pipe_a.IsOpen());
  EXPECT_EQ(first.received, (std::vector<std::string>{"list-updated:0", "list-updated:0",
                                                      "list-destroyed:0", "pipe-closed:1"}));
  EXPECT_EQ(second.received, (std::vector<std::string>{"list-updated:0", "pipe-closed:2"}));
}

TEST(NuMessage, PipesClosedDuringDeliveryGetNothingMore) {
  ResultsLog log;
  Observer first;
  Observer second;
  NuMessagePipe pipe_a;
  NuMessagePipe pipe_b;
  pipe_a.Open(log, &first);
  pipe_b.Open(log, &second);
  first.close_on_message = &pipe_b;
  Add(log, 1, "x");
  EXPECT_EQ(first.received, (std::vector<std::string>{"list-updated:0"}));
  EXPECT_EQ(second.received, (std::vector<std::string>{"pipe-closed:0"}));
  {
    // A pipe that goes away first detaches without a message.
    NuMessagePipe temporary;
    temporary.Open(log, &second);
  }
  EXPECT_EQ(log.CountPipes(), 1u);
}

}  // namespace
