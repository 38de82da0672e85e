// The script classes OnlineAccess and OnlineGroup driven by a compiled script against the
// loopback service in virtual time, and the message cache file they keep.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/buffer_stream.h"
#include "core/file_util.h"
#include "core/whole_file_writer.h"
#include "gsruntime/gs_context.h"
#include "gsruntime/gs_router.h"
#include "online/gso_online_access.h"
#include "online/gso_online_group.h"
#include "online/online_message_cache.h"
#include "online_service_link.h"
#include "qel/dynamic_buffer.h"
#include "scripthost/online_script_hooks.h"
#include "scripthost/script_probe.h"
#include "scripthost/standard_natives.h"
#include "support/scratch_folder.h"

namespace {

using GSRuntime::ScriptArgument;
using OnlineMessageCache::LoadResult;

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// An endpoint whose stored list holds `count` versioned messages for absent clients.
std::string StoredFile(u32 count) {
  Qel::DynamicBuffer buffer;
  TBuffer out(&buffer, false);
  out.WriteU32(1);
  out.WriteU32(count);
  for (u32 i = 0; i < count; ++i) {
    OnlineVersionedMessage message;
    message.kuid = KUID(400 + i32(i), 1, 0);
    message.name = ("note-" + std::to_string(i)).c_str();
    message.soup.SetNamedInt(Qel::PString("v"), i32(i));
    message.version = i;
    message.flag = (i % 2) != 0;
    message.Write(out);
  }
  return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
}

class MessageCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUserDataRoot(folder_.path().c_str());
    path_ = OnlineMessageCache::PathOf(OnlineMessageCache::kMessageFile);
  }
  void TearDown() override { SetUserDataRoot(nullptr); }

  // What the endpoint saves, as bytes.
  static std::string Saved(const OnlineAccessClientEndpoint& endpoint) {
    Qel::DynamicBuffer buffer;
    TBuffer out(&buffer, false);
    endpoint.SaveStoredMessages(out);
    return std::string(reinterpret_cast<const char*>(buffer.GetData()), buffer.GetDataSize());
  }

  scratch::Folder folder_;
  Qel::String path_;
  onlinetest::DaemonScript script_;
  OnlineAccessClientEndpoint endpoint_{std::make_unique<onlinetest::ScriptedDaemon>(script_)};
};

TEST_F(MessageCacheTest, LivesInTheUserCacheFolderAndRoundTrips) {
  EXPECT_EQ(std::string(path_.CStr()), folder_.path() + "/cache/oa_messages.dat");
  const std::string file = StoredFile(3);
  WriteAll(folder_.path() + "/seed", file);
  ASSERT_EQ(OnlineMessageCache::Load(endpoint_, Qel::String((folder_.path() + "/seed").c_str())),
            LoadResult::kLoaded);
  ASSERT_EQ(endpoint_.GetStoredMessageCount(), 3u);
  ASSERT_TRUE(OnlineMessageCache::Save(endpoint_, path_));
  EXPECT_EQ(scratch::ReadAll(path_.CStr()), file);
  OnlineAccessClientEndpoint again(std::make_unique<onlinetest::ScriptedDaemon>(script_));
  ASSERT_EQ(OnlineMessageCache::Load(again, path_), LoadResult::kLoaded);
  EXPECT_EQ(Saved(again), file);
}

