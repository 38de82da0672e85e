// The compile command and the driver that turns a GameScript source into a ".gsl" library.
//
// Messages are collected in a GSCompileLog. Errors are counted per unit and summed up the include
// tree; any error means no library is written. A compile runs in the compile environment of the
// thread that starts it (its include search list and pending source prefix), which its state holds
// for the whole run; compiles on different threads may run at once.
#pragma once

#include "qel/string.h"
#include "qel/types.h"

class GSCompileLog;
class GSCompilerState;
class GSSourceFile;
class IncludePathList;
class UnitRecord;

constexpr f64 kCompilerVersion = 1.02;

// The "compile" command. argv[0] is the program name (for the usage text); options and the source
// follow. Returns the number of compile errors, 1 after printing the usage text, 0 after "-d".
// Each message is one line, its control characters escaped (EscapeControlCharacters), on standard
// output and in the build log alike.
// With a base folder, the source and every path option that is relative are taken from it; an
// option left empty means what it means without one; with an empty one (the start folder is gone)
// each relative path is refused, counted as an error, and nothing is compiled. A build log ("-b")
// that cannot be written is named on standard error and counts one error. `warnings`, when given,
// takes the number of warnings printed.
int CompileCommand(int argc, char** argv, const char* baseFolder = nullptr,
                   u32* warnings = nullptr);

// For a process that ends right after its compile: CompileLibraryFile then leaves the compiler's
// trees and tables to the end of the process, whose memory goes back whole, instead of freeing
// them piece by piece, which took a sizeable part of a long unit's compile.
void LeaveCompileStateToExit(bool leave);

// Compiles sourcePath and writes "<name>.gsl" into the folder part of outputPath (or of the
// source path when outputPath is null or empty). Refills the calling thread's include search
// list with the source's folder and the user's folders. Returns the error count; 1 when the
// library cannot be written. With a base folder, a relative source or output path is taken from
// it; the library still records the source path as given. `warnings`, when given, takes the
// warning count of every unit compiled; warnings do not keep the library from being written.
i32 CompileLibraryFile(const char* sourcePath, const char* outputPath,
                       const IncludePathList* userIncludes, GSCompileLog* log,
                       const char* baseFolder = nullptr, u32* warnings = nullptr);

// Compiles a unit found on the calling thread's include search list as it stands and writes the
// library to outputPath (no file when null). Returns 0, the error count, or 1 when writing
// failed; 0 for a null source name. Messages of its own go to the log only when one is given.
i32 CompileScriptFile(const char* sourceName, const char* outputPath, GSCompileLog* log);

// Parses and declares the root unit `name` (a ".gse" name compiles as ".gs") and its includes,
// after resetting the state; returns the error count. The semantic pass runs in full over the
// root and declares the includes.
i32 DeclareTopUnit(GSCompilerState& state, const char* name, GSCompileLog* log);
// DeclareTopUnit, then code generation.
i32 CompileTopUnit(GSCompilerState& state, const char* name, GSCompileLog* log);
// Compiles one unit and the units it includes; returns their summed error count.
i32 CompileUnit(GSCompilerState& state, const char* name, UnitRecord& unit, bool isRoot);
// Finds and reads the unit's source (a plain one, or a packed one unpacked) and sets the unit's
// ids; false, with the message reported and the error counted, when it cannot be read. The search
// list is that of the unit's state, as is the prefix when `source` was made with that state's
// environment.
bool LoadUnitSource(const char* name, UnitRecord& unit, GSSourceFile& source);
// LoadUnitSource, then the parse; true when there were errors.
bool ParseUnitSource(const char* name, UnitRecord& unit);

// Sets the unit's ids: sourceId over the text after the first prefixLength bytes (a prefix put
// before a source does not change its id), nameId over the lower-cased file-name part of name.
void ComputeUnitIds(UnitRecord& unit, const char* name, const char* text, u32 length,
                    u32 prefixLength);

// Where CompileLibraryFile writes the library of sourcePath: the folder part of outputPath (or of
// sourcePath when outputPath is null or empty), then the source's base name and ".gsl".
Qel::String LibraryOutputPath(const char* sourcePath, const char* outputPath);

// Keeps the part after the last '\\', '/' or ':'.
void StripToFileName(Qel::String& path);

// The language manual that "-d" prints.
const char* GetCompilerManual();
