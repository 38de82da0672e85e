#include "online/tme_endpoint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <set>

#include "online/tme_sequence.h"
#include "online/tme_link.h"

namespace {

using tmetest::Bytes;
using tmetest::Faults;
using tmetest::Link;
using tmetest::Payload;
using tmetest::Queue;

TEST(TmeSequence, WrapSkipsZeroAndOrdersAcrossIt) {
  EXPECT_EQ(1, Tme::NextSequence(255));
  EXPECT_EQ(2, Tme::NextSequence(1));
  EXPECT_TRUE(Tme::IsBefore(250, 3));
  EXPECT_FALSE(Tme::IsBefore(3, 250));
  EXPECT_TRUE(Tme::IsAtOrBefore(7, 7));
  EXPECT_FALSE(Tme::IsBefore(7, 7));
}

struct StreamCase {
  const char* name;
  u32 mode;
  Faults faults;
  u32 maxSize;  // payload sizes cycle up to this
};

class TmeStream : public ::testing::TestWithParam<StreamCase> {};

// 800 messages cross more than three sequence wraps; every one arrives once, whole and in order.
TEST_P(TmeStream, DeliversEveryMessageOnceInOrder) {
  const StreamCase& c = GetParam();
  Link link(c.mode, c.faults, 11);
  constexpr u32 kMessages = 800;
  std::vector<Bytes> sent;
  for (u32 i = 0; i < kMessages; ++i) sent.push_back(Payload(1 + (i * 379) % c.maxSize, i));
  u32 queued = 0;
  for (int step = 0; step < 40000 && link.b.endpoint.received.size() < kMessages; ++step) {
    while (queued < kMessages && link.a.endpoint.GetQueuedCount() < 50) {
      ASSERT_TRUE(Queue(link.a.endpoint, sent[queued]));
      ++queued;
    }
    link.Step();
    ASSERT_TRUE(link.a.endpoint.IsConnected());
    ASSERT_TRUE(link.b.endpoint.IsConnected());
  }
  ASSERT_EQ(kMessages, link.b.endpoint.received.size());
  for (u32 i = 0; i < kMessages; ++i) ASSERT_EQ(sent[i], link.b.endpoint.received[i]) << i;
  // Everything is acknowledged in the end.
  for (int step = 0; step < 200 && link.a.endpoint.GetInFlightCount() != 0; ++step) link.Step();
  EXPECT_EQ(0u, link.a.endpoint.GetInFlightCount());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TmeStream,
    ::testing::Values(StreamCase{"clean_whole", 0, {}, 3000},
                      StreamCase{"clean_fragments", 1, {}, 5000},
                      StreamCase{"loss", 1, {0.1, 0, 0}, 3000},
                      StreamCase{"duplication", 1, {0, 0.2, 0}, 3000},
                      StreamCase{"reordering", 1, {0, 0, 0.3}, 3000},
                      StreamCase{"all_whole", 0, {0.1, 0.1, 0.1}, 2000},
                      StreamCase{"all_fragments", 1, {0.1, 0.1, 0.1}, 4000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TmeEndpoint, FragmentSizesFollowTheEvenSplit) {
  struct Case {
    u32 payload;
    std::vector<u32> datagrams;
  };
  for (const Case& c : {Case{1, {4}}, Case{1197, {1200}}, Case{1198, {602, 602}},
                        Case{2500, {836, 836, 837}}}) {
    Link link(1);
    ASSERT_TRUE(Queue(link.a.endpoint, Payload(c.payload, 1)));
    link.a.endpoint.Update();
    std::vector<Bytes> out = tmetest::Drain(link.b.socket.GetHandle());
    ASSERT_EQ(c.datagrams.size(), out.size()) << c.payload;
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(c.datagrams[i], out[i].size());
      EXPECT_EQ(1, out[i][0]);
      EXPECT_EQ(u8(i | (i + 1 == out.size() ? 0x80 : 0)), out[i][2]);
    }
  }
}

// A packet never acknowledged goes out at 0, 2, 6, 22 and 54 s and the link drops at 118 s.
TEST(TmeEndpoint, ResendScheduleAndDrop) {
  Link link(1);
  const double start = link.Now();
  ASSERT_TRUE(Queue(link.a.endpoint, Payload(10, 1)));
  std::vector<double> sends;
  double dropped = -1;
  const double step = 0.125;
  for (int i = 0; i < 2000 && dropped < 0; ++i) {
    link.a.endpoint.Update();
    for (const Bytes& d : tmetest::Drain(link.b.socket.GetHandle())) {
      if (d[0] != 0) sends.push_back(GetApplicationTime() - start);
    }
    if (!link.a.endpoint.IsConnected()) dropped = GetApplicationTime() - start;
    SetApplicationTime(GetApplicationTime() + step);
  }
  // Each wait is measured from the send before, so the polling step adds up; the waits
  // themselves are exact to within one step.
  const std::vector<double> expected = {0, 2, 6, 22, 54};
  ASSERT_EQ(expected.size(), sends.size());
  for (size_t i = 1; i < sends.size(); ++i) {
    const double gap = expected[i] - expected[i - 1];
    EXPECT_GT(sends[i] - sends[i - 1], gap) << i;
    EXPECT_LE(sends[i] - sends[i - 1], gap + step) << i;
    EXPECT_NEAR(expected[i], sends[i], i * step) << i;
  }
  EXPECT_GT(dropped - sends[4], 64.0);
  EXPECT_LE(dropped - sends[4], 64.0 + step);
  EXPECT_NEAR(118.0, dropped, 5 * step);
  EXPECT_EQ(1, link.a.endpoint.disconnects);
}

TEST(TmeEndpoint, SilentPeerIsDroppedAfterFiveMinutes) {
  Link link(1);
  const double start = link.Now();
  double dropped = -1;
  for (int i = 0; i < 700 && dropped < 0; ++i) {
    SetApplicationTime(start + i * 0.5);
    link.a.endpoint.Update();
    tmetest::Drain(link.b.socket.GetHandle());
    if (!link.a.endpoint.IsConnected()) dropped = i * 0.5;
  }
  EXPECT_GT(dropped, 300.0);
  EXPECT_LE(dropped, 301.0);
}

TEST(TmeEndpoint, EarlyPacketIsHeldUntilTheGapFills) {
  Link link(0);
  auto whole = [](u8 seq, u8 value) { return Bytes{seq, 0, value}; };
  link.Inject(link.b, whole(3, 33));
  link.Inject(link.b, whole(2, 22));
  EXPECT_TRUE(link.b.endpoint.received.empty());
  EXPECT_EQ(2u, link.b.endpoint.GetHeldCount());
  link.Inject(link.b, whole(1, 11));
  ASSERT_EQ(3u, link.b.endpoint.received.size());
  EXPECT_EQ((Bytes{11}), link.b.endpoint.received[0]);
  EXPECT_EQ((Bytes{33}), link.b.endpoint.received[2]);
  link.Inject(link.b, whole(2, 99));  // a duplicate
  EXPECT_EQ(3u, link.b.endpoint.received.size());
  EXPECT_EQ(1u, link.b.endpoint.GetDropCounters().duplicates);
}

TEST(TmeEndpoint, UnreliablePayloadLengths) {
  Link link(1);
  link.Inject(link.b, Bytes{0, 0, 5, 6});
  EXPECT_TRUE(link.b.endpoint.IsConnected());
  EXPECT_EQ(1u, link.b.endpoint.GetDropCounters().malformed);
  link.Inject(link.b, Bytes{0, 0});
  EXPECT_TRUE(link.b.endpoint.IsConnected());
  link.Inject(link.b, Bytes{0, 0, 0});
  EXPECT_FALSE(link.b.endpoint.IsConnected());
  EXPECT_EQ(1, link.b.endpoint.disconnects);
}

// Short, oversized and malformed datagrams are counted and change nothing.
TEST(TmeEndpoint, BadDatagramsAreDroppedAndCounted) {
  Link link(1);
  link.Inject(link.b, Bytes{});
  link.Inject(link.b, Bytes{1});
  link.Inject(link.b, Bytes{1, 0});
  Bytes big(3 + TMEEndpoint::kMaxFragmentData + 1, 1);
  big[2] = 0x80;
  link.Inject(link.b, big);
  link.Inject(link.b, Bytes{1, 0, 0xFF, 1});  // fragment index 127 cannot exist
  link.Inject(link.b, Bytes{1, 0, 0x80});      // a fragment without data never completes
  const TMEDropCounters& drops = link.b.endpoint.GetDropCounters();
  EXPECT_EQ(3u, drops.tooShort);
  EXPECT_EQ(1u, drops.oversized);
  EXPECT_EQ(1u, drops.malformed);
  EXPECT_TRUE(link.b.endpoint.received.empty());
  EXPECT_TRUE(link.b.endpoint.IsConnected());

  Link whole(0);
  Bytes huge(2 + TMEPacket::kMaxPayload + 1, 1);
  whole.Inject(whole.b, huge);
  EXPECT_EQ(1u, whole.b.endpoint.GetDropCounters().oversized);
  EXPECT_TRUE(whole.b.endpoint.received.empty());
}

TEST(TmeEndpoint, AcknowledgementsReleaseOnlyWhatWasSent) {
  Link link(0);
  for (u32 i = 0; i < 3; ++i) ASSERT_TRUE(Queue(link.a.endpoint, Payload(4, i), 100 + i));
  link.a.endpoint.Update();
  ASSERT_EQ(3u, link.a.endpoint.GetInFlightCount());
  link.Inject(link.a, Bytes{0, 0});  // 0 acknowledges nothing
  link.Inject(link.a, Bytes{0, 9});  // 9 was never sent
  EXPECT_EQ(3u, link.a.endpoint.GetInFlightCount());
  EXPECT_EQ(1u, link.a.endpoint.GetDropCounters().badAcks);
  link.Inject(link.a, Bytes{0, 2});
  EXPECT_EQ(1u, link.a.endpoint.GetInFlightCount());
  EXPECT_EQ((std::vector<u32>{101, 100}), link.a.endpoint.acknowledged);
}

TEST(TmeEndpoint, ChannelKeyScramblesPayloadsBothWays) {
  Link link(1);
  EXPECT_FALSE(link.a.endpoint.SetChannelKey("1234567"));
  ASSERT_TRUE(link.a.endpoint.SetChannelKey("channel-key"));
  ASSERT_TRUE(link.b.endpoint.SetChannelKey("channel-key"));
  const Bytes plain = Payload(3000, 5);
  ASSERT_TRUE(Queue(link.a.endpoint, plain));
  ASSERT_TRUE(Queue(link.a.endpoint, plain));
  link.a.endpoint.Update();
  std::vector<Bytes> wire = tmetest::Drain(link.b.socket.GetHandle());
  ASSERT_FALSE(wire.empty());
  EXPECT_NE(0, std::memcmp(wire[0].data() + 3, plain.data(), wire[0].size() - 3));
  for (const Bytes& d : wire) link.Inject(link.b, d);
  ASSERT_EQ(2u, link.b.endpoint.received.size());
  EXPECT_EQ(plain, link.b.endpoint.received[0]);
  EXPECT_EQ(plain, link.b.endpoint.received[1]);
}

// The salt travels as text: no byte may be 0, over many draws.
TEST(TmeEndpoint, SaltBytesAreNeverZero) {
  std::set<u8> seen;
  for (int i = 0; i < 4000; ++i) {
    tmetest::RecordingEndpoint endpoint;
    const Qel::String salt = endpoint.GetSalt();
    ASSERT_EQ(8u, salt.Length());
    EXPECT_EQ(std::string(salt.CStr(), 8), std::string(endpoint.GetSalt().CStr(), 8));
    for (u32 j = 0; j < 8; ++j) {
      ASSERT_NE(0, salt.CStr()[j]);
      seen.insert(u8(salt.CStr()[j]));
    }
  }
  EXPECT_EQ(255u, seen.size());
}

// Spoofed fragments with the peer's address: memory stays within the caps throughout and every
// real message still arrives whole and in order (resends refill what the caps threw away).
TEST(TmeEndpoint, SpoofedFragmentsStayWithinTheCapsAndLoseNothing) {
  Link link(1, {}, 3);
  Qel::Rand spoof(99);
  constexpr u32 kMessages = 300;
  constexpr u32 kSpoofs = 10000;
  std::vector<Bytes> sent;
  for (u32 i = 0; i < kMessages; ++i) sent.push_back(Payload(1 + (i * 577) % 2394, i));
  u32 queued = 0, spoofed = 0;
  Bytes junk(3 + TMEEndpoint::kMaxFragmentData);
  u32 mostOpen = 0;
  for (int step = 0; step < 20000 && (link.b.endpoint.received.size() < kMessages || spoofed < kSpoofs);
       ++step) {
    // Two real messages a step keep them coming for the whole flood.
    for (int k = 0; k < 2 && queued < kMessages; ++k) {
      ASSERT_TRUE(Queue(link.a.endpoint, sent[queued++]));
    }
    for (int k = 0; k < 40 && spoofed < kSpoofs; ++k, ++spoofed) {
      // Real messages use fragments 0 and 1 only; spoofs take the higher indices.
      const u32 size = u32(spoof.NextInt(600, i32(TMEEndpoint::kMaxFragmentData)));
      junk.resize(3 + size);
      // Half aim at the numbers the receiver is about to complete, half anywhere.
      u8 target = u8(spoof.NextInt(1, 255));
      if (k % 2 == 0) {
        target = link.b.endpoint.GetExpectedSequence();
        for (int n = spoof.NextInt(0, 8); n > 0; --n) target = Tme::NextSequence(target);
      }
      junk[0] = target;
      junk[1] = u8(spoof.Next());
      junk[2] = u8(spoof.NextInt(3, 126) | (spoof.NextInt(0, 1) ? 0x80 : 0));
      link.Inject(link.b, junk);
      const TMEReassembly& r = link.b.endpoint.GetReassembly();
      ASSERT_LE(r.GetOpenCount(), TMEReassembly::kMaxOpenAssemblies);
      mostOpen = std::max(mostOpen, r.GetOpenCount());
      for (int s = 0; s < 256; ++s) ASSERT_LE(r.GetBytes(u8(s)), TMEPacket::kMaxPayload);
    }
    link.Step(0.5);
  }
  EXPECT_EQ(kSpoofs, spoofed);
  // The flood did reach the caps.
  EXPECT_GT(link.b.endpoint.GetReassembly().GetCounters().resets, 0u);
  EXPECT_GT(mostOpen, 100u);
  ASSERT_EQ(kMessages, link.b.endpoint.received.size());
  for (u32 i = 0; i < kMessages; ++i) ASSERT_EQ(sent[i], link.b.endpoint.received[i]) << i;
  EXPECT_TRUE(link.a.endpoint.IsConnected());
}

TEST(TmeEndpoint, QueueRefusesWhenDisconnectedOrFull) {
  Link link(0);
  for (u32 i = 0; i <= TMEEndpoint::kMaxQueued; ++i) ASSERT_TRUE(Queue(link.a.endpoint, Bytes{1}));
  auto extra = std::make_unique<TMEPacket>();
  EXPECT_FALSE(link.a.endpoint.QueueMessage(extra));
  EXPECT_NE(nullptr, extra);
  link.a.endpoint.Disconnect();
  EXPECT_FALSE(link.a.endpoint.QueueMessage(extra));
}

}  // namespace
