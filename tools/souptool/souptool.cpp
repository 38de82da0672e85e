// A developer tool for soups: prints a soup file in the text form, converts between the forms and
// shows how a text parses as a KUID. The form of a file follows its extension, as for every soup
// file the system reads or writes.
//
//   souptool print FILE
//   souptool convert IN OUT
//   souptool kuid TEXT [--strict]
#include <cstdio>
#include <cstring>
#include <string>

#include "assetdata/soup.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "qel/dynamic_buffer.h"

namespace {

constexpr int kUsageError = 2;

int Usage() {
  std::fputs(
      "usage: souptool print FILE\n"
      "       souptool convert IN OUT\n"
      "       souptool kuid TEXT [--strict]\n"
      "A file is text (.txt) or binary (.chump, .cdp, .cdp2) by its extension.\n",
      stderr);
  return kUsageError;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "souptool: %s\n", message.c_str());
  return 1;
}

bool Load(const char* path, Soup& soup, std::string& error) {
  if (soup.LoadFile(nullptr, path, nullptr)) return true;
  error = std::string("cannot read ") + path +
          ": the file cannot be opened or its extension names no soup form";
  return false;
}

int Print(const char* path) {
  Soup soup;
  std::string error;
  if (!Load(path, soup, error)) return Fail(error);
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  WriteSoupText(out, soup);
  if (out.GetError() != TStream::kErrorNone) return Fail("cannot write the text form");
  const size_t size = buffer.GetDataSize();
  if (size && std::fwrite(buffer.GetData(), 1, size, stdout) != size) {
    return Fail("cannot write to standard output");
  }
  return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to standard output");
}

int Convert(const char* in, const char* out) {
  Soup soup;
  std::string error;
  if (!Load(in, soup, error)) return Fail(error);
  if (!soup.SaveFile(nullptr, out, nullptr)) {
    return Fail(std::string("cannot write ") + out +
                ": the extension names no soup form, the folder is not writable, or the soup "
                "does not fit the form");
  }
  return 0;
}

int ShowKuid(const char* text, bool strict) {
  const KUID kuid = KUID::Parse(text, strict);
  std::printf("%s\nuser %d\ncontent %d\nversion %d\n", kuid.ToString().CStr(), kuid.userId,
              kuid.contentId, kuid.version);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "print" && argc == 3) return Print(argv[2]);
  if (command == "convert" && argc == 4) return Convert(argv[2], argv[3]);
  if (command == "kuid" && argc == 3) return ShowKuid(argv[2], false);
  if (command == "kuid" && argc == 4 && std::strcmp(argv[3], "--strict") == 0) {
    return ShowKuid(argv[2], true);
  }
  return Usage();
}
