// Runs a method of a compiled script class:
//   gsrun [--root ROOT] [--host [--world FILE]] [--time YYYY-MM-DDTHH:MM:SS] [--lib DIR]...
//         --class NAME --call METHOD [ARG]... [--ticks N [--real-time]] [--dump-images DIR]
//         [--log-stderr]
// Loads the base script library (the "libraries" folder beside the program, or with --root the
// installation's bin/libraries and then its user libraries) and every library in each DIR,
// constructs an object of class NAME, calls its public method METHOD with the arguments (an ARG
// with a '.' is a float, one in double quotes a string, otherwise an int) and steps the threads
// the call started for N ticks of 0.1 seconds, delivering the messages due. Each tick moves the
// application clock (which the online endpoint's timers and flood limit read) on by its step, at
// once, or with --real-time when that step has passed on the wall clock, as a conversation with
// a real peer needs. Prints the script log lines and, last, "result: <value>"; --log-stderr
// prints the program log (the host's warnings, failed library set-ups, the online login) on
// standard error. Exit code 0; 1 when the object cannot be made, the method is missing, the
// installation's asset database cannot be opened, the call fails, a thread or handler it started
// ends in an error or the world list cannot be written; 2 for wrong usage, a --root folder that
// holds no installation (no bin/PymDaemon) and a relative path when the folder gsrun was started
// in no longer exists. A nested run whose failure a native answers for (a library's Init inside
// GetLibrary) leaves the result to the script.
//
// --root opens the asset-database client of that installation (starting its daemon when none
// runs) and reads the interface text from its bin/data, as the tool does; --host runs the object
// under the host's script context, whose KestroScriptBase natives (clock, calendar, asset
// searches...) scripts then reach; --time fixes the local date and time those natives read;
// --world (refused without --host) loads the host context's world list (its libraries and their
// properties) from FILE before the call when the file is there, and saves it to FILE afterwards;
// --dump-images writes every live Image of the object's context, oldest first, as
// DIR/image<N>.png (N counting from 0; an image without pixels is skipped but counted) and the
// glyph atlas, when text was drawn, as DIR/atlas.png.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/app_globals.h"
#include "core/buffer_stream.h"
#include "core/path_text.h"
#include "core/time_date.h"
#include "core/whole_file_writer.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_library.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_router.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_string.h"
#include "gsruntime/script_call.h"
#include "online/gso_online_access.h"
#include "qel/dynamic_buffer.h"
#include "qel/file.h"
#include "qel/file_volume.h"
#include "qel/log.h"
#include "qel/thread.h"
#include "qel/time.h"
#include "scripthost/glyph_atlas.h"
#include "scripthost/gso_image.h"
#include "scripthost/installation_client.h"
#include "scripthost/kestro_script_context.h"
#include "scripthost/script_system.h"
#include "scripthost/standard_natives.h"

namespace {

namespace fs = std::filesystem;
using GSRuntime::ScriptArgument;

void PrintLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
}

// One tick of the router's clock.
constexpr f32 kTickSeconds = 0.1f;

bool g_threadFailed = false;

// A run that ends in an error makes the whole run fail: the call itself, and the threads and
// handlers it started, however deeply nested, save a run whose failure the native that started it
// answers for (a library's Init inside GetLibrary, which gives null): that leaves the result to
// the script.
void NoteException(const char*, GSRuntime::GSStack*, GSRuntime::GSThreadOwner*, bool keepAlive) {
  if (!keepAlive && !GSMachine::Instance().InAnsweredRun()) g_threadFailed = true;
}

// Steps the router `ticks` times, moving the application clock on by each tick's step first;
// with `realTime` each tick waits until its step has passed on the wall clock.
void RunTicks(GSRouter& router, long ticks, bool realTime) {
  const f64 wallStart = Qel::Time::Seconds();
  const f64 clockStart = GetApplicationTime();
  for (long tick = 1; tick <= ticks; ++tick) {
    const f64 step = f64(tick) * kTickSeconds;
    if (realTime) {
      for (f64 now = Qel::Time::Seconds(); now < wallStart + step; now = Qel::Time::Seconds()) {
        Qel::Sleep(u32((wallStart + step - now) * 1000.0) + 1);
      }
    }
    SetApplicationTime(clockStart + (realTime ? Qel::Time::Seconds() - wallStart : step));
    router.Tick(kTickSeconds);
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: gsrun [--root ROOT] [--host [--world FILE]] [--time YYYY-MM-DDTHH:MM:SS] "
               "[--lib DIR]... [--dump-images DIR] "
               "--class NAME --call METHOD [ARG]... [--ticks N [--real-time]] [--log-stderr]\n");
  return 2;
}

