#include "gsruntime/library_check.h"

#include <string_view>
#include <vector>

#include "gsruntime/byte_code_verifier.h"
#include "gsruntime/gs_library.h"

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

// A view starts at member word 0 (the class's own) or at a base entry's offset; its first word
// holds the back offset to the instance, its second the view's first method-table entry. Both are
// trusted on every call and field access, so every layout entry must write one of them, with the
// back offset that the view's place gives, and every base view must get both.
bool LayoutFitsViews(const GSLibraryFormat::ClassImage& cls) {
  std::vector<u8> headers(cls.instanceWords, 0);  // 1: a view's back offset, 2: its method entry
  const auto addView = [&](i32 start) {
    if (start < 0 || u64(start) + 1 >= cls.instanceWords || headers[size_t(start)] != 0 ||
        headers[size_t(start) + 1] != 0) {
      return false;  // past the instance, or overlapping another view's two words
    }
    headers[size_t(start)] = 1;
    headers[size_t(start) + 1] = 2;
    return true;
  };
  if (!addView(0)) return false;
  for (const auto& p : cls.parents) {
    if (!addView(p.memberOffset)) return false;
  }
  std::vector<bool> written(cls.instanceWords, false);
  for (const auto& e : cls.layout) {
    if (!Inside(e.word, cls.instanceWords)) return false;
    const u8 header = headers[size_t(e.word)];
    if (e.kind == 0 ? header != 1 || e.value != -e.word : header != 2 || e.value < 0) return false;
    written[size_t(e.word)] = true;
  }
  // The own view's words are right when left at 0.
  for (size_t w = 2; w < headers.size(); ++w) {
    if (headers[w] != 0 && !written[w]) return false;
  }
  return true;
}

}  // namespace

bool CheckClassViews(const GSClass& cls, std::string* error) {
  const auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = *cls.name + ": " + what;
    return false;
  };
  const GSLibrary& library = *cls.library;
  struct View {
    i32 start;
    const GSClass* viewClass;
  };
  std::vector<View> views{{0, &cls}};
  for (const auto& base : cls.bases) {
    const GSClass* baseClass = library.classLinks[size_t(base.classReference)].linkedClass;
    for (const View& v : views) {
      if (v.viewClass == baseClass) return fail("a base listed twice");
    }
    views.push_back({base.memberOffset, baseClass});
  }
  const auto viewAt = [&](i64 start) -> const GSClass* {
    for (const View& v : views) {
      if (v.start == start) return v.viewClass;
    }
    return nullptr;
  };
  // A base's code reaches its own fields and bases at its own offsets from its view.
  for (size_t i = 1; i < views.size(); ++i) {
    const View& v = views[i];
    if (u64(v.start) + v.viewClass->instanceWords > cls.instanceWords) {
      return fail("base " + *v.viewClass->name + " does not fit");
    }
    // By name from the base's image: a base in a library still being linked (a cycle of
    // libraries) has no links yet.
    const GSLibraryFormat::LibraryImage& image = v.viewClass->library->image;
    for (const auto& inner : v.viewClass->bases) {
      const std::string& innerName =
          image.strings[image.classReferences[inner.classReference].second];
      const GSClass* there = viewAt(i64(v.start) + inner.memberOffset);
      if (there == nullptr || *there->name != innerName) {
        return fail("base " + *v.viewClass->name + " out of its own layout");
      }
    }
  }
  // No field lies on a view's two words.
  const auto onHeader = [&](i64 word) {
    for (const View& v : views) {
      if (word == v.start || word == i64(v.start) + 1) return true;
    }
    return false;
  };
  for (const View& v : views) {
    for (const auto& field : v.viewClass->fields) {
      if (onHeader(i64(v.start) + field.slot)) return fail("a field on a view's words");
    }
  }
  // Each entry calls its function with `me` at the view of the function's own class.
  const auto methodPart = [](const std::string& signature) {
    const size_t at = signature.find("::");
    return at == std::string::npos ? std::string_view(signature)
                                   : std::string_view(signature).substr(at);
  };
  std::vector<std::string_view> parts;
  for (const GSMethodEntry& e : cls.methods) {
    const GSFunctionLink& link = library.functionLinks[e.functionReference];
    if (viewAt(e.viewOffset) != link.ownerClass) return fail("a method entry off its class's view");
    parts.push_back(methodPart(*link.name));
  }
  // A view's part of the method table holds, slot for slot, the methods of the view's class
  // or their overrides.
  for (const auto& entry : cls.layout) {
    if (entry.kind == 0) continue;
    const GSClass* viewClass = viewAt(i64(entry.word) - 1);
    const u64 first = u64(u32(entry.value));
    if (viewClass == nullptr || first + viewClass->methods.size() > parts.size()) {
      return fail("a view's method entry out of the table");
    }
    const GSLibraryFormat::LibraryImage& image = viewClass->library->image;
    for (size_t i = 0; i < viewClass->methods.size(); ++i) {
      const auto& reference = image.functionReferences[viewClass->methods[i].functionReference];
      if (methodPart(image.strings[reference.name]) != parts[first + i]) {
        return fail("a view's method entry of another class");
      }
    }
  }
  return true;
}

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
    if (!LayoutFitsViews(cls)) return fail(where + " layout");
    for (u32 slot : cls.referenceFields) {
      if (slot >= cls.instanceWords) return fail(where + " reference field");
    }
  }
  return true;
}

}  // namespace GSRuntime