// Hostile files: each is either read within its bytes or set aside, never a crash.
TEST_F(MessageCacheTest, ShortCutAndForeignFilesAreReadToTheirEndOrSetAside) {
  struct Case {
    const char* what;
    std::string bytes;
    LoadResult result;
    u32 stored;  // after the load, from a list of 3
  };
  const std::string three = StoredFile(3);
  std::string hugeCount = StoredFile(1);
  hugeCount[4] = hugeCount[5] = hugeCount[6] = hugeCount[7] = char(0xff);
  const std::vector<Case> cases = {
      {"two bytes", std::string("\x01\x00", 2), LoadResult::kSetAside, 3},
      {"another format", std::string("\x02\x00\x00\x00\x00\x00\x00\x00", 8), LoadResult::kSetAside,
       3},
      {"format word only", std::string("\x01\x00\x00\x00", 4), LoadResult::kLoaded, 0},
      {"last record cut", three.substr(0, three.size() - 6), LoadResult::kLoaded, 3},
      {"count beyond the bytes", hugeCount, LoadResult::kLoaded, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteAll(folder_.path() + "/seed", three);
    ASSERT_EQ(OnlineMessageCache::Load(endpoint_, Qel::String((folder_.path() + "/seed").c_str())),
              LoadResult::kLoaded);
    std::filesystem::create_directories(folder_.path() + "/cache");
    WriteAll(path_.CStr(), c.bytes);
    std::filesystem::remove(std::string(path_.CStr()) + ".bad");
    EXPECT_EQ(OnlineMessageCache::Load(endpoint_, path_), c.result);
    EXPECT_LE(endpoint_.GetStoredMessageCount(), c.stored);
    if (c.result == LoadResult::kSetAside) {
      EXPECT_EQ(endpoint_.GetStoredMessageCount(), c.stored);
      EXPECT_FALSE(std::filesystem::exists(path_.CStr()));
      EXPECT_EQ(scratch::ReadAll(std::string(path_.CStr()) + ".bad"), c.bytes);
    }
  }
  EXPECT_EQ(OnlineMessageCache::Load(endpoint_, Qel::String("/nonexistent/oa.dat")),
            LoadResult::kMissing);
}

// A save killed part way (the process ends before the new file is complete) leaves the old one.
TEST_F(MessageCacheTest, ASaveKilledPartWayLeavesThePreviousFile) {
  const std::string file = StoredFile(2);
  WriteAll(folder_.path() + "/seed", file);
  ASSERT_EQ(OnlineMessageCache::Load(endpoint_, Qel::String((folder_.path() + "/seed").c_str())),
            LoadResult::kLoaded);
  ASSERT_TRUE(OnlineMessageCache::Save(endpoint_, path_));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The save's writer, ended by a kill after half of a bigger list.
    WholeFileWriter writer(path_.CStr());
    const std::string bigger = StoredFile(50);
    writer.Write(bigger.data(), bigger.size() / 2);
    raise(SIGKILL);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(scratch::ReadAll(path_.CStr()), file);
  OnlineAccessClientEndpoint again(std::make_unique<onlinetest::ScriptedDaemon>(script_));
  EXPECT_EQ(OnlineMessageCache::Load(again, path_), LoadResult::kLoaded);
  EXPECT_EQ(again.GetStoredMessageCount(), 2u);
}

constexpr const char* kProbe = R"(include "Kestro.gs"
include "OnlineAccess.gs"

class Probe isclass GameObject {
  OnlineAccess online;
  OnlineGroup group;
  string heard = "";
  string collected = "";

  void OnOnline(Message m) { heard = heard + m.major + "." + m.minor + ";"; }

  public void Take(OnlineAccess a) {
    online = a;
    a.Sniff(me, "OnlineAccess", "", true);
    AddHandler(me, "OnlineAccess", "", "OnOnline");
  }
  public void Connect() { online.Connect(); }
  public void Disconnect() { online.Disconnect(); }
  public int Status() { return online.GetStatus(); }
  public int Post(string name, int v) {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("v", v);
    return online.PostMessage(name, s);
  }
  public int PostMany(int count) {
    int refused = 0;
    int i;
    for (i = 0; i < count; i++) if (Post("many", i) == 4) refused++;
    return refused;
  }
  public string Collect() {
    string name = "x";
    Soup s = ConstructorsBase.NewSoup();
    int r = online.CollectMessage(name, s);
    return r + ":" + name + ":" + s.GetNamedTagAsInt("v", -1);
  }
  public string CollectLocked() {
    Soup s = ConstructorsBase.NewSoup();
    Soup locked = s.GetLockedReference();
    string name = "x";
    return "" + online.CollectMessage(name, locked);
  }
  public string LocalLocked() {
    Soup s = ConstructorsBase.NewSoup();
    Soup locked = s.GetLockedReference();
    return "" + online.GetLocalData("Key", locked);
  }
  public string Defaults() {
    Soup s = ConstructorsBase.NewSoup();
    return online.GetProfileData("k", s) + "," + online.SetProfileData("k", s);
  }
  public string Offline() {
    Soup s = ConstructorsBase.NewSoup();
    s.SetNamedTag("v", 3);
    int posted = online.PostOfflineMessage(s);
    Soup into = ConstructorsBase.NewSoup();
    int first = online.CollectOfflineMessage(into);
    int second = online.CollectOfflineMessage(into);
    return posted + "," + first + "," + into.GetNamedTagAsInt("w", -1) + "," + second;
  }

  void OnGroup(Message m) { heard = heard + m.major + "." + m.minor + ";"; }
  public void MakeGroup() {
    group = online.CreateGroup(0);
    group.Sniff(me, "OnlineGroup", "", true);
    group.Sniff(me, "OnlineGroup.UserAdded", "", true);
    group.Sniff(me, "OnlineGroup.UserRemoved", "", true);
    group.Sniff(me, "OnlineGroup.UserStatus", "", true);
    AddHandler(me, "OnlineGroup", "", "OnGroup");
    AddHandler(me, "OnlineGroup.UserAdded", "", "OnGroup");
    AddHandler(me, "OnlineGroup.UserRemoved", "", "OnGroup");
    AddHandler(me, "OnlineGroup.UserStatus", "", "OnGroup");
  }
  public void AddUser(string user) { group.AddUser(user); }
  public void GroupDisconnect() { group.Disconnect(); }
  public void GroupConnect() { group.Connect(); }
  public int Flags(string user) { return group.GetUserModeFlags(user); }
  public void RemoveUser(string user) { group.RemoveUser(user); }
  public string Group() {
    return group.GetStatus() + ":" + group.GetOnlineGroupCookie() + ":" + group.CountUsers() + ":" +
           group.FindUser("BOB") + ":" + group.GetIndexedUser(7) + ":" + group.GetUserStatus(7);
  }
  public string Heard() {
    string h = heard;
    heard = "";
    return h;
  }
};
)";

