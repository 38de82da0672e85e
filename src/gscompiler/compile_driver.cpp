#include "gscompiler/compile_driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/path_text.h"
#include "core/text_convert.h"
#include "core/whole_file_writer.h"
#include "gscommon/byte_buffer.h"
#include "gscompiler/code_generator.h"
#include "gscompiler/compile_environment.h"
#include "gscompiler/compile_log.h"
#include "gscompiler/compile_report.h"
#include "gscompiler/compiler_state.h"
#include "gscompiler/gs_source_file.h"
#include "gscompiler/gsl_writer.h"
#include "gscompiler/parse_entry.h"
#include "gscompiler/parse_node.h"
#include "gscompiler/semantic_pass.h"
#include "qel/file.h"
#include "qel/pstring.h"

namespace {

constexpr u32 kImageInitialCapacity = 1024;

bool g_leaveStateToExit = false;

void AddToLog(GSCompileLog* log, const Qel::String& text) {
  if (log) log->Add(text.CStr());
}

// Writes the image, in the pieces of GslWriterPieces, to path; on failure adds the matching
// message and gives false. A library that was there before stays whole when the write fails.
bool WriteLibrary(const Utils::ByteBuffer& head, const std::vector<Utils::ByteBuffer>& rest,
                  const char* path, GSCompileLog* log, const Qel::String& openFailedMessage) {
  WholeFileWriter writer(path);
  if (!writer.IsOpen()) {
    AddToLog(log, openFailedMessage);
    return false;
  }
  bool written = writer.Write(head.Data(), head.Size());
  for (const Utils::ByteBuffer& piece : rest) {
    written = written && (piece.Size() == 0 || writer.Write(piece.Data(), piece.Size()));
  }
  if (written && writer.Commit()) return true;
  AddToLog(log, Qel::String::Format("Could not write file %s.", path));
  return false;
}

bool StartsWithByteOrderMark(const char* text, u32 length) {
  return length >= 3 && u8(text[0]) == 0xEF && u8(text[1]) == 0xBB && u8(text[2]) == 0xBF;
}

void PrintUsage(const char* programPath) {
  Qel::String program(programPath);
  StripToFileName(program);
  std::printf("OLBEK GameScript Compiler V%4.2f\n\n", kCompilerVersion);
  std::printf("%s returns number of compile errors\n", program.CStr());
  std::printf("%s <option> <option>..\nwhere <option> is one of the following\n\n", program.CStr());
  std::printf("<-d> print documentation, u might wanna pipe it to a text document =)\n");
  std::printf("<-s> silent\n");
  std::printf("<-bfilename> dump the build info (compile log) to file\n");
  std::printf("<-ppathname> output path\n");
  std::printf("<-ofilename> output library filename\n");
  std::printf("<filename> input source file\n");
  std::printf("<-ipathname> additional include path\n");
}

// Drains the log into the build-log file (when given) and, unless silent, standard output. False,
// after an error line naming the log as typed and why, when the build log could not be written.
bool EmitMessages(GSCompileLog& log, const char* buildLogPath, const char* typedPath, bool silent) {
  FILE* buildLog = nullptr;
  int failure = 0;
  if (buildLogPath && *buildLogPath) {
    buildLog = std::fopen(buildLogPath, "a+");
    if (!buildLog) failure = errno;
  }
  while (const char* taken = log.Take()) {
    // Messages name the files and includes of a source anyone may write: escaped, none of them
    // can start a line of its own or drive the terminal, here or when the log is read.
    const std::string message = EscapeControlCharacters(taken);
    if (buildLog && std::fprintf(buildLog, "%s\n", message.c_str()) < 0 && failure == 0) {
      failure = errno;
    }
    if (!silent) std::printf("%s\n", message.c_str());
  }
  if (buildLog && std::fclose(buildLog) != 0 && failure == 0) failure = errno;
  std::fflush(stdout);
  if (failure == 0) return true;
  // The build log is the user's file and may hold earlier runs, so it is never removed.
  std::fprintf(stderr, "Could not write the build log %s: %s.\n", typedPath,
               std::strerror(failure));
  return false;
}

}  // namespace

