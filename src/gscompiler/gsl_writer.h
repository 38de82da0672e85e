// The library writer: lays out the ".gsl" image of a compiled unit (gscommon/library_format.h).
#pragma once

#include <vector>

#include "gscommon/byte_buffer.h"
#include "qel/types.h"

class GSCompileLog;
class GSCompilerState;

namespace GSCompiler {

class GSSymbol;

// Writes the whole image into `image` from position 0. False when a class record cannot be
// written or a buffer ran out of storage; the image is then unusable. The state's generated
// classes go as their records are written, so a state is written once: a second write fails.
bool GslWriter(Utils::ByteBuffer& image, GSCompilerState& state, GSCompileLog* log,
               const char* libraryName);

// The same image in pieces that follow each other in the file: `head` (from position 0: the
// header, the library ids and the strings, whose numbers the rest assigns), then `rest` (the
// reference sections, then the class section a bounded piece at a time). Writing the pieces
// apart spares copying them behind each other and growing one buffer to a library's size.
bool GslWriterPieces(Utils::ByteBuffer& head, std::vector<Utils::ByteBuffer>& rest,
                     GSCompilerState& state, const char* libraryName);

// `globals` is the symbol table's GlobalsInTableOrder(), sorted once for the three sections that
// walk it; writing adds no global symbol.
void WriteLibraryIdTable(Utils::ByteBuffer& out, GSCompilerState& state,
                         const std::vector<GSSymbol*>& globals);
void WriteStringSection(Utils::ByteBuffer& out, GSCompilerState& state);
void WriteClassReferenceSection(Utils::ByteBuffer& out, GSCompilerState& state,
                                const std::vector<GSSymbol*>& globals);
void WriteFunctionReferenceSection(Utils::ByteBuffer& out, GSCompilerState& state,
                                   const std::vector<GSSymbol*>& globals);
// Starts the section in pieces.back() and adds pieces for the class records as they fill; each
// class of state.classes is released once its record is written.
bool WriteClassSection(std::vector<Utils::ByteBuffer>& pieces, GSCompilerState& state);

}  // namespace GSCompiler
