// The settings of one texture stage's colour or alpha operation, as combiners are made from them:
// four scalars (stage, scale, mode, function) and four arguments of (flag, source, modifier).
// The display keeps them as text; this tool never evaluates them.
#pragma once

#include "qel/string.h"
#include "qel/types.h"

namespace Qel {

struct TexArg {
  u8 flag = 0;
  u32 source = 3;
  u32 modifier = 3;
};

struct TextureArgs {
  i32 stage = 0;
  u32 scale = 1;
  u32 mode = 0;
  u32 function = 0;
  TexArg args[4];

  String ToText() const {
    String text = String::Format("%d %u %u %u", stage, scale, mode, function);
    for (const TexArg& arg : args) {
      text += String::Format(" (%u %u %u)", arg.flag, arg.source, arg.modifier);
    }
    return text;
  }
};

// The text a display makes a combiner from: its first stage and its colour and alpha settings.
inline String CombinerText(u32 stage, const TextureArgs& colour, const TextureArgs& alpha) {
  return String::Format("stage %u colour ", stage) + colour.ToText() + " alpha " + alpha.ToText();
}

}  // namespace Qel
