#include "gsruntime/byte_code_verifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// A function with a result; frame: me + 1 argument + 1 local = slots 0..2; 8 frame words.
GSByteCode::FunctionRecord Record(const std::vector<u8>& code) {
  GSByteCode::FunctionRecord f;
  f.header.returnType = 1;
  f.header.argumentWords = 2;
  f.header.localWordsFirst = 1;
  f.header.frameWords = 8;
  f.code = code.data();
  f.codeLength = u32(code.size());
  return f;
}

TEST(ByteCodeVerifierTest, RefusesWhatItCannotProve) {
  // 2 strings, 1 class, 3 methods.
  struct Case {
    std::vector<u8> code;
    const char* fault;  // empty: the code verifies
  };
  const std::vector<Case> cases = {
      {{31, 2, 0, 110}, ""},                       // LOAD 2; RETV
      {{31, 3, 0, 110}, "bad slot"},               // LOAD 3
      {{116}, "bad opcode"},                       // no such instruction
      {{30, 1, 2}, "operands past the code"},      // PUSHC cut short
      {{43, 5, 0, 0, 0, 10, 110}, ""},             // JMP 5 -> PUSH0; RETV
      {{43, 2, 0, 0, 0, 109}, "bad jump target"},  // into JMP's own operand
      {{43, 9, 0, 0, 0, 109}, "bad jump target"},  // past the code
      {{73, 2, 0}, "bad string index"},            // PUSHS 2
      {{88, 1, 0}, "bad class index"},             // NEW 1
      {{103, 4, 0}, "bad field"},                  // GETMF 4 of a 4-word class
      {{94, 0, 0, 3, 0}, "bad method index"},      // CALL slot 0, method 3
      {{94, 0xF8, 0xFF, 0, 0}, "bad call slot"},   // CALL slot -8
      {{10, 113, 1, 0, 5, 0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0, 10, 110}, ""},  // SWITCH {5: 16}
      {{112, 1, 0, 0, 0, 2, 0, 7, 0, 0, 0}, "bad message string"},           // WAIT on string 2
      {{31, 2, 0}, "code runs past its end"},                                // LOAD 2, no return
      // The operand stack: 3 words deep at most (8 frame words, 1 local, 4 header words).
      {{112, 1, 0, 0, 0, 0, 0, 11, 0, 0, 0, 110}, ""},         // WAIT resumes with the message
      {{10, 10, 10, 10, 110}, "stack deeper"},                 // 4 pushes
      {{10, 10, 10, 39, 110}, "stack deeper"},                 // DUP onto a full stack
      {{37, 10, 110}, "stack underflow"},                      // POP of nothing
      {{10, 61, 110}, "stack underflow"},                      // ASET of one word
      {{10, 10, 110}, "unbalanced return"},                    // RETV with two words
      {{109}, "return without its value"},                     // RET in a function with a result
      {{11, 46, 7, 0, 0, 0, 10, 110}, "stack depths differ"},  // JZK skips a PUSH0
      {{11, 43, 0, 0, 0, 0}, "stack depths differ"},           // a loop that pushes each time
      {{31, 0, 0, 94, 0xFF, 0xFF, 0, 0, 110},
       "stack underflow"},  // CALL of me and an argument, with only me
      // Counted references against plain words (slot 0 `me` is one; slots 1 and 2 are not).
      {{30, 5, 0, 0, 0, 38, 10, 110}, "a value where a reference"},  // PUSHC 5; POPR
      {{32, 0, 0, 35, 1, 0, 10, 110}, "on a value slot"},            // LOADR 0; STORER 1
      {{32, 0, 0, 33, 1, 0, 31, 1, 0, 38, 10, 110}, ""},             // a count parked in 1
      {{32, 0, 0, 33, 1, 0, 31, 1, 0, 38, 31, 1, 0, 38, 10, 110}, "a value where a reference"},
      {{10, 111}, "another kind"},  // RETVR of a bool
      {{11, 44, 14, 0, 0, 0, 32, 0, 0, 43, 19, 0, 0, 0, 30, 7, 0, 0, 0, 37, 10, 110},
       "references and values differ"},  // a reference on one path, a value on the other
      // Fields of `me`: words 0 and 1 are the view's own, 2 a value and 3 a reference.
      {{32, 0, 0, 105, 0, 0, 10, 110}, "bad field"},     // LOADR 0; SETMF 0
      {{32, 0, 0, 106, 2, 0, 10, 110}, "another kind"},  // LOADR 0; SETMFR 2
      {{104, 3, 0, 38, 103, 3, 0, 110}, ""},             // GETMFR 3; POPR; GETMF 3
  };
  const std::vector<u8> fieldKinds = {0, 0, 1, 2};
  // Each case alone, then all through one workspace, forwards and backwards: what one function
  // leaves in the workspace must not change the verdict on the next.
  GSRuntime::VerifierWorkspace workspace;
  for (const bool shared : {false, true}) {
    for (size_t n = 0; n < 2 * cases.size(); ++n) {
      if (!shared && n >= cases.size()) break;
      const Case& c = cases[n < cases.size() ? n : 2 * cases.size() - 1 - n];
      const GSByteCode::FunctionRecord f = Record(c.code);
      std::string error;
      GSRuntime::VerifierLimits limits{2, 1, 4, 3};
      limits.memberKinds = &fieldKinds;
      const bool good =
          GSRuntime::VerifyFunctionCode(f, limits, &error, nullptr, shared ? &workspace : nullptr);
      EXPECT_EQ(good, *c.fault == 0) << c.fault << " " << error << (shared ? " (shared)" : "");
      EXPECT_NE(error.find(c.fault), std::string::npos) << error;
    }
  }
}

