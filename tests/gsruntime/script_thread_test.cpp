#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gsruntime/gs_context.h"
#include "gsruntime/gs_native_function.h"
#include "gsruntime/gs_thread.h"
#include "gsruntime/gs_script_instance.h"
#include "gsruntime/object_bridge.h"
#include "gsruntime/script_run_fixture.h"

namespace {

using GSRuntime::GSThread;

class Message : public GSRuntime::GSThreadMessage {
 public:
  Message(u16 major, std::string name) : major_(major), name_(std::move(name)) {}
  u16 MajorId() const override { return major_; }
  u16 MinorId() const override { return 1; }
  void AddReference() override { ++count; }
  void Release() override { --count; }
  const std::string& Name() const { return name_; }
  int count = 1;

 private:
  u16 major_;
  std::string name_;
};

// A game object as far as its threads see it: message-type ids, subscriptions, and the messages
// its threads took, in order.
class Owner : public GSRuntime::GSThreadOwner {
 public:
  bool CanReceive() const override { return true; }
  i32 NodeId() const override { return 7; }
  u16 MessageTypeId(const std::string& text) override {
    return text.empty() ? 1 : ids.emplace(text, u16(ids.size() + 2)).first->second;
  }
  void Subscribe(u16 major) override { ++subscriptions[major]; }
  void Unsubscribe(u16 major) override { --subscriptions[major]; }
  GSRuntime::GSHandle BuildMessageObject(GSRuntime::GSThreadMessage* m) override {
    taken.push_back(static_cast<Message*>(m)->Name());
    return 0;
  }
  std::string FormatMessage(const GSRuntime::GSThreadMessage* m) const override {
    return "message " + static_cast<const Message*>(m)->Name() + "\n";
  }
  std::map<std::string, u16> ids;
  std::map<u16, int> subscriptions;
  std::vector<std::string> taken;
};

constexpr const char* kWatcher = R"(class W {
  public int got;
  thread void Watch() {
    wait () {
      on "A", "": got++;
      on "B", "": got--;
    }
    wait () {
      on "A", "": got = got + 10;
    }
  }
  public int Got() { return got; }
  void Nested() {
    wait () {
      on "A", "": got = got + 100;
    }
  }
  thread void Both() { Nested(); got = got + 1000; }
};
class K {
  native void Kill();
  public void Run() { Kill(); }
  public void RunDeep() { Run(); }
};
)";

class ScriptThreadTest : public gs_test::ScriptRunTest {
 protected:
  void SetUp() override {
    ScriptRunTest::SetUp();
    // A native that deletes the thread that calls it, as one re-initialising its owner would.
    GSMachine::Instance().RegisterNative(new GSRuntime::GSCNativeFunction(
        "K", "$void@K::Kill()", [](GSRuntime::GSHandle, GSRuntime::GSStack*) {
          GSThread::Destroy(GSRuntime::CurrentThread());
          return true;
        }));
    Build(kWatcher, "W");
    thread_ = std::make_unique<GSThread>(&owner_, 0);
    GSRuntime::ObjectBridge::AddReference(object_.Reference());
    ASSERT_TRUE(thread_->Stack().PushReference(object_.Reference()));
    ASSERT_TRUE(thread_->Stack().PushFrame(Function("W", "$void@W::Watch()"), 0));
  }
  void TearDown() override {
    thread_.reset();
    ScriptRunTest::TearDown();
  }
  Message* Make(const char* type, const std::string& name) {
    messages_.push_back(std::make_unique<Message>(owner_.MessageTypeId(type), name));
    return messages_.back().get();
  }
  static i32 Count(GSRuntime::ScriptRef reference) {
    return GSRuntime::GSScriptInstance::Header(GSRuntime::GSScriptInstance::InstanceOf(reference))
        ->refCount;
  }
  // A thread of the owner running `signature` on `me`, which its stack counts.
  std::unique_ptr<GSThread> Start(GSRuntime::ScriptRef me, const char* cls,
                                  const std::string& signature) {
    auto thread = std::make_unique<GSThread>(&owner_, 0);
    GSRuntime::ObjectBridge::AddReference(me);
    EXPECT_TRUE(thread->Stack().PushReference(me));
    EXPECT_TRUE(thread->Stack().PushFrame(Function(cls, signature), 0));
    return thread;
  }
  i32 Got() {
    u32 word = 0;
    EXPECT_TRUE(Call("Got", {}, &word));
    return i32(word);
  }

  Owner owner_;
  std::unique_ptr<GSThread> thread_;
  std::vector<std::unique_ptr<Message>> messages_;
};

TEST_F(ScriptThreadTest, SleepRunsOutBeforeTheThreadGoesOn) {
  thread_->SetState(GSThread::kBlocked);
  thread_->SetSleepTime(2.0f);
  EXPECT_EQ(thread_->Execute(0.5f), GSRuntime::kRunBlocked);
  EXPECT_FLOAT_EQ(thread_->SleepTime(), 1.5f);
  EXPECT_TRUE(thread_->WaitList().empty());  // no instruction ran
  EXPECT_EQ(thread_->Execute(1.5f), GSRuntime::kRunBlocked);
  EXPECT_EQ(thread_->SleepTime(), 0.0f);
  EXPECT_EQ(thread_->WaitList().size(), 2u);                    // it ran on to the wait
  EXPECT_EQ(thread_->Execute(100.0f), GSRuntime::kRunBlocked);  // waiting: no time runs out
}