const scratch::Folder& ProbeFolder() {
  // Compiled once for the process; removed as it ends.
  static const std::unique_ptr<scratch::Folder> folder =
      script_probe::Compile("oaprobe.gs", kProbe);
  return *folder;
}

class OnlineScriptTest : public ::testing::Test, public script_probe::ProbeCalls {
 protected:
  void SetUp() override {
    SetUserDataRoot(folder_.path().c_str());
    GSOOnlineAccess::InstallScriptHooks();
    GSOOnlineAccess::ResetForTests();
    GSOOnlineAccess::SetEndpointForTests(link_.client.get());
    probeClass_ = script_probe::SetUp(ProbeFolder(), "oaprobe.gsl");
    ASSERT_NE(probeClass_, nullptr);
    ASSERT_TRUE(probe_.Create(probeClass_));
    const GSRuntime::GSHandle online =
        GSOOnlineAccess::FindOrCreate(probe_.Context(), nullptr, KUID(501, 1, 0));
    ASSERT_NE(online, 0u);
    online_ = dynamic_cast<GSOOnlineAccess*>(GSRuntime::GSObjectReference::FromReference(online));
    ASSERT_NE(online_, nullptr);
    // The reference moves into the call.
    ASSERT_TRUE(GSRuntime::CallScriptMethod(probe_.Reference(), "$void@Probe::Take(OnlineAccess)",
                                            nullptr, {online}));
  }
  void TearDown() override {
    GSRuntime::ObjectBridge::ReleaseIfSet(second_);
    probe_.Destroy();
    script_probe::TearDown();
    GSOOnlineAccess::SetEndpointForTests(nullptr);
    ScriptHost::SetOnlineScriptHooks(nullptr);
    SetUserDataRoot(nullptr);
  }
  // Virtual time for the service and the script's router together.
  void Run(double seconds) {
    for (double t = 0; t < seconds; t += 0.05) {
      link_.Step(0.05);
      probe_.Context()->router->Tick(0.05f);
    }
  }
  int Int(const std::string& method, const std::vector<ScriptArgument>& arguments = {}) {
    u32 word = 0;
    EXPECT_TRUE(probe_.Call(probe_.FindPublicMethod(method, arguments), arguments, &word))
        << method;
    return i32(word);
  }
  void Call(const std::string& method, const std::vector<ScriptArgument>& arguments = {}) {
    u32 word = 0;
    EXPECT_TRUE(probe_.Call(probe_.FindPublicMethod(method, arguments), arguments, &word))
        << method;
  }