void StripToFileName(Qel::String& path) {
  const size_t cut = path.Std().find_last_of("\\/:");
  if (cut != std::string::npos) path.Erase(0, cut + 1);
}

bool LoadUnitSource(const char* name, UnitRecord& unit, GSSourceFile& source) {
  if (!name) name = "";
  unit.fileName = name;
  // An earlier folder wins; within a folder the plain source wins over the packed one. The file
  // is read by the path it was found at, so that its name is looked up once.
  const auto onDisk = [](const IncludePath& entry, const Qel::File::Path& path) {
    const Qel::String resolved =
        Qel::File::Resolve(Qel::File::InFolder(entry.rootName, path.CStr()).CStr());
    return !resolved.IsEmpty() && Qel::File::Exists(resolved.CStr()) ? resolved : Qel::String();
  };
  const char* lastRoot = "";
  const IncludePath* hit = nullptr;
  Qel::String found;
  for (const IncludePath& entry : unit.state->environment.includes) {
    lastRoot = entry.rootName.CStr();
    Qel::File::Path candidate = entry.folder;
    candidate.AddPath(name);
    found = onDisk(entry, candidate);
    if (found.IsEmpty() && candidate.IsExt("gs")) {
      candidate.ChangeExtension("gse");
      found = onDisk(entry, candidate);
    }
    if (!found.IsEmpty()) {
      hit = &entry;
      break;
    }
  }

  if (!hit || !source.Load("", found.CStr())) {
    ReportMessage(&unit, "Could not read file %s : %s.", lastRoot, name);
    ++unit.errorCount;
    return false;
  }
  if (!source.Unpack()) {
    ReportMessage(&unit, "Could not unpack file %s : %s.", hit->rootName.CStr(), name);
    ++unit.errorCount;
    return false;
  }
  const u32 prefix = source.GetPrefixLength();
  // The source's own bytes start after any prefix placed before them.
  if (StartsWithByteOrderMark(source.GetText() + prefix, source.GetTextLength() - prefix)) {
    ReportMessage(&unit, "'%s' appears to be UTF-8 encoded, please resave as ANSI.", name);
    ++unit.errorCount;
    return false;
  }
  ComputeUnitIds(unit, name, source.GetText(), source.GetTextLength(), prefix);
  return true;
}

bool ParseUnitSource(const char* name, UnitRecord& unit) {
  GSSourceFile source(unit.state->environment);
  if (!LoadUnitSource(name, unit, source)) return true;
  unit.errorCount += GSCompiler::ParseTokens(unit, source.GetText(), source.GetTextLength());
  return unit.errorCount != 0;
}

void ComputeUnitIds(UnitRecord& unit, const char* name, const char* text, u32 length,
                    u32 prefixLength) {
  if (prefixLength > length) prefixLength = length;
  unit.sourceId =
      text ? Crc32(reinterpret_cast<const u8*>(text) + prefixLength, length - prefixLength) : 0;
  Qel::String fileName(name);
  StripToFileName(fileName);
  unit.nameId = Crc32LowerCaseString(fileName.CStr());
}

Qel::String LibraryOutputPath(const char* sourcePath, const char* outputPath) {
  const Qel::File::Path source(sourcePath ? sourcePath : "");
  // An output path meant as a folder must end in a separator: "out" names a file in the
  // working folder, "out/" the folder out.
  Qel::File::Path target(outputPath && *outputPath ? Qel::File::Path(outputPath).GetFolder()
                                                   : source.GetFolder());
  target.AddPath((Qel::File::Path(source.GetFileName()).GetBaseName() + ".gsl").CStr());
  return target.GetText();
}