// Names the argument gsrun cannot take and why, then the usage.
int Refuse(const std::string& argument, const char* why) {
  std::fprintf(stderr, "gsrun: '%s': %s\n", argument.c_str(), why);
  return Usage();
}

// A blank at either end makes a number no number; the parsers below would skip one at the start
// and refuse one at the end.
bool StartsWithBlank(const char* text) { return std::isspace(static_cast<unsigned char>(*text)); }

// The whole number of text, within [low, high]; false for any other text, one past 64 bits too.
bool ParseWhole(const char* text, long long low, long long high, long long* out) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (*text == 0 || StartsWithBlank(text) || *end != 0 || errno != 0 || value < low ||
      value > high) {
    return false;
  }
  *out = value;
  return true;
}

TTimeDate g_fixedTime;

void FixedClock(TTimeDate& now) { now = g_fixedTime; }

// "YYYY-MM-DDTHH:MM:SS", every field of its full width, naming a day of the calendar from year 1
// on, as the local time every clock read gives; false for another text.
bool FixTime(const char* text) {
  static constexpr char kForm[] = "0000-00-00T00:00:00";
  if (std::strlen(text) != sizeof kForm - 1) return false;
  for (size_t i = 0; kForm[i] != 0; ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == '0' ? !digit : text[i] != kForm[i]) return false;
  }
  const auto field = [text](size_t at, size_t width) {
    unsigned value = 0;
    for (size_t i = at; i < at + width; ++i) value = value * 10 + unsigned(text[i] - '0');
    return value;
  };
  const unsigned year = field(0, 4), month = field(5, 2), day = field(8, 2);
  const unsigned hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 || minute > 59 ||
      second > 59) {
    return false;
  }
  // Day of the week, 0 for Sunday (Sakamoto's rule).
  static const unsigned kMonthOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  const unsigned y = month < 3 ? year - 1 : year;
  const unsigned weekday = (y + y / 4 - y / 100 + y / 400 + kMonthOffsets[month - 1] + day) % 7;
  g_fixedTime.SetDate(year, month, day, weekday);
  g_fixedTime.SetTime(hour, minute, second);
  TTimeDate::SetClock(FixedClock);
  return true;
}

// Why the text is no script argument; null when *out holds it.
const char* ParseArgument(const std::string& text, ScriptArgument* out) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    *out = ScriptArgument::String(text.substr(1, text.size() - 2));
    return nullptr;
  }
  if (text.find('.') != std::string::npos) {
    char* end = nullptr;
    errno = 0;
    const f32 value = std::strtof(text.c_str(), &end);
    if (StartsWithBlank(text.c_str()) || end == text.c_str() || *end != 0) {
      return "an argument with a '.' is a float, a number such as 1.5";
    }
    if (errno == ERANGE) return "the number is beyond a float's range";
    *out = ScriptArgument::Float(value);
    return nullptr;
  }
  long long value = 0;
  if (!ParseWhole(text.c_str(), INT32_MIN, INT32_MAX, &value)) {
    return "an argument without a '.' or double quotes is an int, a whole number from "
           "-2147483648 to 2147483647";
  }
  *out = ScriptArgument::Int(static_cast<i32>(value));
  return nullptr;
}

bool IsExecutableFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// Loads every library of a folder; the ones that load, in the machine's listing order.
std::vector<GSRuntime::GSLibrary*> LoadFolder(GSMachine& machine, const std::string& folder) {
  std::vector<GSRuntime::GSLibrary*> loaded;
  for (const std::string& name : GSMachine::LibraryFiles(folder)) {
    if (GSRuntime::GSLibrary* library = machine.FindLibrary(name)) loaded.push_back(library);
  }
  return loaded;
}

std::string DescribeResult(u32 type, u32 word) {
  switch (type) {
    case 0:
      return "void";
    case 1:
      return word != 0 ? "true" : "false";
    case 2:
      return std::to_string(static_cast<i32>(word));
    case 3: {
      f32 value;
      std::memcpy(&value, &word, sizeof value);
      char text[64];
      std::snprintf(text, sizeof text, "%f", static_cast<f64>(value));
      return text;
    }
    default:
      break;
  }
  if (word == 0) return "null";
  if (type == 4) {
    const GSRuntime::GSString* string = GSRuntime::GSString::FromReference(word);
    return string != nullptr ? string->Std() : "null";
  }
  return GSRuntime::GetGSClassName(GSRuntime::GSObjectReference::FromReference(word));
}