  // A group message of the service: the group's name, then a user list.
  struct Entry {
    std::string name;
    u8 status;
    u32 flags;
  };
  void SendUsers(u8 type, const std::vector<Entry>& entries) {
    onlinetest::MessageBuilder message(type);
    message.Text("group-1").U8(u8(entries.size())).U8(0);
    for (const Entry& e : entries) message.Text(e.name).U8(e.status).U32(e.flags);
    link_.service->Send(message.Done());
    Run(1.0);
  }
  GSOOnlineAccess* Second() {
    const GSRuntime::GSHandle handle =
        GSOOnlineAccess::FindOrCreate(probe_.Context(), nullptr, KUID(502, 1, 0));
    second_ = handle;
    return dynamic_cast<GSOOnlineAccess*>(GSRuntime::GSObjectReference::FromReference(handle));
  }

  scratch::Folder folder_;
  onlinetest::ServiceLink link_;
  GSOOnlineAccess* online_ = nullptr;
  GSRuntime::GSHandle second_ = 0;
};

// Every row of the standard tables that the script host forwards here finds a body of its
// own, rather than the stand-in that only says the native is missing.
TEST(OnlineNativeTables, EveryForwardedRowFindsABody) {
  GSOOnlineAccess::InstallScriptHooks();
  size_t forwarded = 0;
  for (const ScriptHost::NativeTable& table : ScriptHost::StandardNativeTables()) {
    for (const GSRuntime::NativeEntry& row : table.natives) {
      if (row.bind != &ScriptHost::BindOnlineNative) continue;
      ++forwarded;
      const Qel::PString className(GSRuntime::SignatureClass(row.signature));
      std::unique_ptr<GSRuntime::GSNativeFunction> native(
          row.bind(className, Qel::PString(row.signature)));
      ASSERT_NE(native, nullptr) << row.signature;
      EXPECT_EQ(dynamic_cast<GSRuntime::GSUnbuiltNativeFunction*>(native.get()), nullptr)
          << "no body for " << row.signature;
      EXPECT_EQ(native->Signature(), Qel::PString(row.signature));
    }
  }
  ScriptHost::SetOnlineScriptHooks(nullptr);
  EXPECT_EQ(forwarded, 30u);
}