namespace {

Qel::String UnitFileName(const char* name) {
  Qel::String fileName(name ? name : "");
  fileName.ToLower();
  StripToFileName(fileName);
  return fileName;
}

// The library symbol of a unit, numbered in the order units are reached; null after an internal
// error, reported.
GSCompiler::GSDependentSymbol* EnterLibrary(GSCompilerState& state, const UnitRecord& unit,
                                            const char* fileName) {
  GSCompiler::GSSymbolTable& symbols = state.symbols;
  GSCompiler::GSDependentSymbol* library = symbols.NewDependentSymbol(fileName);
  if (library == nullptr || !symbols.AddSymbol(nullptr, library)) {
    symbols.Discard(library);
    ReportMessage(&unit, "Internal Compiler Error.");
    return nullptr;
  }
  library->index = i32(state.unitCounter++);
  return library;
}

// Compiles a unit that `unit` includes, unless it was reached before; the error count, which a
// message names the included unit after.
i32 CompileInclude(GSCompilerState& state, UnitRecord& unit, const char* included) {
  if (included == nullptr || state.symbols.FindLibrary(UnitFileName(included).CStr()) != nullptr) {
    return 0;
  }
  auto child = std::make_unique<UnitRecord>();
  child->Reset(&state, unit.log);
  const i32 errors = CompileUnit(state, included, *child, false);
  state.includedUnits.push_back(std::move(child));
  if (errors != 0) ReportMessage(&unit, ".. while compiling '%s'", included);
  return errors;
}

// CompileUnit past the parse of the unit, whose name is lower-cased.
i32 CompileParsedUnit(GSCompilerState& state, const char* lowered, UnitRecord& unit, bool isRoot) {
  // The library symbol marks the unit as reached, so each unit compiles once and mutual includes
  // end.
  GSCompiler::GSSymbolTable& symbols = state.symbols;
  const Qel::String fileName = UnitFileName(lowered);
  GSCompiler::GSDependentSymbol* library = EnterLibrary(state, unit, fileName.CStr());
  if (library == nullptr) return 1;
  library->sourceId = unit.sourceId;
  library->nameId = unit.nameId;

  i32 includeErrors = 0;
  for (ParseNode* node = unit.topLevel; node != nullptr; node = node->next) {
    if (node->group != GSCompiler::kGroupDeclaration || node->kind != GSCompiler::kDeclInclude) {
      continue;
    }
    includeErrors +=
        CompileInclude(state, unit, node->child[0] != nullptr ? node->child[0]->text : nullptr);
  }
  // The root library numbers only its own references.
  symbols.ResetReferenceNumbers();
  if (includeErrors != 0) return includeErrors;

  symbols.currentLibrary = symbols.FindLibrary(fileName.CStr());
  if (symbols.currentLibrary == nullptr || unit.topLevel == nullptr) return 1;
  // Each message counted one error; a failure that reported nothing still counts.
  if (!GSCompiler::SemanticPass(unit, state, !isRoot))
    return unit.errorCount > 0 ? unit.errorCount : 1;
  return unit.errorCount;
}

// Checks and generates each class of the root unit as the parser completes it, then gives its
// nodes back for the next class: the unit's tree is never whole, so a long unit's memory is its
// symbols and code rather than its tree. Any message at all ends the attempt, and the unit is
// compiled again the whole-tree way, which reports in its own order. A compile without a message
// gives the same library either way.
class ClassStream final : public ClassSink {
 public:
  ClassStream(GSCompilerState& state, const char* lowered)
      : state_(state), fileName_(UnitFileName(lowered)) {}

  bool TakeClass(ParseNode* cls) override {
    UnitRecord& unit = state_.rootUnit;
    if (!checker_ && !Start()) return false;
    if (!checker_->Check(cls) || !generator_->Generate(cls)) return false;
    if (unit.errorCount != 0 || (unit.log && unit.log->Count() != 0)) return false;
    ++classes_;
    // Symbols, strings and code keep copies of the texts they need.
    unit.nodes.Rewind();
    unit.textMemory.Reset();
    return true;
  }

  void TakeInclude(const char* name) override { includes_.push_back(name); }

  u32 Classes() const { return classes_; }

  // Once every class has been taken: the numbers deferred by code generation, the unit's ids.
  void Finish() {
    state_.symbols.NumberDeferred();
    library_->sourceId = state_.rootUnit.sourceId;
    library_->nameId = state_.rootUnit.nameId;
  }

