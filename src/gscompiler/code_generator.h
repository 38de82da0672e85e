// Code generation for a checked unit: each class of the root unit becomes a GSCClass with its
// functions' byte code, its field-initialiser code and its method table, ready for the library
// writer.
#pragma once

class GSCompilerState;

namespace GSCompiler {

// Generates every class of the state's root unit into state.classes. Runs only on a unit that
// has a tree and no errors. False after a message: a prototype never implemented, a native
// function with a body, an override with another return type, a duplicate case, an unresolved
// jump label, an operand out of its range, or an internal error.
bool GenerateUnit(GSCompilerState& state);

}  // namespace GSCompiler
