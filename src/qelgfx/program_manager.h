// Built-in vertex and pixel programs: plug-ins register their texts by name for the process; a
// lookup compiles one into a display (the null display stores it) and hands out its handle.
#pragma once

#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"
#include "qelgfx/display.h"

namespace Qel {

class VertexProgramManager {
 public:
  explicit VertexProgramManager(Display& display) : display_(display) {}
  // A library text: each line "program <name> (<vertex>) = <sections>" defines one program over
  // the sections the text declares. Registering a name again replaces its text.
  static void RegisterBuiltInPrograms(const PString& library, const String& text);
  // 0 with the program's handle; 1 when the library is unknown or does not define the program.
  u32 LookupProgram(const PString& library, const PString& program, u32& handle) const;

 private:
  Display& display_;
};

class TextureCombinerManager {
 public:
  explicit TextureCombinerManager(Display& display) : display_(display) {}
  // One pixel program a name.
  static void RegisterBuiltInPrograms(const PString& name, const String& text);
  // 0 with the program's handle; 1 when no text is registered under the name.
  u32 LookupProgram(const PString& name, u32& handle) const;

 private:
  Display& display_;
};

}  // namespace Qel