 private:
  // CompileParsedUnit up to its semantic pass. The included units are parsed from within the
  // root's parse, which has its first class and no more.
  bool Start() {
    library_ = EnterLibrary(state_, state_.rootUnit, fileName_.CStr());
    if (library_ == nullptr) return false;
    for (const char* included : includes_) {
      if (CompileInclude(state_, state_.rootUnit, included) != 0) return false;
    }
    includes_.clear();
    GSCompiler::GSSymbolTable& symbols = state_.symbols;
    symbols.ResetReferenceNumbers();
    symbols.currentLibrary = library_;
    checker_ = std::make_unique<GSCompiler::ClassChecker>(state_.rootUnit, state_);
    generator_ = std::make_unique<GSCompiler::ClassGenerator>(state_);
    return true;
  }

  GSCompilerState& state_;
  const Qel::String fileName_;
  GSCompiler::GSDependentSymbol* library_ = nullptr;
  std::unique_ptr<GSCompiler::ClassChecker> checker_;
  std::unique_ptr<GSCompiler::ClassGenerator> generator_;
  std::vector<const char*> includes_;  // in the unit's text memory, until Start
  u32 classes_ = 0;
};

// The root unit `lowered` through a ClassStream, after resetting the state; true when it was
// compiled with nothing to report. Messages go to a log of its own, so that nothing of a failed
// attempt reaches the caller's.
bool StreamTopUnit(GSCompilerState& state, const char* lowered, GSCompileLog* log) {
  GSCompileLog attemptLog;
  state.Reset();
  UnitRecord& unit = state.rootUnit;
  unit.Reset(&state, &attemptLog);
  ClassStream stream(state, lowered);
  unit.classSink = &stream;
  ParseUnitSource(lowered, unit);
  unit.classSink = nullptr;
  unit.log = log;
  // The parse kept the includes' list, whose nodes later classes took over.
  unit.topLevel = nullptr;
  if (unit.errorCount != 0 || attemptLog.Count() != 0 || stream.Classes() == 0) return false;
  stream.Finish();
  return true;
}

// The warnings of the root unit and of every unit it included. Only the compile that reports
// leaves its units here: a streamed attempt that reported anything was started over.
u32 CountWarnings(const GSCompilerState& state) {
  u32 warnings = u32(state.rootUnit.warningCount);
  for (const auto& unit : state.includedUnits) warnings += u32(unit->warningCount);
  return warnings;
}

// x.gse compiles as x.gs; the source search then finds either form.
Qel::String TopUnitName(const char* name) {
  Qel::String unitName(name);
  if (!unitName.IsEmpty() && unitName[unitName.Size() - 1] == 'e') {
    unitName.Truncate(unitName.Size() - 1);
  }
  return unitName;
}

}  // namespace

i32 CompileUnit(GSCompilerState& state, const char* name, UnitRecord& unit, bool isRoot) {
  Qel::String lowered(name ? name : "");
  lowered.ToLower();
  ParseUnitSource(lowered.CStr(), unit);
  if (unit.errorCount != 0) return unit.errorCount;
  return CompileParsedUnit(state, lowered.CStr(), unit, isRoot);
}

i32 DeclareTopUnit(GSCompilerState& state, const char* name, GSCompileLog* log) {
  if (!name) name = "";
  state.Reset();
  state.rootUnit.Reset(&state, log);
  return CompileUnit(state, TopUnitName(name).CStr(), state.rootUnit, true);
}

i32 CompileTopUnit(GSCompilerState& state, const char* name, GSCompileLog* log) {
  if (!name) name = "";
  Qel::String lowered = TopUnitName(name);
  lowered.ToLower();
  if (StreamTopUnit(state, lowered.CStr(), log)) return 0;
  const i32 errors = DeclareTopUnit(state, name, log);
  if (errors != 0) {
    ReportMessage(&state.rootUnit, ".. while compiling '%s'", name);
    return errors;
  }
  if (!GSCompiler::GenerateUnit(state)) {
    if (log) log->Add("Internal Code Generation Error...");
    return 1;
  }
  return 0;
}

void LeaveCompileStateToExit(bool leave) { g_leaveStateToExit = leave; }

