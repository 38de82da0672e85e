// A loaded and linked script library and the classes and function records read from it. The
// image's numbered references become direct pointers when the machine links the library; every
// number in the image has been checked against its table first (library_check.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gscommon/double_link_list.h"
#include "gscommon/library_image.h"
#include "gsruntime/byte_code_verifier.h"
#include "gsruntime/script_arena.h"
#include "qel/types.h"

class GSMachine;

namespace GSRuntime {

class GSContext;
class GSNativeFunction;
class GSObject;
struct GSClass;
struct GSLibrary;

// One function of a class, as read from its tag-9 record.
struct GSFunction {
  GSClass* ownerClass = nullptr;
  GSLibrary* library = nullptr;
  const std::string* name = nullptr;  // the signature text
  GSByteCode::FunctionRecord record;
  GSNativeFunction* native = nullptr;  // natives only; null while unbound
  GSFunction* overridden = nullptr;    // non-natives: the base function this one replaces
  i32 overriddenViewOffset = 0;
  u32 number = 0;  // in the machine's function table, which stack frames name it by
  // The shape each call of this code was proved with, by offset; and this function's own shape
  // as the target of a call. Both are set when the library's code is verified.
  std::vector<CallSite> callSites;
  CallShape shape;

  bool IsNative() const { return (record.header.flags & 0x2) != 0; }
  // Whether `callee`, found at run time for the call at code offset `site`, takes the words the
  // call passes as the kinds they are and leaves what the call was proved with. A callee of
  // another shape would leave this frame's stack in a state nothing proved. Off the hot path:
  // the interpreter asks once per call site and class (ObjectBridge::ResolveCall).
  bool CallFits(u32 site, const GSFunction* callee) const;
};

struct GSFunctionLink {
  GSClass* ownerClass = nullptr;
  const std::string* name = nullptr;
  i32 slot = -1;
  GSFunction* function = nullptr;
};

struct GSClassLink {
  GSLibrary* library = nullptr;
  const std::string* name = nullptr;
  GSClass* linkedClass = nullptr;
};

struct GSMethodEntry {
  GSFunctionLink* link = nullptr;
  u32 functionReference = 0;
  i32 viewOffset = 0;
};

struct GSClass {
  GSMachine* owner = nullptr;
  GSLibrary* library = nullptr;
  const std::string* name = nullptr;
  u32 flags = 0;
  u32 index = 0;
  std::vector<GSLibraryFormat::ClassImage::Parent> bases;
  std::vector<GSFunction> functions;  // the last one is the field initialiser
  std::vector<GSLibraryFormat::ClassImage::Field> fields;
  std::vector<GSMethodEntry> methods;
  u32 instanceWords = 0;
  std::vector<GSLibraryFormat::ClassImage::LayoutEntry> layout;
  std::vector<u32> referenceFields;
  // Per member word of an instance, as this class's code sees it: kNoField, kValueField or
  // kReferenceField (a counted reference, released when the instance goes). Own fields and
  // every base's, at the base's view offset. Set at load.
  static constexpr u8 kNoField = 0;
  static constexpr u8 kValueField = 1;
  static constexpr u8 kReferenceField = 2;
  std::vector<u8> fieldKinds;

  u32 runtimeId = 0;  // number in the class table (gs_script_instance.h), 0 until first used

  virtual ~GSClass();
  // Index of the first function whose signature text is `name`, or -1.
  i32 FindFunction(const std::string& name) const;
  // The member words of the class's own fields in declaration order (the library lists fields in
  // the order of its symbol table, but gives their words in declaration order).
  std::vector<u32> FieldSlots() const;

  // The class of base entry i.
  GSClass* BaseClass(size_t i) const;
  // Index of the base entry whose class is `base` (searched from the last entry), or -1.
  i32 BaseIndex(const GSClass* base) const;
  // Whether this class or one of its bases is named `className`.
  bool IsA(const char* className) const;
  struct MethodLocation {
    GSClass* holder;
    i32 index;       // function index in the holder
    i32 viewOffset;  // of the holder's view inside this class's instances
  };
  // The first function with that signature text: this class's own, else the first base's (in
  // stored order) that has one; false when none has.
  bool FindMethod(const std::string& signature, MethodLocation* out);

  // Makes an instance bound to `object` in `context`: header, layout, field initialisers from
  // the last base to this class. False when the object is bound already, the arena is full or
  // an initialiser fails; the object is then left unbound.
  bool CreateInstance(GSObject* object, GSContext* context);
  // Releases and nulls the reference fields of every view; false when `instance` is not of this
  // class.
  bool ReleaseFields(ScriptRef instance);
};

struct GSDependency {
  GSLibrary* library = nullptr;
  u32 sourceId = 0;
  u32 nameId = 0;
};

struct GSLibrary : public Utils::IDoubleLinkListNode {
  GSMachine* owner = nullptr;
  // Kept for the library's life: function code points into it.
  std::vector<u8> imageBuffer;
  GSLibraryFormat::LibraryImage image;  // the read tables; strings are the constants
  f32 version = 0;
  u32 sourceId = 0;
  u32 nameId = 0;
  std::vector<GSDependency> dependencies;
  std::vector<GSClassLink> classLinks;
  std::vector<GSFunctionLink> functionLinks;
  std::vector<std::unique_ptr<GSClass>> classes;
  std::string name;

  ~GSLibrary() override;
  // The last class named `name`, or null.
  GSClass* FindClass(const std::string& className) const;
  bool DependsOn(const GSLibrary* other) const;
};

}  // namespace GSRuntime
