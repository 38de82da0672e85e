// The static natives of the script class "Str": string functions that change their string
// argument in place, a tokenizer and the unpacking of whitespace-delimited words. The machine
// registers them after its own, followed by those of "Math".
#pragma once

class GSMachine;

namespace GSRuntime {

void RegisterStrAndMathNatives(GSMachine& machine);

}  // namespace GSRuntime
