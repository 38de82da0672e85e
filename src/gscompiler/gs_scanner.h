// The scanner of GameScript units: a flex scanner class whose fatal errors throw instead of
// ending the process. Token codes are those of the grammar (gscompiler/gs_grammar.h, generated).
#pragma once

#include <istream>
#include <stdexcept>

#ifndef yyFlexLexerOnce
#include <FlexLexer.h>
#endif

namespace GSCompiler {

// The scanner machinery failed (input error, exhausted memory, an internal fault).
class ScannerFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class GSScanner : public yyFlexLexer {
 public:
  static constexpr int kBufferSize = 16384;

  // Reads from input through a buffer of kBufferSize bytes; throws ScannerFailure when the
  // buffer cannot be made.
  explicit GSScanner(std::istream& input);
  ~GSScanner() override = default;
  GSScanner(const GSScanner&) = delete;
  GSScanner& operator=(const GSScanner&) = delete;

 protected:
  // Throws ScannerFailure with the message.
  void LexerError(const char* message) override;
};

}  // namespace GSCompiler