TEST_F(ScriptThreadTest, AWaitTakesTheFirstQueuedMatchKeepsTheRestAndDropsTheOthers) {
  EXPECT_EQ(thread_->Execute(0), GSRuntime::kRunBlocked);
  EXPECT_EQ(owner_.subscriptions[owner_.ids["A"]], 1);
  ASSERT_TRUE(thread_->DeliverMessage(Make("A", "a0"), true));  // wakes the waiting thread
  EXPECT_EQ(thread_->State(), GSThread::kReady);
  // Busy now; its first wait's entries still match, so these queue.
  for (auto [type, name] : {std::pair{"A", "a1"}, {"B", "b1"}, {"A", "a2"}}) {
    EXPECT_TRUE(thread_->DeliverMessage(Make(type, name), true));
  }
  EXPECT_FALSE(thread_->DeliverMessage(Make("C", "c1"), true));
  EXPECT_EQ(thread_->QueuedMessages(), 3u);

  // On to the second wait, for A only: a1 is taken at once, b1 dropped, a2 kept.
  EXPECT_EQ(thread_->Execute(0), GSRuntime::kRunBlocked);
  EXPECT_EQ(owner_.taken, (std::vector<std::string>{"a0", "a1"}));
  EXPECT_EQ(thread_->QueuedMessages(), 1u);
  EXPECT_EQ(messages_[1]->count, 1);  // a1: its queue reference went
  EXPECT_EQ(messages_[2]->count, 1);  // b1
  EXPECT_EQ(messages_[3]->count, 2);  // a2, still queued
  EXPECT_EQ(Got(), 1);
  EXPECT_EQ(thread_->Execute(0), GSRuntime::kRunDone);
  EXPECT_EQ(Got(), 11);
  EXPECT_EQ(owner_.subscriptions[owner_.ids["A"]], 0);
  thread_.reset();
  EXPECT_EQ(messages_[3]->count, 1);  // the queue's reference goes with the thread
}

TEST_F(ScriptThreadTest, QueueOverflowReportsEveryMessageAndKeepsTheThread) {
  EXPECT_EQ(thread_->Execute(0), GSRuntime::kRunBlocked);
  ASSERT_TRUE(thread_->DeliverMessage(Make("A", "first"), true));
  for (u32 i = 0; i < GSThread::kQueueLimit; ++i) {
    ASSERT_TRUE(thread_->DeliverMessage(Make("A", "q" + std::to_string(i)), true));
  }
  gs_test::LogLines().clear();
  EXPECT_TRUE(thread_->DeliverMessage(Make("B", "last"), true));
  EXPECT_EQ(thread_->QueuedMessages(), 0u);
  EXPECT_EQ(thread_->State(), GSThread::kReady);
  ASSERT_FALSE(gs_test::LogLines().empty());
  const std::string& text = gs_test::LogLines().front();
  EXPECT_EQ(text.rfind("Message Queue Overflow for node 7 (discarded message follows)\n"
                       "message last\n thread state is 0\n messages already in queue follow:\n"
                       "message q0\n",
                       0),
            0u)
      << text.substr(0, 200);
  EXPECT_NE(text.find("message q1023\n (file "), std::string::npos);
  for (size_t i = 1; i < messages_.size(); ++i) EXPECT_EQ(messages_[i]->count, 1) << i;
}

TEST_F(ScriptThreadTest, AThreadDeletedWhileItRunsGoesWhenItsRunEnds) {
  GSRuntime::ScriptObjectHolder killer;
  ASSERT_TRUE(killer.Create(library_->FindClass("K")));
  auto* thread = new GSThread(&owner_, 0);
  GSRuntime::ObjectBridge::AddReference(killer.Reference());
  ASSERT_TRUE(thread->Stack().PushReference(killer.Reference()));
  ASSERT_TRUE(thread->Stack().PushFrame(Function("K", "$void@K::Run()"), 0));
  EXPECT_EQ(thread->Execute(0), GSRuntime::kRunException);  // and the thread is gone
  EXPECT_TRUE(Logged("Thread Exception: ER_Exception, line 22, file "));
}

// Nested, called on the thread's own `me`, borrows it: waiting there, resuming there and being
// deleted there (waiting, or by a native it calls) release `me` exactly once.
TEST_F(ScriptThreadTest, AWaitOrADeletionInACallOnMeReleasesMeOnce) {
  const i32 count = Count(object_.Reference());
  std::unique_ptr<GSThread> thread = Start(object_.Reference(), "W", "$void@W::Both()");
  EXPECT_EQ(thread->Execute(0), GSRuntime::kRunBlocked);
  ASSERT_TRUE(thread->DeliverMessage(Make("A", "a"), true));
  EXPECT_EQ(thread->Execute(0), GSRuntime::kRunDone);
  EXPECT_EQ(Got(), 1100);
  EXPECT_EQ(Count(object_.Reference()), count);

  thread = Start(object_.Reference(), "W", "$void@W::Both()");
  EXPECT_EQ(thread->Execute(0), GSRuntime::kRunBlocked);
  EXPECT_EQ(Count(object_.Reference()), count + 1);
  thread.reset();
  EXPECT_EQ(Count(object_.Reference()), count);

  GSRuntime::ScriptObjectHolder killer;
  ASSERT_TRUE(killer.Create(library_->FindClass("K")));
  const i32 killerCount = Count(killer.Reference());
  GSThread* doomed = Start(killer.Reference(), "K", "$void@K::RunDeep()").release();
  EXPECT_EQ(doomed->Execute(0), GSRuntime::kRunException);  // and the thread is gone
  EXPECT_EQ(Count(killer.Reference()), killerCount);
}

}  // namespace
