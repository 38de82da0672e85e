#include "gscompiler/compile_driver.h"

#include <gtest/gtest.h>

#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "gscompiler/compile_environment.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/compile_report.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/declare_fixture.h"
#include "gscompiler/gs_source_file.h"
#include "gscompiler/gs_symbol.h"
#include "gscompiler/script_test_folder.h"
#include "support/scratch_folder.h"

namespace {

using gs_test::GseFile;
using gs_test::GseOf;

const char kBom[] = "\xEF\xBB\xBF";
// One stray character: the parser rejects it at line 1, which counts two errors.
const char kUnparsable[] = "#";

struct CompileRun {
  int result;
  std::string out;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> Drain(GSCompileLog& log) {
  std::vector<std::string> out;
  while (const char* m = log.Take()) out.push_back(m);
  return out;
}

class CompileDriverTest : public gs_test::ScriptTestFolder {
 protected:
  // Runs the command as the front end does: the program name, the blanked command word, then
  // the arguments.
  static CompileRun Compile(std::vector<std::string> args) {
    args.insert(args.begin(), {"/opt/kestro/bin/KestroUtil", ""});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int result = 0;
    const std::string out = scratch::CaptureStdout(
        [&] { result = CompileCommand(static_cast<int>(args.size()), argv.data()); });
    return {result, out};
  }

  // The unit was read and handed to the parser, which refused it.
  static void ExpectParseFailure(const CompileRun& run, const std::string& unit,
                                 const std::string& asPassed) {
    EXPECT_EQ(run.result, 2);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_EQ(lines[0].rfind(unit + "(1) : ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], WhileCompiling(asPassed));
  }
  static std::string WhileCompiling(const std::string& name) {
    return ".. while compiling '" + name + "'";
  }
};

TEST_F(CompileDriverTest, WithoutSourcePrintsBannerAndUsage) {
  const std::string usage =
      "OLBEK GameScript Compiler V1.02\n\n"
      "KestroUtil returns number of compile errors\n"
      "KestroUtil <option> <option>..\nwhere <option> is one of the following\n\n"
      "<-d> print documentation, u might wanna pipe it to a text document =)\n"
      "<-s> silent\n"
      "<-bfilename> dump the build info (compile log) to file\n"
      "<-ppathname> output path\n"
      "<-ofilename> output library filename\n"
      "<filename> input source file\n"
      "<-ipathname> additional include path\n";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-s"}, {"-pout/", "-iinc", "-c", "-o", "-"}, {""}}) {
    SCOPED_TRACE(args.size());
    const CompileRun run = Compile(args);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.out, usage);
  }
}

TEST_F(CompileDriverTest, ManualWhereverDashDStandsAndNothingCompiled) {
  const std::string manual = std::string(GetCompilerManual()) + "\n";
  const std::vector<std::vector<std::string>> lines = {
      {"-d"},
      {"-d", "x.gs"},
      {"x.gs", "-d"},
      {"-s", "-blog.txt", "x.gs", "-d"},
      {"x.gs", "-pout/", "-d", "-iinc", "y.gs"},
  };
  for (const std::vector<std::string>& args : lines) {
    SCOPED_TRACE(args.size());
    const CompileRun run = Compile(args);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, manual);
  }
  EXPECT_FALSE(Has("log.txt"));
}

TEST_F(CompileDriverTest, SilentRunAppendsMessagesToTheBuildLog) {
  const std::string expected = "Could not read file  : x.gs.\n" + WhileCompiling("x.gs") + "\n";
  CompileRun run = Compile({"-s", "-blog.txt", "x.gs"});
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Slurp("log.txt"), expected);

  run = Compile({"x.gs", "-blog.txt", "-s"});
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Slurp("log.txt"), expected + expected);

  // Without -s the same lines go to both.
  run = Compile({"-blog.txt", "x.gs"});
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(Slurp("log.txt"), expected + expected + expected);

  // A log that cannot be opened counts one more error; the messages still reach the screen.
  run = Compile({"-bno/such/folder/log.txt", "x.gs"});
  EXPECT_EQ(run.result, 2);
  EXPECT_EQ(run.out, expected);
}

