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
  text.resize(std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  return text;
}

// A bound property whose text is no KUID.
class TextProperty final : public KestroPropertyRefCounted {
 public:
  TextProperty() : KestroPropertyRefCounted("Name", kTypeText) {}
  Qel::PString GetText() const override { return "not a kuid"; }
};

TEST(PrintResultSummary, PrefixesPropertiesAndCounts) {
  ResultsLog log;
  EXPECT_EQ(Summary(log), "OK (0 Errors, 0 Warnings)\n");
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC " + std::string(3000, 'z');
  KestroPropertyRef text;
  text.Attach(new TextProperty());
  const struct {
    u32 type;
    KestroPropertyRef property;
    std::string text;
  } entries[] = {
      {1, KestroPropertyRef(), utf8},
      {2, KestroPropertyRef(), "warning"},
      {3, MakeAssetIDProperty("AssetID", KUID(1234, 56, 0)), "error"},
      {4, MakeAssetIDProperty("AssetID", KUID(-3, 7, 127)), "fourth"},
      {7, MakeAssetIDProperty("AssetID", KUID(1234, 56, 3)), "other type"},
      {3, text, ""},
      {2, KestroPropertyRef(), "'mesh-table\\night' notes.doc\n"},
  };
  for (const auto& e : entries) ResultsLog::AddResult(&log, e.type, e.property, e.text.c_str());
  EXPECT_EQ(Summary(log), "; <NULL> : " + utf8 +
                              "\n"
                              "! <NULL> : warning\n"
                              "- <kuid:1234:56> : error\n"
                              "+ <kuid:-3:7> : fourth\n"
                              "<kuid2:1234:56:3> : other type\n"
                              "- <NULL> : \n"
                              "! <NULL> : 'mesh-table\\night' notes.doc\\n\n"
                              "OK (2 Errors, 2 Warnings)\n");
}

}  // namespace
