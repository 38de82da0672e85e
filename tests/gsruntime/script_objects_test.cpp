#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gscompiler/compile_driver.h"
#include "gscompiler/compile_log.h"
#include "gsruntime/gs_array.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_object.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/gs_string.h"
#include "support/scratch_folder.h"

using namespace GSRuntime;

namespace {

constexpr const char* kClasses =
    "class A { int a; A peer; string name; public int Va() { return a; } };\n"
    "class B { B link; int b; public int Vb() { return b; } };\n"
    "class C isclass A, B { C self; int c = 3; };\n"
    "static class Keeper { C kept; };\n";

// A native object whose destructor lets go of a script reference it held.
struct Holder : GSObject {
  ~Holder() override { GSScriptInstance::Release(held); }
  ScriptRef held = 0;
};

// What the field initialisers do instead of running byte code.
std::function<bool(GSFunction&, ScriptRef)> g_initialiser;

class ScriptObjectsTest : public ::testing::Test {
 public:
  void SetUp() override {
    GSMachine::ResetForTests();
    folder_.Put("objects.gs", kClasses);
    GSCompileLog log;
    ASSERT_EQ(CompileLibraryFile(folder_.At("objects.gs").c_str(), nullptr, nullptr, &log), 0);
    GSMachine::Instance().AddLibraryFolder(folder_.path(), "");
    library_ = GSMachine::Instance().FindLibrary("objects.gsl");
    ASSERT_NE(library_, nullptr);
    g_initialiser = [](GSFunction&, ScriptRef) { return true; };
    SetFieldInitialiserHook([](GSFunction& f, ScriptRef view) { return g_initialiser(f, view); });
    liveObjects_ = GSObjectReference::LiveCount();
    usedBytes_ = GSMachine::Instance().Arena().UsedBytes();
  }
  void TearDown() override {
    SetCurrentContext(nullptr);
    SetFieldInitialiserHook(nullptr);
    GSMachine::ResetForTests();
  }
  GSClass* Class(const char* name) { return library_->FindClass(name); }
  // The member word of a field of `cls` inside its own view.
  u32 Field(const char* cls, const char* field) {
    for (const auto& f : Class(cls)->fields) {
      if (library_->image.strings[f.name] == field) return u32(f.slot);
    }
    ADD_FAILURE() << field;
    return 0;
  }
  // A new object of the class; its instance's own view.
  ScriptRef New(GSContext* context, const char* cls) {
    auto* object = new GSObject;
    EXPECT_TRUE(object->BindScriptInstance(Class(cls), context));
    return object->scriptInstance;
  }
  ScriptRef View(ScriptRef reference, const char* cls) {
    return GSScriptInstance::CastToClass(GSScriptInstance::InstanceOf(reference), Class(cls));
  }
  static i32 Count(ScriptRef reference) {
    return GSScriptInstance::Header(GSScriptInstance::InstanceOf(reference))->refCount;
  }
  void ExpectLedgerClosed() {
    EXPECT_EQ(GSObjectReference::LiveCount(), liveObjects_);
    EXPECT_EQ(GSMachine::Instance().Arena().UsedBytes(), usedBytes_);
  }

