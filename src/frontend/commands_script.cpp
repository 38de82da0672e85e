// Commands over GameScript source files.
#include "assetdata/results_log.h"
#include "frontend/application.h"
#include "frontend/command_dispatcher.h"
#include "frontend/commands.h"
#include "gscompiler/compile_driver.h"
#include "gscompiler/gs_source_file.h"
#include "qel/file.h"

int Compile(CommandArgs& a) {
  if (a.second.IsEmpty()) {
    AddError(a.log, "Invalid file path.");
    return -1;
  }
  // Every typed path is anchored below; an empty -i still names the working folder.
  StartupFolderScope inStartupFolder;
  a.argv[1] = const_cast<char*>("");
  u32 warnings = 0;
  const int errors = CompileCommand(a.argc, a.argv, GetStartupFolder().CStr(), &warnings);
  // The compiler printed its messages itself; the summary line still counts its errors and
  // warnings, so a failed compile never ends in "OK (0 Errors, ...)". Warnings alone leave the
  // command's success as it is.
  a.log->CountPrintedElsewhere(errors > 0 ? u32(errors) : 0, warnings);
  return errors == 0 ? 0 : -1;
}

int Encrypt(CommandArgs& a) {
  // The output takes the case the user typed; the file layer finds the input in any case.
  const char* input = a.Arg(2);
  Qel::File::Path output;
  if (input != nullptr && *input != '\0' && Qel::File::Path(input).IsExt("gs")) {
    output = Qel::File::Path(input);
    output.ChangeExtension("gse");
  }
  GSSourceFile source;
  if (output.IsEmpty() || !source.Load("", JoinToStartupFolder(input).CStr())) {
    AddError(a.log, "Invalid file path.");
    return -1;
  }
  // An empty text has no packed form that reads back; the target is left alone.
  if (source.GetTextLength() == 0) {
    AddError(a.log, Qel::String::Format("Could not encrypt file %s: the file is empty.", input));
    return -1;
  }
  if (!source.Pack()) {
    AddError(a.log,
             Qel::String::Format("Could not encrypt file %s: it is too large to pack.", input));
    return -1;
  }
  // A target of another extension would be saved as plain text or not at all.
  if (const char* target = a.Arg(3); target != nullptr) {
    if (!Qel::File::Path(target).IsExt("gse")) {
      AddError(a.log,
               Qel::String::Format("Could not encrypt file %s: the target %s is not a .gse file.",
                                   input, target));
      return -1;
    }
    output = Qel::File::Path(target);
  }
  // A failed save must not pass for an encrypted file.
  if (!source.Save("", JoinToStartupFolder(output.CStr()).CStr())) {
    AddError(a.log, Qel::String::Format("Could not write file %s.", output.CStr()));
    return -1;
  }
  return 0;
}