TEST_F(OnlineScriptTest, ConnectsPostsAndCollectsThroughTheService) {
  Run(0.2);
  // The first update announces the status: 1 while no connection is asked for.
  EXPECT_EQ(Text("Heard"), "OnlineAccess.StatusChange;");
  EXPECT_EQ(Int("Status"), 1);
  EXPECT_EQ(Text("Collect"), "1:x:-1");
  EXPECT_EQ(Int("Post", {ScriptArgument::String("early"), ScriptArgument::Int(1)}), 1);
  Call("Connect");
  ASSERT_TRUE(link_.RunUntil(OnlineAccessClientEndpoint::kOnline));
  Run(0.2);
  EXPECT_EQ(Int("Status"), 7);
  EXPECT_EQ(Text("Collect"), "6:x:-1");
  EXPECT_EQ(Int("Post", {ScriptArgument::String("hello"), ScriptArgument::Int(42)}), 0);
  Run(1.0);
  EXPECT_EQ(Text("Heard"), "OnlineAccess.StatusChange;OnlineAccess.ReceiveMessage;");
  EXPECT_EQ(Failure("CollectLocked", {}), "OnlineAccess.CollectMessage> soup is locked");
  EXPECT_EQ(Text("Collect"), "0:hello:42");
  EXPECT_EQ(Text("Collect"), "6:x:-1");
  EXPECT_EQ(Text("Defaults"), "0,0");
  Call("Disconnect");
  Run(0.2);
  EXPECT_EQ(Int("Status"), 1);
  EXPECT_TRUE(std::filesystem::exists(folder_.path() + "/cache/oa_messages.dat"));
}

// More than 60 posts in the window are refused; the window empties at one post a second.
TEST_F(OnlineScriptTest, ThePostCounterRefusesBeyondSixtyInTheWindow) {
  Call("Connect");
  ASSERT_TRUE(link_.RunUntil(OnlineAccessClientEndpoint::kOnline));
  EXPECT_EQ(Int("PostMany", {ScriptArgument::Int(63)}), 2);  // the 62nd and 63rd
  EXPECT_EQ(Int("PostMany", {ScriptArgument::Int(1)}), 1);
  Run(2.0);
  EXPECT_EQ(Int("PostMany", {ScriptArgument::Int(1)}), 0);
}

TEST_F(OnlineScriptTest, OfflineBoxesAndNativesWithoutAResultGiveTheirDefaults) {
  EXPECT_EQ(Text("Offline"), "0,6,-1,6");
  EXPECT_EQ(GSOOnlineAccess::OutboxForTests().CountTags(), 1u);
  EXPECT_EQ(Text("Defaults"), "0,0");
  EXPECT_EQ(Failure("LocalLocked", {}), "OnlineAccess.GetLocalData> soup is locked");
  // The inbox is the cache folder's file, read when the class loads its files.
  std::filesystem::create_directories(folder_.path() + "/cache");
  WriteAll(folder_.path() + "/cache/offline-inbox.tbox", "first\n{\n  w 4\n}\n");
  GSOOnlineAccess::ResetForTests();
  ASSERT_NE(Second(), nullptr);
  EXPECT_EQ(Text("Offline"), "0,0,4,6");
}

TEST_F(OnlineScriptTest, AGroupIsCreatedAndAUserAdded) {
  Call("Connect");
  ASSERT_TRUE(link_.RunUntil(OnlineAccessClientEndpoint::kOnline));
  Run(0.2);
  Text("Heard");
  Call("MakeGroup");
  Run(1.0);
  EXPECT_EQ(Text("Group"), "2:group-1:1:-1::0");
  EXPECT_EQ(Text("Heard"),
            "OnlineGroup.StatusChange;OnlineGroup.UserAdded.alice;OnlineGroup.UsersChange;");
  Call("AddUser", {ScriptArgument::String("Bob")});
  Call("AddUser", {ScriptArgument::String("bob")});  // listed in other letters: nothing sent
  Run(1.0);
  EXPECT_EQ(Text("Group"), "2:group-1:2:1::0");
  // Bob's status arrives from the service for the entry added locally.
  Call("RemoveUser", {ScriptArgument::String("BOB")});
  Run(1.0);
  EXPECT_EQ(Text("Group"), "2:group-1:1:-1::0");
  // The owner leaving closes the group: OnClosed runs inside RemoveClient.
  Call("Disconnect");
  Run(0.2);
  EXPECT_EQ(Text("Group"), "3::1:-1::0");
}

