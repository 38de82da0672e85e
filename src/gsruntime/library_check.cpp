#include "gsruntime/library_check.h"

#include <string_view>
#include <vector>

#include "gsruntime/byte_code_verifier.h"

namespace GSRuntime {

namespace {

// -1 or an index below count.
bool Optional(i32 value, size_t count) {
  return value == -1 || (value >= 0 && size_t(value) < count);
}
bool Inside(i64 value, size_t count) { return value >= 0 && u64(value) < count; }

// Native code calls a method with one word for each parameter its signature text names, a
// counted reference for each type but bool, int and float: the text must name as many as the
// record takes, each of the kind its slot is released as.
bool ParametersMatchSlots(const std::string& signature, const GSByteCode::FunctionRecord& f) {
  const size_t open = signature.find('(');
  const size_t close = signature.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  const std::vector<u8> kinds = ShapeOf(f).argumentKinds;
  size_t parameter = 0;
  for (size_t start = open + 1; start < close; ++parameter) {
    size_t end = signature.find(',', start);
    if (end == std::string::npos || end > close) end = close;
    const std::string_view type(signature.data() + start, end - start);
    const u8 kind =
        type == "bool" || type == "int" || type == "float" ? kValueWord : kReferenceWord;
    if (parameter >= kinds.size() || kinds[parameter] != kind) return false;
    start = end + 1;
  }
  return parameter == kinds.size();
}

bool CheckFunction(const GSByteCode::FunctionRecord& f, const GSLibraryFormat::LibraryImage& image,
                   size_t methods) {
  const GSByteCode::FunctionRecordHeader& h = f.header;
  if (!Inside(h.name, image.strings.size()) ||
      !Optional(h.returnClass, image.classReferences.size()) || !Optional(h.slot, methods)) {
    return false;
  }
  // Each count alone stays far below the 32-bit range, so their sums cannot wrap.
  if (h.argumentWords > 0xFFFF || h.localWordsFirst > 0xFFFF || h.localWordsSecond > 0xFFFF ||
      h.frameWords > kMaxFrameWords) {
    return false;
  }
  const u64 locals = u64(h.localWordsFirst) + h.localWordsSecond;
  if (h.frameWords < locals + 4) return false;
  // Entering a frame trusts these three: any other value puts the header or `me` elsewhere
  // than the argument and local words that the code and the reference slots were checked for.
  if (h.argumentWords == 0 || h.frameAdvance != locals + 4 || h.headerOffset != locals + 1 ||
      h.localsOffset != 1 - i64(h.argumentWords)) {
    return false;
  }
  const u64 slots = LocalSlotCount(h);
  for (u32 slot : f.referenceSlots) {
    if (slot >= slots) return false;
  }
  return ParametersMatchSlots(image.strings[h.name], f);
}

}  // namespace

bool CheckLibraryImage(const GSLibraryFormat::LibraryImage& image, std::string* error) {
  const auto fail = [&](const std::string& where) {
    if (error != nullptr) *error = where;
    return false;
  };
  const size_t strings = image.strings.size();
  const size_t classRefs = image.classReferences.size();
  if (image.units.empty()) return fail("no library ids");
  for (size_t i = 0; i < classRefs; ++i) {
    if (!Inside(image.classReferences[i].first, image.units.size()) ||
        !Inside(image.classReferences[i].second, strings)) {
      return fail("class reference " + std::to_string(i));
    }
  }
  for (size_t i = 0; i < image.functionReferences.size(); ++i) {
    const auto& r = image.functionReferences[i];
    if (!Inside(r.classReference, classRefs) || !Inside(r.name, strings) || r.slot < -1) {
      return fail("function reference " + std::to_string(i));
    }
  }
  for (size_t c = 0; c < image.classes.size(); ++c) {
    const GSLibraryFormat::ClassImage& cls = image.classes[c];
    const std::string where = "class " + std::to_string(c);
    if (!Inside(cls.name, strings)) return fail(where + " name");
    if (cls.instanceWords < 3 || cls.instanceWords > kMaxInstanceWords) {
      return fail(where + " instance size");
    }
    for (const auto& p : cls.parents) {
      if (!Inside(p.classReference, classRefs) || !Inside(p.memberOffset, cls.instanceWords)) {
        return fail(where + " base");
      }
    }
    if (cls.functions.empty()) return fail(where + " functions");
    for (const auto& f : cls.functions) {
      if (!CheckFunction(f, image, cls.methods.size())) return fail(where + " function");
    }
    for (const auto& f : cls.fields) {
      if (!Inside(f.name, strings) || !Optional(f.classReference, classRefs) ||
          !Inside(f.slot, cls.instanceWords)) {
        return fail(where + " field");
      }
    }
    for (const auto& m : cls.methods) {
      if (!Inside(m.functionReference, image.functionReferences.size()) ||
          !Inside(m.viewOffset, cls.instanceWords)) {
        return fail(where + " method table");
      }
    }
    for (const auto& e : cls.layout) {
      if (!Inside(e.word, cls.instanceWords)) return fail(where + " layout");
    }
    for (u32 slot : cls.referenceFields) {
      if (slot >= cls.instanceWords) return fail(where + " reference field");
    }
  }
  return true;
}

}  // namespace GSRuntime