TEST_F(CompileDriverTest, ParseFailureNamesTheUnitFound) {
  Put("a.gs", std::string(kBom) + kUnparsable);
  Put("b.gs", kUnparsable);
  Put("Dir/Mixed.gs", kUnparsable);
  Put("inc1/m.gse", GseOf(kUnparsable));
  Put("inc2/m.gs", std::string(kBom) + kUnparsable);
  // The last source on the line; names in lower case; the earlier include folder, packed or not.
  ExpectParseFailure(Compile({"a.gs", "b.gs"}), "b.gs", "b.gs");
  ExpectParseFailure(Compile({"Dir/MIXED.GS"}), "mixed.gs", "MIXED.GS");
  ExpectParseFailure(Compile({"-iinc1", "-iinc2/", "m.gs"}), "m.gs", "m.gs");
  const CompileRun run = Compile({"-iinc2", "-iinc1", "m.gs"});
  EXPECT_EQ(Lines(run.out)[0], "'m.gs' appears to be UTF-8 encoded, please resave as ANSI.");
}

TEST_F(CompileDriverTest, PackedNameFindsThePlainSourceFirst) {
  Put("dir/x.gs", std::string(kBom) + kUnparsable);
  Put("dir/x.gse", GseOf(kUnparsable));
  CompileRun run = Compile({"dir/x.gse"});
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(Lines(run.out)[0], "'x.gs' appears to be UTF-8 encoded, please resave as ANSI.");

  std::filesystem::remove(P("dir/x.gs"));
  ExpectParseFailure(Compile({"dir/x.gse"}), "x.gs", "x.gse");

  std::filesystem::remove(P("dir/x.gse"));
  run = Compile({"dir/x.gse"});
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(Lines(run.out)[0], "Could not read file  : x.gs.");
}

