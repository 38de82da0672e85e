#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "gsruntime/gs_machine.h"
#include "gsruntime/gs_message.h"
#include "gsruntime/gs_node.h"
#include "gsruntime/gs_router.h"

namespace {

using GSRuntime::GSMessage;
using GSRuntime::GSNode;

std::vector<std::string> g_log;
// Every message any test node takes, as "<node name>:<minor name>", in delivery order.
std::vector<std::string> g_received;

void Capture(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_log.emplace_back(line);
}

class Node : public GSNode {
 public:
  explicit Node(std::string label) : label_(std::move(label)) {}
  std::string GetName() const override { return label_; }
  bool HandleMessage(GSMessage* message) override {
    g_received.push_back(label_ + ":" + router->TypeNameOfId(message->minor));
    return GSNode::HandleMessage(message);
  }

 private:
  std::string label_;
};

class MessageRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log.clear();
    g_received.clear();
    GSMachine::SetLogHook(Capture);
    router_.Start();
    for (const char* label : {"a", "b", "c"}) {
      nodes_.push_back(new Node(label));
      ASSERT_TRUE(router_.AddNode(nodes_.back()));
    }
  }
  void TearDown() override {
    for (Node* node : nodes_) delete node;
    GSMachine::SetLogHook(nullptr);
  }
  void Send(const char* major, const char* minor, u32 destination, u32 delayMs = 0,
            bool post = false) {
    GSMessage* message = nodes_[0]->CreateMessage(major, minor, destination, delayMs);
    ASSERT_NE(message, nullptr);
    post ? router_.PostMessage(message) : router_.SendMessage(message);
    message->Release();
  }

  GSRouter router_{7, 8};
  std::vector<Node*> nodes_;
};

TEST_F(MessageRouterTest, DeliversToSubscribersOnly) {
  const u16 ping = router_.InternTypeName("Ping");
  EXPECT_EQ(ping, 101);
  EXPECT_TRUE(router_.Subscribe(nodes_[2], ping));
  EXPECT_TRUE(router_.Subscribe(nodes_[2], ping));
  EXPECT_TRUE(router_.Subscribe(nodes_[0], ping));
  EXPECT_TRUE(router_.Subscribe(nodes_[1], ping));
  nodes_[1]->flags |= GSNode::kSkipSubscriptions;
  Send("Ping", "All", 0);              // a and c in id order, b passed over
  Send("Ping", "ToB", nodes_[1]->id);  // b skips subscriptions
  Send("Pong", "Nobody", 0);           // nobody subscribed
  EXPECT_TRUE(router_.Unsubscribe(nodes_[2], ping));
  Send("Ping", "StillC", nodes_[2]->id);  // one of two subscriptions left
  router_.RemoveNode(nodes_[2]);
  EXPECT_FALSE(router_.Unsubscribe(nodes_[2], ping));
  Send("Ping", "Gone", 0);
  EXPECT_EQ(g_received, (std::vector<std::string>{"a:All", "c:All", "c:StillC", "a:Gone"}));
}

TEST_F(MessageRouterTest, QueuedMessagesArriveByDueTimeAfterThePostedOnes) {
  EXPECT_TRUE(router_.Subscribe(nodes_[1], router_.InternTypeName("Ping")));
  const u32 b = nodes_[1]->id;
  Send("Ping", "Late", b, 300, true);
  Send("Ping", "Soon1", b, 100, true);
  Send("Ping", "Soon2", b, 100, true);
  Send("Ping", "Soon3", b, 100, true);
  Send("Ping", "Now", b, 0, true);
  EXPECT_TRUE(g_received.empty());
  router_.Tick(0.1f);
  EXPECT_EQ(g_received, (std::vector<std::string>{"b:Now", "b:Soon1", "b:Soon2", "b:Soon3"}));
  router_.Tick(0.1f);
  router_.Tick(0.1f);
  EXPECT_EQ(g_received.back(), "b:Late");
  EXPECT_EQ(router_.DelayedCount(), 0u);
}

TEST_F(MessageRouterTest, NamesStackDumpsAndTheEndOfANode) {
  auto* twin = new Node("a");
  ASSERT_TRUE(router_.AddNode(twin));
  EXPECT_EQ(router_.FindNodeByName("a"), nodes_[0]);
  EXPECT_TRUE(twin->name.empty());
  EXPECT_FALSE(router_.AddNode(twin));
  // A message for a node that goes before it is due is dropped; the node's own queue is freed.
  EXPECT_TRUE(router_.Subscribe(twin, router_.InternTypeName("Ping")));
  Send("Ping", "Orphan", twin->id, 100, true);
  GSMessage* queued = twin->CreateMessage("Ping", "Queued", 0, 0);
  EXPECT_TRUE(twin->QueueMessage(queued));
  queued->Release();
  delete twin;
  router_.Tick(0.2f);
  // The stack-dump pair is never delivered; major 3 marks every node for deletion.
  for (GSMessage* message : {new GSMessage(7, 8, 0, 0, GSMessage::kMadeByNode),
                             new GSMessage(3, 1, 0, nodes_[0]->id, GSMessage::kMadeByNode)}) {
    router_.SendMessage(message);
    message->Release();
  }
  EXPECT_EQ(g_received, (std::vector<std::string>{"a:"}));
  EXPECT_NE(nodes_[0]->flags & GSNode::kDeletionPending, 0u);
  nodes_[0]->flags &= ~GSNode::kDeletionPending;
  g_log.clear();
  router_.Info();
  ASSERT_EQ(g_log.size(), 6u);
  EXPECT_EQ(g_log[1], "3 Node(s)");
  EXPECT_EQ(g_log[2], "0 Message(s) in the delay queue");
}

}  // namespace