TEST_F(OnlineScriptTest, GroupUserListsFollowTheServiceEntryByEntry) {
  Call("Connect");
  ASSERT_TRUE(link_.RunUntil(OnlineAccessClientEndpoint::kOnline));
  Call("MakeGroup");
  Run(1.0);
  Text("Heard");
  // Same status, other flags: a status event; a removal of an absent user: nothing.
  SendUsers(OnlineAccessClientEndpoint::kMsgGroupMember,
            {{"alice", 1, 5}, {"ghost", 255, 0}, {"carol", 2, 0}});
  EXPECT_EQ(Text("Heard"),
            "OnlineGroup.UserStatus.alice;OnlineGroup.UserAdded.carol;OnlineGroup.UsersChange;");
  EXPECT_EQ(Int("Flags", {ScriptArgument::String("ALICE")}), 5);
  EXPECT_EQ(Int("Flags", {ScriptArgument::String("nobody")}), 0);
  SendUsers(OnlineAccessClientEndpoint::kMsgGroupMember, {{"ghost", 255, 0}, {"carol", 2, 0}});
  EXPECT_EQ(Text("Heard"), "");
  // Opened again with an empty list: cleared without a removal event each.
  SendUsers(OnlineAccessClientEndpoint::kMsgGroupOpened, {});
  EXPECT_EQ(Text("Heard"), "OnlineGroup.UsersChange;");
  EXPECT_EQ(Text("Group"), "2:group-1:0:-1::0");
  // Disconnect goes back to 0; Connect opens the group by its name again.
  Call("GroupDisconnect");
  Run(0.2);
  EXPECT_EQ(Text("Group"), "0::0:-1::0");
  Call("GroupConnect");
  Run(1.0);
  EXPECT_EQ(Text("Group"), "2:group-1:1:-1::0");
  EXPECT_EQ(Text("Heard"),
            "OnlineGroup.StatusChange;OnlineGroup.StatusChange;OnlineGroup.UserAdded.alice;"
            "OnlineGroup.UsersChange;");
}

TEST_F(OnlineScriptTest, ALocallyModifiedAssetTakesOnlyFlaggedMessages) {
  const auto versioned = [](bool flag) {
    auto message = std::make_unique<OnlineVersionedMessage>();
    message->name = flag ? "flagged" : "plain-version";
    message->flag = flag;
    return message;
  };
  for (bool modified : {false, true}) {
    SCOPED_TRACE(modified);
    online_->SetAssetLocallyModified(modified);
    online_->ReceiveMessage(versioned(false));
    online_->ReceiveMessage(versioned(true));
    online_->ReceiveMessage(std::make_unique<OnlineMessage>());
    EXPECT_EQ(online_->QueuedCount(), modified ? 1u : 3u);
    while (Text("Collect")[0] == '0') {
    }
  }
}

TEST_F(OnlineScriptTest, OneObjectPerOwnerAndAssetAndTheLastClientEndsTheConnection) {
  const GSRuntime::GSHandle again =
      GSOOnlineAccess::FindOrCreate(probe_.Context(), nullptr, KUID(501, 1, 0));
  EXPECT_EQ(GSRuntime::GSObjectReference::FromReference(again), online_);
  GSRuntime::ObjectBridge::ReleaseIfSet(again);
  GSOOnlineAccess* second = Second();
  ASSERT_NE(second, nullptr);
  ASSERT_NE(second, online_);
  Call("Connect");
  second->Connect(nullptr);
  ASSERT_TRUE(link_.RunUntil(OnlineAccessClientEndpoint::kOnline));
  second->Disconnect(nullptr);
  Run(0.5);
  EXPECT_EQ(link_.client->GetStatus(), OnlineAccessClientEndpoint::kOnline);
  Call("Disconnect");
  EXPECT_EQ(link_.client->GetStatus(), OnlineAccessClientEndpoint::kOffline);
}

}  // namespace