  scratch::Folder folder_;
  GSLibrary* library_ = nullptr;
  u32 liveObjects_ = 0;
  u64 usedBytes_ = 0;
};

TEST_F(ScriptObjectsTest, TwoParentLayoutHasAViewPerClass) {
  GSContext context;
  GSClass* c = Class("C");
  GSObject object;
  ASSERT_TRUE(c->CreateInstance(&object, &context));
  const ScriptRef instance = GSScriptInstance::InstanceOf(object.scriptInstance);
  EXPECT_EQ(object.scriptInstance, ViewReference(instance, 0));
  EXPECT_FALSE(c->CreateInstance(&object, &context));  // bound already

  std::vector<i32> offsets = {0};
  for (const char* base : {"A", "B"}) {
    SCOPED_TRACE(base);
    const i32 index = c->BaseIndex(Class(base));
    ASSERT_GE(index, 0);
    const i32 offset = c->bases[size_t(index)].memberOffset;
    const ScriptRef view = GSScriptInstance::CastToClass(instance, Class(base));
    EXPECT_EQ(view, ViewReference(instance, offset));
    EXPECT_EQ(ViewIndex(view, instance), offset);
    EXPECT_EQ(i32(*GSMachine::Instance().Arena().Word(view)), -offset);  // back offset
    EXPECT_EQ(GSScriptInstance::InstanceOf(view), instance);
    EXPECT_EQ(View(view, "C"), object.scriptInstance);  // and down again
    EXPECT_TRUE(c->IsA(base));
    EXPECT_FALSE(Class(base)->IsA("C"));
    for (i32 seen : offsets) EXPECT_NE(offset, seen);
    offsets.push_back(offset);
  }
  EXPECT_EQ(GSScriptInstance::CastToClass(instance, Class("Keeper")), 0u);
  EXPECT_EQ(Class("A")->BaseIndex(c), -1);
  GSClass::MethodLocation found{};
  ASSERT_TRUE(c->FindMethod("$int@B::Vb()", &found));
  EXPECT_EQ(found.holder, Class("B"));
  EXPECT_EQ(found.viewOffset, c->bases[size_t(c->BaseIndex(Class("B")))].memberOffset);
  EXPECT_FALSE(c->FindMethod("$int@C::Vb()", &found));
  EXPECT_STREQ(GetGSClassName(&object), "C");

  // The fields of every view go with ReleaseFields.
  auto* name = new GSString(&context.Registry(), "n");
  const ScriptRef asA = View(object.scriptInstance, "A");
  GSObject::SetObjectField(asA, Field("A", "name"), name->GetScriptReference());
  GSScriptInstance::AddRef(asA);
  GSObject::SetObjectField(View(object.scriptInstance, "B"), Field("B", "link"), 0);
  GSObject::SetObjectField(asA, Field("A", "peer"), asA);
  EXPECT_EQ(Count(asA), 2);
  EXPECT_TRUE(c->ReleaseFields(instance));
  EXPECT_EQ(Count(asA), 1);
  EXPECT_EQ(GSObjectReference::LiveCount(), liveObjects_ + 1);  // the string went
  EXPECT_FALSE(Class("A")->ReleaseFields(instance));
}

TEST_F(ScriptObjectsTest, DestroyingContextsClosesTheLedger) {
  struct Case {
    const char* what;
    std::function<void(ScriptObjectsTest&, GSContext&, GSContext&)> program;
  };
  const std::vector<Case> cases = {
      {"cycle through two views and self",
       [](ScriptObjectsTest& t, GSContext& x, GSContext&) {
         const ScriptRef p = t.New(&x, "C"), q = t.New(&x, "C");
         GSScriptInstance::AddRef(q);
         GSObject::SetObjectField(t.View(p, "A"), t.Field("A", "peer"), t.View(q, "A"));
         GSScriptInstance::AddRef(p);
         GSObject::SetObjectField(t.View(q, "B"), t.Field("B", "link"), t.View(p, "B"));
         GSScriptInstance::AddRef(p);
         GSObject::SetObjectField(p, t.Field("C", "self"), p);
       }},
      {"array holding itself, ranges replaced by themselves",
       [](ScriptObjectsTest& t, GSContext& x, GSContext&) {
         auto* array = new GSArray(&x.Registry(), true);
         auto* text = new GSString(&x.Registry(), "x");
         ASSERT_TRUE(array->SetElement(2, text->GetScriptReference()));
         GSScriptInstance::AddRef(array->GetScriptReference());
         ASSERT_TRUE(array->SetElement(0, array->GetScriptReference()));
         ASSERT_TRUE(array->ReplaceRange(1, 3, array));
         EXPECT_EQ(array->size, 4);
         EXPECT_EQ(Count(text->GetScriptReference()), 1);
         EXPECT_EQ(Count(array->GetScriptReference()), 3);
         ASSERT_TRUE(array->CopyRange(*array, 1, 100));
         EXPECT_EQ(Count(text->GetScriptReference()), 1);
         EXPECT_EQ(Count(array->GetScriptReference()), 2);
         const ScriptRef holder = t.New(&x, "C");
         GSScriptInstance::AddRef(array->GetScriptReference());
         GSObject::SetObjectField(t.View(holder, "A"), t.Field("A", "peer"),
                                  array->GetScriptReference());
       }},
      {"stores across contexts",
       [](ScriptObjectsTest& t, GSContext& x, GSContext& y) {
         const ScriptRef mine = t.New(&x, "C"), theirs = t.New(&y, "C");
         auto* loose = new GSString(nullptr, "untracked");
         const u32 peer = t.Field("A", "peer");
         GSScriptInstance::AddRef(theirs);
         EXPECT_EQ(GSObject::SetObjectField(t.View(mine, "A"), peer, t.View(theirs, "A")), 0u);
         EXPECT_EQ(Count(theirs), 1);  // the count given with the refused store went
         GSScriptInstance::AddRef(theirs);
         y.shareable = 1;
         EXPECT_NE(GSObject::SetObjectField(t.View(mine, "A"), peer, t.View(theirs, "A")), 0u);
         EXPECT_NE(GSObject::SetObjectField(t.View(mine, "A"), t.Field("A", "name"),
                                            loose->GetScriptReference()),
                   0u);
       }},
      {"native destructor releasing an object the clear ended before",
       [](ScriptObjectsTest& t, GSContext& x, GSContext&) {
         const ScriptRef first = t.New(&x, "C");
         auto* holder = new Holder;
         ASSERT_TRUE(holder->BindScriptInstance(t.Class("B"), &x));
         GSScriptInstance::AddRef(first);
         holder->held = first;
       }},
      {"failed constructor that stored me in a static field",
       [](ScriptObjectsTest& t, GSContext& x, GSContext&) {
         SetCurrentContext(&x);
         GSObject* keeper = GSContext::GetStaticObject(t.Class("Keeper"));
         ASSERT_NE(keeper, nullptr);
         EXPECT_EQ(GSContext::GetStaticObject(t.Class("Keeper")), keeper);
         g_initialiser = [&t, keeper](GSFunction& f, ScriptRef view) {
           if (f.ownerClass != t.Class("C")) return true;
           GSScriptInstance::AddRef(view);
           GSObject::SetObjectField(keeper->scriptInstance, t.Field("Keeper", "kept"), view);
           return false;
         };
         GSObject object;
         EXPECT_FALSE(t.Class("C")->CreateInstance(&object, &x));
         EXPECT_EQ(object.scriptInstance, 0u);
         const ScriptRef kept = *GSMachine::Instance().Arena().Word(keeper->scriptInstance +
                                                                    t.Field("Keeper", "kept"));
         EXPECT_EQ(Count(kept), 1);
         EXPECT_EQ(GSObjectReference::FromReference(kept), nullptr);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      auto shared = std::make_unique<GSContext>();
      {
        GSContext context;
        c.program(*this, context, *shared);
        g_initialiser = [](GSFunction&, ScriptRef) { return true; };
        SetCurrentContext(nullptr);
      }
      EXPECT_EQ(GSContext::LiveContexts().count(shared.get()), 1u);
    }
    ExpectLedgerClosed();
  }
}

TEST_F(ScriptObjectsTest, RegistryPagesFillAndReuseSlots) {
  GSTrackedRegistry registry;
  std::vector<GSString*> strings;
  for (u32 i = 0; i <= GSTrackedRegistry::kSlotsPerPage; ++i) {
    strings.push_back(new GSString(&registry, "s"));
  }
  const auto slotOf = [](GSString* s) {
    return GSScriptInstance::Header(GSScriptInstance::InstanceOf(s->GetScriptReference()))
        ->trackSlot;
  };
  EXPECT_EQ(registry.PageCount(), 2u);
  EXPECT_NE(slotOf(strings[0]) >> 10, slotOf(strings.back()) >> 10);
  const u32 freed = slotOf(strings[5]);
  delete strings[5];
  auto* again = new GSString(&registry, "t");
  EXPECT_EQ(slotOf(again), freed);
  EXPECT_EQ(OwnerRegistry(GSScriptInstance::InstanceOf(again->GetScriptReference())), &registry);
  EXPECT_EQ(registry.TrackedCount(), GSTrackedRegistry::kSlotsPerPage + 1);
  registry.Clear();
  EXPECT_EQ(registry.PageCount(), 0u);
  ExpectLedgerClosed();
}

// A context's native-object tables are purged first when it goes: its objects are all still
// there, and no table takes entries from then on.
struct PurgeProbe : GSContextTable {
  static inline GSContext* watched = nullptr;
  static inline std::vector<std::string> seen;
  void Purge() override {
    seen.push_back("tracked " + std::to_string(watched->Registry().TrackedCount()));
    seen.push_back(watched->Table<PurgeProbe>() == nullptr ? "closed" : "open");
    seen.push_back(watched->FindTable<PurgeProbe>() == this ? "found" : "lost");
  }
};

TEST_F(ScriptObjectsTest, ContextTablesArePurgedFirstAndTakeNothingAfterwards) {
  auto context = std::make_unique<GSContext>();
  PurgeProbe::watched = context.get();
  PurgeProbe::seen.clear();
  ASSERT_NE(context->Table<PurgeProbe>(), nullptr);
  EXPECT_EQ(context->Table<PurgeProbe>(), context->FindTable<PurgeProbe>());
  New(context.get(), "C");
  context.reset();
  EXPECT_EQ(PurgeProbe::seen, (std::vector<std::string>{"tracked 1", "closed", "found"}));
  ExpectLedgerClosed();
}

TEST_F(ScriptObjectsTest, ArrayAndStringSizesAreCapped) {
  GSArray array(nullptr, false);
  EXPECT_FALSE(array.SetWord(0x7FFFFFFF, 1));
  EXPECT_FALSE(array.SetWord(-1, 1));
  EXPECT_FALSE(array.ReplaceRange(0x7FFFFFF0, 0x7FFFFFF0, nullptr));
  EXPECT_TRUE(array.SetWord(5, 7));
  EXPECT_EQ(array.size, 6);
  GSString text(nullptr, "abc");
  GSString part(nullptr);
  EXPECT_TRUE(GSString::Substring(text, -5, 1000, &part));
  EXPECT_EQ(part.Std(), "abc");
  EXPECT_FALSE(GSString::Substring(text, 2, 1, &part));
  EXPECT_FALSE(text.SetChar(0x7FFFFFFF, 'x'));
  EXPECT_FALSE(text.ReplaceRange(0x7FFFFFF0, -1, &text));
  EXPECT_TRUE(text.SetChar(4, 'x'));
  EXPECT_EQ(text.Std(), "abc x");
}

}  // namespace