i32 CompileLibraryFile(const char* sourcePath, const char* outputPath,
                       const IncludePathList* userIncludes, GSCompileLog* log,
                       const char* baseFolder, u32* warnings) {
  const Qel::String sourceAt = AnchorPath(baseFolder, sourcePath);
  const Qel::File::Path source(sourceAt);
  const Qel::String sourceFolder = source.GetFolder();
  CompileEnvironment& environment = CompileEnvironment::OfThisThread();
  IncludePathList& search = environment.includes;
  search.Clear();
  search.Add(sourceFolder.CStr(), Qel::PString());
  if (userIncludes) {
    for (const IncludePath& entry : *userIncludes) search.Add(entry);
  }

  auto state = std::make_unique<GSCompilerState>(environment);
  const Qel::String fileName = source.GetFileName();
  const i32 errors = CompileTopUnit(*state, fileName.CStr(), log);
  if (warnings) *warnings = CountWarnings(*state);
  if (errors != 0) return errors;

  Utils::ByteBuffer head(kImageInitialCapacity);
  std::vector<Utils::ByteBuffer> rest;
  if (!GSCompiler::GslWriterPieces(head, rest, *state, sourcePath)) {
    if (log) log->Add("Internal Compiler Error.");
    return 1;
  }
  const Qel::String target =
      LibraryOutputPath(sourceAt.CStr(), AnchorPath(baseFolder, outputPath).CStr());
  const bool written = WriteLibrary(head, rest, target.CStr(), log, "Unable to open output file.");
  if (g_leaveStateToExit) static_cast<void>(state.release());
  return written ? 0 : 1;
}

i32 CompileScriptFile(const char* sourceName, const char* outputPath, GSCompileLog* log) {
  if (!sourceName) return 0;
  auto state = std::make_unique<GSCompilerState>(CompileEnvironment::OfThisThread());
  const i32 errors = CompileTopUnit(*state, sourceName, log);
  if (errors != 0) return errors;

  Utils::ByteBuffer head(kImageInitialCapacity);
  std::vector<Utils::ByteBuffer> rest;
  if (!GSCompiler::GslWriterPieces(head, rest, *state, sourceName)) {
    AddToLog(log, Qel::String::Format("Internal Compiler Error on '%s'.", sourceName));
    return 1;
  }
  if (!outputPath) return 0;
  const Qel::String openFailed =
      Qel::String::Format("Unable to open output file: '%s'.", outputPath);
  return WriteLibrary(head, rest, outputPath, log, openFailed) ? 0 : 1;
}

int CompileCommand(int argc, char** argv, const char* baseFolder, u32* warnings) {
  GSCompileLog log;
  IncludePathList userIncludes;
  bool silent = false;
  Qel::String buildLog;
  const char* typedBuildLog = "";
  const char* outputPath = nullptr;
  const char* source = nullptr;
  // A relative path with no start folder to be taken from is refused, and nothing is compiled,
  // read or written for the command.
  int refused = 0;
  const auto anchor = [&](const char* path) {
    if (!StartFolderIsGone(baseFolder, path)) return AnchorPath(baseFolder, path);
    log.Add(StartFolderGoneMessage(path).CStr());
    ++refused;
    return Qel::String();
  };

  for (int i = 1; i < argc && argv; ++i) {
    const char* arg = argv[i];
    if (!arg) continue;
    if (arg[0] != '-') {
      source = arg;
      continue;
    }
    switch (arg[1]) {
      case 's':
        silent = true;
        break;
      case 'b':
        typedBuildLog = arg + 2;
        buildLog = anchor(typedBuildLog);
        break;
      case 'p':
        outputPath = arg + 2;
        break;
      case 'i':
        userIncludes.Add(anchor(arg + 2).CStr(), Qel::PString());
        break;
      case 'd':
        std::printf("%s\n", GetCompilerManual());
        std::fflush(stdout);
        return 0;
      default:  // a lone "-", "-c", "-t", "-l", "-o" and the rest have no effect
        break;
    }
  }
  // Anchored again where they are used; here only refused when they cannot be.
  anchor(source);
  anchor(outputPath);

  int result;
  if (refused > 0) {
    result = refused;
  } else if (!source || !*source) {
    PrintUsage(argc > 0 && argv && argv[0] ? argv[0] : "");
    result = 1;
  } else {
    result = CompileLibraryFile(source, outputPath, &userIncludes, &log, baseFolder, warnings);
  }
  // A log that was asked for and not written fails the compile: its messages would be lost.
  if (!EmitMessages(log, buildLog.CStr(), typedBuildLog, silent)) ++result;
  return result;
}