// Method 0 with no arguments leaves a reference on class 1, a value on class 2, and either on an
// object of unknown class; method 1 takes one reference. How each call was walked, by offset.
TEST(ByteCodeVerifierTest, UndecidedCallsFollowTheirReceiverOrTheirTaker) {
  static const GSRuntime::CallShape kReference{{}, GSRuntime::kReferenceResult};
  static const GSRuntime::CallShape kValue{{}, GSRuntime::kValueResult};
  static const GSRuntime::CallShape kEither{{}, GSRuntime::kEitherResult};
  static const GSRuntime::CallShape kTaker{{GSRuntime::kReferenceWord}, GSRuntime::kValueResult};
  struct Case {
    std::vector<u8> code;
    u32 site;
    u8 result;
  };
  const std::vector<Case> cases = {
      {{88, 0, 0, 94, 0, 0, 0, 0, 37, 10, 110}, 3, GSRuntime::kReferenceResult},  // NEW 0: class 1
      {{88, 1, 0, 94, 0, 0, 0, 0, 37, 10, 110}, 3, GSRuntime::kValueResult},      // NEW 1: class 2
      // Kept in a local first: NEW 0; STORER 2; LOADR 2; CALL
      {{88, 0, 0, 35, 2, 0, 32, 2, 0, 94, 0, 0, 0, 0, 37, 10, 110}, 9, GSRuntime::kReferenceResult},
      // `me`, of unknown class, handed straight to method 1: LOADR 0; LOADR 0; CALL; CALL -1, 1
      {{32, 0, 0, 32, 0, 0, 94, 0, 0, 0, 0, 94, 0xFF, 0xFF, 1, 0, 110},
       6,
       GSRuntime::kReferenceResult},
      // Nothing tells: a value, as before. LOADR 0; CALL; POP
      {{32, 0, 0, 94, 0, 0, 0, 0, 37, 10, 110}, 3, GSRuntime::kValueResult},
  };
  GSRuntime::VerifierWorkspace workspace;  // shared by the cases, as a library's functions share it
  for (const Case& c : cases) {
    GSByteCode::FunctionRecord f = Record(c.code);
    f.referenceSlots = {2};
    GSRuntime::VerifierLimits limits{2, 2, 4, 3};
    limits.callTarget = [](const void*, u32 receiver, u32 method, u32 words) {
      if (method == 1 && words == 2) return GSRuntime::CallTarget{&kTaker, 0};
      if (method != 0 || words != 1) return GSRuntime::CallTarget{};
      return GSRuntime::CallTarget{receiver == 1   ? &kReference
                                   : receiver == 2 ? &kValue
                                                   : &kEither,
                                   0};
    };
    std::string error;
    std::vector<GSRuntime::CallSite> sites;
    ASSERT_TRUE(GSRuntime::VerifyFunctionCode(f, limits, &error, &sites, &workspace)) << error;
    const auto at = std::find_if(sites.begin(), sites.end(),
                                 [&](const GSRuntime::CallSite& s) { return s.offset == c.site; });
    ASSERT_NE(at, sites.end()) << c.site;
    EXPECT_EQ(at->shape.result, c.result) << "case " << (&c - &cases[0]);
  }
}

}  // namespace
