#include "gscommon/gs_types.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace GSTypes;

TEST(GSTypesTest, NamesAndCodesAreInverse) {
  for (i32 code = 0; code <= kTypeNull; ++code) {
    if (code == kTypeNone) continue;
    EXPECT_EQ(TypeCode(TypeName(code)), code) << code;
  }
  EXPECT_STREQ(TypeName(kTypeNone), "");
  EXPECT_STREQ(TypeName(14), "illegal type");
  EXPECT_STREQ(TypeName(-1), "illegal type");
  EXPECT_EQ(TypeCode("KUID[]"), kTypeObjectArray);
  EXPECT_EQ(TypeCode(""), kTypeNone);
  auto known = [](const char* name, void*) { return std::strcmp(name, "KUID") == 0; };
  EXPECT_EQ(TypeCode("KUID", known), kTypeObject);
  EXPECT_EQ(TypeCode("Other", known), kTypeNone);
}

TEST(GSTypesTest, DescriptorsNameTheirClass) {
  const TypeDescriptor cls{kTypeObject, "KUID"};
  const TypeDescriptor array{kTypeObjectArray, "KUID"};
  const TypeDescriptor plain{kTypeIntArray, nullptr};
  const TypeDescriptor emptyClass{kTypeObject, ""};
  EXPECT_EQ(TypeName(&cls), "KUID");
  EXPECT_EQ(TypeName(&array), "KUID[]");
  EXPECT_EQ(TypeName(&plain), "int[]");
  EXPECT_EQ(TypeName(&emptyClass), "object");
  EXPECT_EQ(TypeName(nullptr), "illegal type");

  const TypeDescriptor null{kTypeNull, nullptr};
  const TypeDescriptor other{kTypeObject, "Soup"};
  EXPECT_TRUE(TypesEqual(null, cls));
  EXPECT_TRUE(TypesEqual(cls, null));
  EXPECT_TRUE(TypesEqual(emptyClass, TypeDescriptor{kTypeObject, nullptr}));
  EXPECT_FALSE(TypesEqual(cls, other));
  EXPECT_FALSE(TypesEqual(cls, emptyClass));
  EXPECT_FALSE(TypesEqual(TypeDescriptor{kTypeInt, nullptr}, TypeDescriptor{kTypeFloat, nullptr}));
}

TEST(GSTypesTest, SpecifierWordsComeInTheirOrder) {
  EXPECT_EQ(SpecifierText(0), "");
  EXPECT_EQ(SpecifierText(0x1FF),
            "public native static final thread constructor game secured define ");
  EXPECT_EQ(SpecifierText(kSpecDefine | kSpecPublic | 0x80000000), "public define ");
  EXPECT_STREQ(OperatorName(0), "--");
  EXPECT_STREQ(OperatorName(9), "[,]");
  EXPECT_STREQ(OperatorName(27), "|");
  EXPECT_STREQ(OperatorName(34), "new");
  EXPECT_STREQ(OperatorName(35), "");
}

std::vector<std::string> Parameters(const char* signature) {
  std::vector<std::string> out;
  const char* cursor = SignatureParameters(signature);
  std::string piece;
  while (NextSignatureParameter(cursor, piece)) out.push_back(piece);
  return out;
}

TEST(GSTypesTest, SignatureParametersRunToTheClosingParenthesis) {
  using List = std::vector<std::string>;
  EXPECT_EQ(Parameters("$int@KUIDList::CountKUIDs()"), List{});
  EXPECT_EQ(Parameters("::f(int,KUID[],string)"), (List{"int", "KUID[]", "string"}));
  EXPECT_EQ(Parameters("$void@C::g(float"), List{"float"});
  EXPECT_EQ(Parameters("no list"), List{});
  EXPECT_EQ(Parameters(nullptr), List{});
  EXPECT_EQ(Parameters("::h(int,,float)"), List{"int"}) << "an empty piece ends the list";
}

}  // namespace