TEST_F(CompileDriverTest, ByteOrderMarkSourceIsRefusedWithOneError) {
  struct Case {
    const char* name;
    std::string file;
    std::string content;
    bool refused;  // else it reaches the parser, which rejects the high bytes
  };
  const Case cases[] = {
      {"plain", "b.gs", std::string(kBom) + "class B { };\r\n", true},
      {"mark alone", "b.gs", kBom, true},
      {"packed", "b.gse", GseOf(std::string(kBom) + "class B { };"), true},
      {"two mark bytes only", "b.gs", "\xEF\xBB", false},
      {"mark later in the text", "b.gs", std::string("class B { };") + kBom, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(P("b.gs"));
    std::filesystem::remove(P("b.gse"));
    Put(c.file, c.content);
    const CompileRun run = Compile({"b.gs"});
    if (c.refused) {
      EXPECT_EQ(run.result, 1);
      EXPECT_EQ(Lines(run.out), (std::vector<std::string>{
                                    "'b.gs' appears to be UTF-8 encoded, please resave as ANSI.",
                                    WhileCompiling("b.gs")}));
    } else {
      ExpectParseFailure(run, "b.gs", "b.gs");
    }
    EXPECT_FALSE(Has("b.gsl"));
  }
}

TEST_F(CompileDriverTest, HostilePackedSourcesFailWithTheirMessage) {
  const std::string body = gs_test::PlainBody("class H { };");
  struct Case {
    const char* name;
    std::string file;
    std::string message;
  };
  const std::string unreadable = "Could not read file  : h.gs.";
  const std::string unpackable = "Could not unpack file  : h.gs.";
  const Case cases[] = {
      {"1 byte", "\x01", unreadable},
      {"3 bytes", std::string("\x01\0\0", 3), unreadable},
      {"announces more than it holds", GseFile(gs_test::Scrambled(body), 4096), unreadable},
      {"body of 3 bytes", GseFile("abc", 3), unpackable},
      {"wrong key", GseFile(body, u32(body.size())), unpackable},
      {"corrupt stream", GseFile(gs_test::Scrambled(body.substr(0, 4) + std::string(40, '\0')), 44),
       unpackable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put("h.gse", c.file);
    const CompileRun run = Compile({"h.gse"});
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(Lines(run.out), (std::vector<std::string>{c.message, WhileCompiling("h.gse")}));
  }
}

TEST_F(CompileDriverTest, LibraryOutputNames) {
  struct Case {
    const char* source;
    const char* output;
    const char* want;
  };
  const Case cases[] = {
      {"x.gs", nullptr, "x.gsl"},
      {"x.gs", "out", "x.gsl"},  // a file name whose folder part is empty
      {"x.gs", "out/y.gsl", "out/x.gsl"},
      {"dir/x.gse", nullptr, "dir/x.gsl"},
      {"dir/x.gse", "/abs/out/", "/abs/out/x.gsl"},
      {"dir\\sub\\x.gs", nullptr, "dir/sub/x.gsl"},
      {"dir/x.v2.gs", "o/", "o/x.v2.gsl"},
      {"dir/x", nullptr, "dir/x.gsl"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LibraryOutputPath(c.source, c.output).Std(), c.want)
        << c.source << " -p" << (c.output ? c.output : "(none)");
  }
}

TEST_F(CompileDriverTest, SearchListHoldsTheSourceFolderThenTheUserFolders) {
  IncludePathList user;
  user.Add("inc1", Qel::PString());
  user.Add("inc2/", Qel::PString("root"));
  GSCompileLog log;
  EXPECT_EQ(CompileLibraryFile("src/m.gs", nullptr, &user, &log), 1);
  const IncludePathList& search = GetIncludeSearchList();
  std::string folders;
  for (u32 i = 0; i < search.Count(); ++i)
    folders += std::string(search[i].rootName.CStr()) + ":" + search[i].folder.CStr() + " ";
  EXPECT_EQ(folders, ":src/ :inc1 root:inc2/ ");
  // The last folder tried names its root in the message.
  EXPECT_EQ(Drain(log),
            (std::vector<std::string>{"Could not read file root : m.gs.", WhileCompiling("m.gs")}));
}

TEST_F(CompileDriverTest, ScriptFileUsesTheSearchListAsLeft) {
  Put("content/scripts/s.gse", GseOf(kUnparsable));
  IncludePathList& search = GetIncludeSearchList();
  search.Clear();
  search.Add("scripts", Qel::PString(P("content").c_str()));
  GSCompileLog log;
  EXPECT_EQ(CompileScriptFile("S.gse", "out.gsl", &log), 2);
  const std::vector<std::string> messages = Drain(log);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rfind("s.gs(1) : ", 0), 0u) << messages[0];
  EXPECT_EQ(messages[1], WhileCompiling("S.gse"));
  EXPECT_FALSE(Has("out.gsl"));

  EXPECT_EQ(CompileScriptFile(nullptr, "out.gsl", &log), 0);
  EXPECT_EQ(log.Count(), 0u);
  // Without a log nothing is reported, but the count stands.
  EXPECT_EQ(CompileScriptFile("missing.gs", nullptr, nullptr), 1);
  search.Clear();
}

// Each thread compiles in an environment of its own: compiles running at once, each with its own
// search list and prefix, give what each gives alone, and leave the starting thread's settings as
// they were.
TEST_F(CompileDriverTest, CompilesOnTwoThreadsKeepTheirOwnSearchListAndPrefix) {
  struct Setting {
    std::string folder;
    std::string prefix;
  };
  const Setting settings[] = {{"a", "class FromPrefixA { };\n"},
                              {"b", "class FromPrefixB { int n; };\n"}};
  Put("a/t.gs", "class A { };\n");
  Put("b/t.gs", "class B { int x; int y; };\n");
  // Sets up the calling thread's environment, waits for the other thread to have set up its own,
  // then compiles t.gs into out.
  const auto compile = [this](const Setting& setting, const std::string& out,
                              std::barrier<>* setUp) {
    IncludePathList& search = GetIncludeSearchList();
    search.Clear();
    search.Add(P(setting.folder).c_str(), Qel::PString());
    GSSourceFile::SetPendingPrefix(Qel::PString(setting.prefix.c_str()));
    if (setUp != nullptr) setUp->arrive_and_wait();
    GSCompileLog log;
    const i32 errors = CompileScriptFile("t.gs", out.c_str(), &log);
    EXPECT_EQ(errors, 0) << setting.folder;
    EXPECT_TRUE(GSSourceFile::GetPendingPrefix().IsEmpty()) << setting.folder;
    if (setUp != nullptr) setUp->arrive_and_wait();
    search.Clear();
  };
  for (const Setting& setting : settings) compile(setting, setting.folder + "-alone.gsl", nullptr);

  IncludePathList& own = GetIncludeSearchList();
  own.Add("mine", Qel::PString());
  GSSourceFile::SetPendingPrefix(Qel::PString("// mine\n"));
  std::barrier<> setUp(2);
  std::thread other(compile, settings[1], "b-together.gsl", &setUp);
  std::thread first(compile, settings[0], "a-together.gsl", &setUp);
  first.join();
  other.join();
  for (const Setting& setting : settings) {
    const std::string alone = Slurp(setting.folder + "-alone.gsl");
    EXPECT_FALSE(alone.empty()) << setting.folder;
    EXPECT_TRUE(Slurp(setting.folder + "-together.gsl") == alone)
        << setting.folder << ": not the library compiled alone";
  }
  ASSERT_EQ(own.Count(), 1u);
  EXPECT_STREQ(own[0].folder.CStr(), "mine");
  EXPECT_STREQ(GSSourceFile::GetPendingPrefix().CStr(), "// mine\n");
  own.Clear();
}

TEST(ReportTest, MessagesCarryFileAndLineAndAreCutTo255) {
  GSCompileLog log;
  {
    UnitRecord unit;
    unit.Reset(nullptr, &log);
    unit.fileName = "u.gs";

    ReportError(&unit, true, false, 7, "bad %s", "thing");
    ReportError(&unit, false, true, 8, "odd");
    ReportErrorInFile(&unit, "other.gs", true, true, 9, "%d", 42);
    EXPECT_EQ(unit.errorCount, 2);
    EXPECT_EQ(unit.warningCount, 2);

    const std::string longText(400, 'x');
    ReportMessage(&unit, "%s", longText.c_str());
    ReportError(&unit, true, false, 1, "%s", longText.c_str());

    EXPECT_EQ(Drain(log), (std::vector<std::string>{"u.gs(7) : bad thing", "u.gs(8) : odd",
                                                    "other.gs(9) : 42", std::string(255, 'x'),
                                                    "u.gs(1) : " + std::string(245, 'x')}));

    // A unit without a log drops its messages.
    unit.log = nullptr;
    ReportMessage(&unit, "dropped");
    EXPECT_EQ(log.Count(), 0u);
  }
  ReportMessage(nullptr, "nobody listens");
  ReportError(nullptr, true, true, 3, "nobody counts");
  EXPECT_EQ(log.Count(), 0u);
}

TEST(StripToFileNameTest, KeepsThePartAfterTheLastSeparator) {
  const std::pair<const char*, const char*> cases[] = {
      {"a/b/c.gs", "c.gs"}, {"a\\b\\c.gs", "c.gs"}, {"C:c.gs", "c.gs"}, {"c.gs", "c.gs"},
      {"a/b/", ""},         {"a\\b/c:d", "d"},      {"", ""},
  };
  for (const auto& [in, want] : cases) {
    Qel::String s(in);
    StripToFileName(s);
    EXPECT_EQ(s.Std(), want) << in;
  }
}

TEST(UnitIdsTest, NameIdIgnoresFolderAndCaseAndSourceIdSkipsThePrefix) {
  UnitRecord a, b, c;
  ComputeUnitIds(a, "Scripts/Loco.GS", "PREFIXclass", 11, 6);
  ComputeUnitIds(b, "loco.gs", "class", 5, 0);
  ComputeUnitIds(c, "", "", 0, 0);
  EXPECT_EQ(std::pair(a.nameId, a.sourceId), std::pair(b.nameId, b.sourceId));
  EXPECT_NE(b.sourceId, 0u);
  EXPECT_EQ(std::pair(c.nameId, c.sourceId), std::pair(0u, 0u));
}

// Includes are compiled once each, before the unit that names them; their errors are reported
// with the chain of units that reached them.
TEST_F(CompileDriverTest, IncludesAreCompiledOnceAndTheirErrorsReachTheRoot) {
  Put("a.gs", "include \"b.gs\"\nclass A { };\n");
  Put("b.gs", "include \"a.gs\"\nclass B { int x = ; };\n");
  CompileRun run = Compile({"a.gs"});
  EXPECT_EQ(run.result, 2);
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  EXPECT_EQ(lines[0].rfind("b.gs(2) : ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], WhileCompiling("b.gs"));
  EXPECT_EQ(lines[2], WhileCompiling("a.gs"));

  // Mutual includes end: each unit parses once and the run reaches the later passes.
  Put("b.gs", "include \"a.gs\"\nclass B { };\n");
  run = Compile({"a.gs"});
  EXPECT_EQ(run.out.find("parse error"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find(".. while compiling"), std::string::npos) << run.out;

  Put("b.gs", "include \"missing.gs\"\nclass B { };\n");
  run = Compile({"a.gs"});
  EXPECT_NE(run.result, 0);
  EXPECT_NE(run.out.find(WhileCompiling("missing.gs")), std::string::npos) << run.out;
}

using LiteralWarningTest = gs_test::DeclareFixture;

// An integer literal beyond the int range keeps the value scripts have always had for it, with a
// counted warning at the literal's line; a warning is no error, so the library is still written.
// A literal too long for the message limit is quoted by its first characters, so that the message
// still ends with the value and the line.
TEST_F(LiteralWarningTest, IntegersBeyondTheIntRangeKeepTheirValueWithAWarning) {
  // The most characters of a literal that "w.gs(2) : " and the rest of the warning leave room for.
  constexpr size_t kRoom = 160;
  const std::string longest(kRoom, '9');
  const std::string tooLong = "1" + std::string(299, '2');
  const struct {
    std::string expression;  // starts on line 2 and may span lines
    i32 value;
    std::string literal;  // the literal as quoted in the warning, or empty for none
    int line;
  } cases[] = {
      {"2147483647", 2147483647, "", 0},
      {"0x7FFFFFFF", 2147483647, "", 0},
      {"0x0000000007fffffff", 2147483647, "", 0},
      {"-2147483647 - 1", -2147483647 - 1, "", 0},
      {longest, 2147483647, longest, 2},
      {tooLong, 2147483647, tooLong.substr(0, kRoom - 3) + "...", 2},
      {"(0xFF00FF00 >> 24) & 0xFF", 127, "0xFF00FF00", 2},
      {"0xFFFFFFFF", 2147483647, "0xFFFFFFFF", 2},
      {"0x100000000", 2147483647, "0x100000000", 2},
      {"2147483648", 2147483647, "2147483648", 2},
      {"4294967297", 2147483647, "4294967297", 2},
      {"-2147483648", -2147483647, "2147483648", 2},
      {"1 +\n\n    99999999999999999999", -2147483647 - 1, "99999999999999999999", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expression);
    const std::string source = std::string("class W {\n  define int V = ") + c.expression +
                               ";\n  public int Get() { return V; }\n};\n";
    Put("w.gs", source);
    std::vector<std::string> warnings;
    if (!c.literal.empty()) {
      warnings.push_back("w.gs(" + std::to_string(c.line) + ") : warning: the integer '" +
                         c.literal + "' is larger than an int holds and is read as 2147483647, " +
                         "line " + std::to_string(c.line));
    }
    GSCompileLog log;
    u32 counted = 99;
    EXPECT_EQ(CompileLibraryFile(P("w.gs").c_str(), nullptr, nullptr, &log, nullptr, &counted), 0);
    EXPECT_EQ(Drain(log), warnings);
    EXPECT_EQ(counted, warnings.size());
    EXPECT_TRUE(Has("w.gsl"));
    std::filesystem::remove(P("w.gsl"));

    ASSERT_EQ(Declare({{"w.gs", source}}), 0);
    EXPECT_EQ(messages_, warnings);
    const auto* v = static_cast<const GSCompiler::GSVariableSymbol*>(Member("W", "V"));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(i32(v->defineValue), c.value);
  }
}

}  // namespace
