#include "gsruntime/byte_code_verifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ByteCodeVerifierTest, RefusesWhatItCannotProve) {
  // Frame: me + 1 argument + 1 local = slots 0..2; 8 frame words; 2 strings, 1 class, 3 methods.
  struct Case {
    std::vector<u8> code;
    const char* fault;  // empty: the code verifies
  };
  const std::vector<Case> cases = {
      {{31, 2, 0, 110}, ""},                                         // LOAD 2; RETV
      {{31, 3, 0, 110}, "bad slot"},                                 // LOAD 3
      {{116}, "bad opcode"},                                         // no such instruction
      {{30, 1, 2}, "operands past the code"},                        // PUSHC cut short
      {{43, 6, 0, 0, 0, 109, 109}, ""},                              // JMP 6 -> RET
      {{43, 2, 0, 0, 0, 109}, "bad jump target"},                    // into JMP's own operand
      {{43, 9, 0, 0, 0, 109}, "bad jump target"},                    // past the code
      {{73, 2, 0}, "bad string index"},                              // PUSHS 2
      {{88, 1, 0}, "bad class index"},                               // NEW 1
      {{103, 4, 0}, "bad field"},                                    // GETMF 4 of a 4-word class
      {{94, 0, 0, 3, 0}, "bad method index"},                        // CALL slot 0, method 3
      {{94, 0xF8, 0xFF, 0, 0}, "bad call slot"},                     // CALL slot -8
      {{113, 1, 0, 5, 0, 0, 0, 15, 0, 0, 0, 15, 0, 0, 0, 109}, ""},  // SWITCH {5: 15} default 15
      {{112, 1, 0, 0, 0, 2, 0, 7, 0, 0, 0}, "bad message string"},   // WAIT on string 2
      {{31, 2, 0}, "code runs past its end"},                        // LOAD 2, no return
  };
  for (const Case& c : cases) {
    GSByteCode::FunctionRecord f;
    f.header.argumentWords = 1;
    f.header.localWordsFirst = 1;
    f.header.frameWords = 8;
    f.code = c.code.data();
    f.codeLength = u32(c.code.size());
    std::string error;
    const bool good = GSRuntime::VerifyFunctionCode(f, {2, 1, 4, 3}, &error);
    EXPECT_EQ(good, *c.fault == 0) << c.fault << " " << error;
    EXPECT_NE(error.find(c.fault), std::string::npos) << error;
  }
}

}  // namespace
