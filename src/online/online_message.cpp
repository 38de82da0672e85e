#include "online/online_message.h"

#include "assetdata/soup_binary.h"
#include "core/stream.h"

namespace {

bool ReadSoupField(TStream& in, Soup& soup) {
  if (ReadSoupTree(in, soup)) return true;
  soup.Clear();
  return false;
}

}  // namespace

void OnlineMessage::Write(TStream& out) const {
  out.WriteKUID(kuid);
  out.WriteString(name);
  WriteSoup(out, soup.IsNull() ? Soup() : soup);
}

bool OnlineMessage::Read(TStream& in) {
  in.ReadKUID(kuid);
  in.ReadString(name);
  if (in.GetError() != TStream::kErrorNone) return false;
  return ReadSoupField(in, soup);
}

OnlineVersionedMessage::OnlineVersionedMessage(const OnlineMessage& plain) {
  name = plain.name;
  soup = plain.soup;
  kuid = plain.kuid;
}

void OnlineVersionedMessage::Write(TStream& out) const {
  OnlineMessage::Write(out);
  out.WriteU32(version);
  out.WriteBool(flag);
}

bool OnlineVersionedMessage::Read(TStream& in) {
  if (!OnlineMessage::Read(in)) return false;
  in.ReadU32(version, 0);
  in.ReadBool(flag, false);
  return in.GetError() == TStream::kErrorNone;
}

bool OnlineGroupMessage::Read(TStream& in) {
  in.ReadKUID(sender);
  in.ReadString(text);
  in.ReadPString(group);
  if (in.GetError() != TStream::kErrorNone) return false;
  return ReadSoupField(in, soup);
}