// Writes the context's live images and the glyph atlas into `folder`; false when one could not be
// written.
bool DumpImages(GSRuntime::GSContext* context, const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  bool written = true;
  const auto save = [&](const Qel::Bitmap& bitmap, const std::string& name) {
    const std::string path = (fs::path(folder) / name).string();
    if (!bitmap.SavePng(path.c_str())) {
      std::printf("Could not write %s\n", path.c_str());
      written = false;
    }
  };
  int index = 0;
  GSOImage::ForEachLive(context, [&](const GSOImage& image) {
    const std::string name = "image" + std::to_string(index++) + ".png";
    if (image.Bitmap() != nullptr) save(*image.Bitmap(), name);
  });
  const ScriptHost::GlyphAtlas& atlas = ScriptHost::GlyphAtlas::Get();
  if (atlas.HasTexture()) save(atlas.Texture(), "atlas.png");
  return written;
}

// The world list of the host's context from the file, when there is one; false when it is there
// and cannot be read whole.
bool LoadWorld(KestroScriptContext* context, const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return true;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  Qel::DynamicBuffer buffer;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) buffer.Write(chunk, u32(n));
  std::fclose(file);
  buffer.SetPosition(0);
  TBuffer in(&buffer, false);
  return context->LoadWorldList(in);
}

bool SaveWorld(KestroScriptContext* context, const std::string& path) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  context->SaveWorldList(out);
  return out.GetError() == TStream::kErrorNone &&
         WriteWholeFile(path.c_str(), {{buffer.GetData(), buffer.GetDataSize()}}) ==
             WriteResult::kWritten;
}

struct RunOptions {
  std::string location;  // where the shipped libraries are; beside the program when empty
  bool host = false;
  std::vector<std::string> folders;
  std::string className;
  std::string method;
  std::vector<ScriptArgument> arguments;
  long ticks = 0;
  bool realTime = false;
  std::string world;
  std::string dumpFolder;
};

