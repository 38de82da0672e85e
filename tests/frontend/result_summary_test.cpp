// The summary printed after each command: one line per entry and the count line.
#include "frontend/result_summary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "assetdata/kestro_property.h"
#include "assetdata/results_log.h"
#include "core/kuid.h"

namespace {

std::string Summary(ResultsLog& log) {
  std::FILE* out = std::tmpfile();
  if (out == nullptr) return "<no temporary file>";
  PrintResultSummary(log, out);
  std::string text(size_t(std::ftell(out)), '\0');
  std::rewind(out);
  const size_t got = std::fread(text.data(), 1, text.size(), out);
  text.resize(got);
  std::fclose(out);
  return text;
}

// A bound property whose text is no KUID.
class TextProperty final : public KestroPropertyRefCounted {
 public:
  TextProperty() : KestroPropertyRefCounted("Name", kTypeText) {}
  Qel::PString GetText() const override { return "not a kuid"; }
};

TEST(PrintResultSummary, PrefixesAndCountsFollowTheEntryTypes) {
  ResultsLog log;
  EXPECT_EQ(Summary(log), "OK (0 Errors, 0 Warnings)\n");
  ResultsLog::AddResult(&log, 1, KestroPropertyRef(), "information");
  ResultsLog::AddResult(&log, 2, KestroPropertyRef(), "warning");
  ResultsLog::AddResult(&log, 3, KestroPropertyRef(), "error");
  ResultsLog::AddResult(&log, 4, KestroPropertyRef(), "fourth");
  ResultsLog::AddResult(&log, 7, KestroPropertyRef(), "other type");
  ResultsLog::AddResult(&log, 3, KestroPropertyRef(), "");
  EXPECT_EQ(Summary(log),
            "; <NULL> : information\n"
            "! <NULL> : warning\n"
            "- <NULL> : error\n"
            "+ <NULL> : fourth\n"
            "<NULL> : other type\n"
            "- <NULL> : \n"
            "OK (2 Errors, 1 Warnings)\n");
}

TEST(PrintResultSummary, TheAssetShowsAsItsKuidText) {
  ResultsLog log;
  ResultsLog::AddResult(&log, 3, MakeAssetIDProperty("AssetID", KUID(1234, 56, 0)),
                        "Unknown AssetID.");
  ResultsLog::AddResult(&log, 2, MakeAssetIDProperty("AssetID", KUID(-3, 7, 127)), "short");
  ResultsLog::AddResult(&log, 2, MakeAssetIDProperty("AssetID", KUID(1234, 56, 3)), "long");
  KestroPropertyRef text;
  text.Attach(new TextProperty());
  ResultsLog::AddResult(&log, 1, text, "not an asset");
  EXPECT_EQ(Summary(log),
            "- <kuid:1234:56> : Unknown AssetID.\n"
            "! <kuid:-3:7> : short\n"
            "! <kuid2:1234:56:3> : long\n"
            "; <NULL> : not an asset\n"
            "OK (1 Errors, 2 Warnings)\n");
}

TEST(PrintResultSummary, MessagesReachTheConsoleUnchanged) {
  ResultsLog log;
  const std::string utf8 =
      "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC and a long tail " + std::string(3000, 'z');
  ResultsLog::AddResult(&log, 1, KestroPropertyRef(), utf8.c_str());
  EXPECT_EQ(Summary(log), "; <NULL> : " + utf8 + "\nOK (0 Errors, 0 Warnings)\n");
}

}  // namespace