// Loads the libraries, makes the object and runs the call; the exit code.
int Run(const RunOptions& options) {
  GSMachine::SetLogHook(PrintLog);
  GSMachine::SetExceptionHook(NoteException);
  // The standard classes' natives, so that every standard library links, and the classes native
  // code makes objects of (KUID, Soup...), from the "libraries" folder beside the program. A
  // set-up that fails (a folder without every standard library) still leaves the natives bound.
  GSOOnlineAccess::InstallScriptHooks();
  GSMachine::AddInitHook(ScriptHost::RegisterStandardNatives);
  GSMachine& machine = GSMachine::Instance();
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  const std::string shipped =
      options.location.empty() ? program.parent_path().string() : options.location;
  const std::string base = (fs::path(shipped) / "libraries").string();
  ScriptHost::InitScriptSystem(shipped, ScriptHost::ScriptBinding::kOnFirstUse);
  for (const std::string& folder : options.folders) {
    if (!machine.AddLibraryFolder("", folder)) std::printf("No libraries in %s\n", folder.c_str());
  }
  // The class from the first library that has it, the given folders' before the base's; the
  // base libraries are loaded only when the class is not in the given folders (loading and
  // checking each is most of a run's start-up), and otherwise as the class's library needs them.
  const auto find = [&options](const std::vector<GSRuntime::GSLibrary*>& libraries) {
    GSRuntime::GSClass* found = nullptr;
    for (size_t i = 0; found == nullptr && i < libraries.size(); ++i) {
      found = libraries[i]->FindClass(options.className);
    }
    return found;
  };
  std::vector<GSRuntime::GSLibrary*> given;
  for (const std::string& folder : options.folders) {
    for (GSRuntime::GSLibrary* library : LoadFolder(machine, folder)) given.push_back(library);
  }
  GSRuntime::GSClass* cls = find(given);
  if (cls == nullptr) cls = find(LoadFolder(machine, base));
  if (cls == nullptr) {
    std::printf("No class %s in the libraries\n", options.className.c_str());
    return 1;
  }

  GSRuntime::ScriptObjectHolder object(options.host ? &KestroScriptContext::Create : nullptr);
  if (!object.Create(cls)) {
    std::printf("Could not construct an object of class %s\n", options.className.c_str());
    return 1;
  }
  auto* hostContext = dynamic_cast<KestroScriptContext*>(object.Context());
  if (!options.world.empty() && hostContext != nullptr && !LoadWorld(hostContext, options.world)) {
    std::printf("Could not read the world list %s\n", options.world.c_str());
    return 1;
  }
  const GSRuntime::GSFunction* function =
      object.FindPublicMethod(options.method, options.arguments);
  if (function == nullptr) {
    std::string types;
    for (const ScriptArgument& a : options.arguments)
      types += (types.empty() ? "" : ",") + std::string(a.TypeName());
    std::printf("No public method %s(%s) in class %s\n", options.method.c_str(), types.c_str(),
                options.className.c_str());
    return 1;
  }
  u32 word = 0;
  if (!object.Call(function, options.arguments, &word)) return 1;
  // Threads run on game objects, which the context's router steps on each tick.
  if (GSRouter* router = object.Context()->router)
    RunTicks(*router, options.ticks, options.realTime);
  const bool dumped =
      options.dumpFolder.empty() || DumpImages(object.Context(), options.dumpFolder);
  if (g_threadFailed) {
    if (function->record.header.returnType >= 4) GSRuntime::GSScriptInstance::Release(word);
    return 1;
  }
  // A world list that is not kept fails the run, whatever the call gave.
  if (!options.world.empty() && hostContext != nullptr && !SaveWorld(hostContext, options.world)) {
    std::printf("Could not write the world list %s\n", options.world.c_str());
    return 1;
  }
  const u32 type = function->record.header.returnType;
  std::printf("result: %s\n", DescribeResult(type, word).c_str());
  if (type >= 4) GSRuntime::GSScriptInstance::Release(word);
  return dumped ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Those the loop below takes only with a value after them.
  static const std::set<std::string> kTakesValue = {"--root", "--dump-images", "--world", "--time",
                                                    "--lib",  "--class",       "--ticks", "--call"};
  RunOptions options;
  std::string root;
  bool logToStderr = false;
  // Paths are the user's, from the folder gsrun starts in: the installation's substitutions
  // ("scripts", "local"...) must not take them over.
  // With the folder gone, a relative path has nothing to start from: it is refused.
  const Qel::String here = Qel::File::GetCwd();
  std::string gone;
  const auto path = [&](const char* typed) {
    if (gone.empty() && StartFolderIsGone(here.CStr(), typed)) gone = typed;
    return AnchorPath(here.CStr(), typed).Std();
  };
  std::string typedRoot;
  std::string typedWorld;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // An option right after one that takes a value is not that value: the value is missing.
    if (kTakesValue.contains(arg) && (i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0)) {
      return Refuse(arg, "the option needs a value");
    }
    if (arg == "--root") {
      typedRoot = argv[i + 1];
      root = path(argv[++i]);
    } else if (arg == "--dump-images") {
      options.dumpFolder = path(argv[++i]);
    } else if (arg == "--host") {
      options.host = true;
    } else if (arg == "--real-time") {
      options.realTime = true;
    } else if (arg == "--log-stderr") {
      logToStderr = true;
    } else if (arg == "--world") {
      typedWorld = argv[i + 1];
      options.world = path(argv[++i]);
    } else if (arg == "--time") {
      if (!FixTime(argv[++i])) {
        return Refuse(arg + " " + argv[i],
                      "the time must be a date and time written YYYY-MM-DDTHH:MM:SS");
      }
    } else if (arg == "--lib") {
      options.folders.push_back(path(argv[++i]));
    } else if (arg == "--class") {
      options.className = argv[++i];
      if (options.className.empty()) return Refuse(arg + " \"\"", "the class name is empty");
    } else if (arg == "--ticks") {
      long long ticks = 0;
      if (!ParseWhole(argv[++i], 0, INT32_MAX, &ticks)) {
        return Refuse(arg + " " + argv[i],
                      "the tick count must be a whole number from 0 to 2147483647");
      }
      options.ticks = long(ticks);
    } else if (arg == "--call") {
      options.method = argv[++i];
      if (options.method.empty()) return Refuse(arg + " \"\"", "the method name is empty");
      while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) {
        ScriptArgument argument;
        if (const char* why = ParseArgument(argv[++i], &argument)) return Refuse(argv[i], why);
        options.arguments.push_back(std::move(argument));
      }
    } else {
      return Refuse(arg, "unknown option");
    }
  }
  if (!options.world.empty() && !options.host) {
    return Refuse("--world " + typedWorld,
                  "the world list belongs to the host's script context, which only --host sets up");
  }
  if (!gone.empty()) {
    std::fprintf(stderr, "gsrun: %s\n", StartFolderGoneMessage(gone.c_str()).CStr());
    return 2;
  }
  if (options.className.empty() || options.method.empty()) return Usage();
  if (logToStderr) Qel::Log::SetToStdErr();
  // The asset database is reached through the installation's own daemon: a folder without it is
  // no installation, and is left as it is rather than given the user folders.
  if (!root.empty() && !IsExecutableFile(root + "/bin/PymDaemon")) {
    return Refuse("--root " + typedRoot, "the folder is no installation: it has no bin/PymDaemon");
  }
  std::unique_ptr<ScriptHost::InstallationClient> installation;
  if (!root.empty()) {
    Qel::SetVolume(Qel::PString("data"), (root + "/bin/data/").c_str());
    installation = std::make_unique<ScriptHost::InstallationClient>(root);
    if (!installation->IsOpen()) {
      std::printf("Could not open the asset database of %s\n", root.c_str());
      return 1;
    }
  }
  if (!root.empty()) options.location = root + "/bin";
  return Run(options);
}
