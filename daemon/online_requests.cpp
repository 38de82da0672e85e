#include "daemon/online_requests.h"

#include <sys/stat.h>

#include <sstream>

#include "assetdata/soup.h"
#include "assetdata/soup_binary.h"
#include "assetdata/soup_text.h"
#include "core/buffer_stream.h"
#include "core/kuid.h"
#include "daemon/asset_store.h"
#include "daemon/request_handlers.h"
#include "daemon/url_requests.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "qel/file_facts.h"
#include "qel/log.h"
#include "qel/pstring.h"
#include "qel/string.h"

namespace PymDaemonSrv {

namespace {

namespace pp = PymProtocol;

// The largest online.txt read; a bigger file is no profile.
constexpr off_t kMaxProfileFileBytes = 64 * 1024;

void LogText(const char* format, const std::string& text) {
  Qel::Log::Get("PymDaemon").Printf(Qel::Log::kMessage, format, text.c_str());
}

std::string Tag(const Soup& soup, const char* name) {
  return std::string(soup.GetNamedTag(Qel::PString(name)).View());
}

// A readable stream over a copy of the payload.
struct Payload {
  Payload(const u8* payload, size_t size) : stream(&buffer, false) {
    if (size != 0) buffer.Write(payload, u32(size));
    buffer.SetPosition(0);
  }
  Qel::DynamicBuffer buffer;
  TBuffer stream;
};

// The settings group that holds one value of an asset.
std::string LocalDataGroup(const KUID& asset, const std::string& key) {
  return std::string("online-local-data ") + asset.ToString().CStr() + " " + key;
}

// Reads the asset and the key of a local-data request; false when either is missing or the key
// is empty or too long.
bool ReadAssetAndKey(TStream& in, KUID& asset, std::string& key) {
  in.ReadKUID(asset);
  Qel::PString name;
  in.ReadPString(name);
  if (in.GetError() != TStream::kErrorNone || asset.IsNull() || name.IsEmpty() ||
      name.Length() > OnlineRequests::kMaxKeyLength) {
    return false;
  }
  key.assign(name.Lower().View());
  return true;
}

}  // namespace

OnlineRequests::OnlineRequests(AssetStore& store, UrlRequests& urls) : store_(store), urls_(urls) {}

bool OnlineRequests::Handle(u32 opcode, const u8* payload, size_t size, Response& response) {
  switch (opcode) {
    case pp::kOpOnlineProfile:
      GetProfile(response);
      return true;
    case pp::kOpOnlineAuthTicket:
      GetTicket(response);
      return true;
    case pp::kOpOnlineLoginRejected:
      LoginRejected(response.connectionId);
      return true;
    case pp::kOpGetOnlineLocalData:
      GetLocalData(payload, size, response);
      return true;
    case pp::kOpSetOnlineLocalData:
      SetLocalData(payload, size);
      return true;
    case pp::kOpStartUrlRequest:
      return StartHandOff(payload, size, response);
    default:
      return false;
  }
}

OnlineRequests::Profile OnlineRequests::ReadProfile() const {
  Profile profile;
  const std::string path = store_.UserData() + "/../online.txt";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return profile;
  // A named pipe would hold the reader until a writer came.
  if (!S_ISREG(st.st_mode)) {
    LogText("PymDaemon> error: %s is no regular file", "online.txt");
    return profile;
  }
  if (st.st_size > kMaxProfileFileBytes) {
    LogText("PymDaemon> error: %s is too large to be an online profile", "online.txt");
    return profile;
  }
  // Read as the engine reads files, which never waits on what is no regular file by now.
  std::string text;
  if (!Qel::ReadWholeFile(path.c_str(), u64(kMaxProfileFileBytes), &text)) return profile;
  Soup soup;
  ParseSoupText(soup, text, false);
  profile.name = Tag(soup, "profile-name");
  profile.host = Tag(soup, "service-host");
  if (profile.host.empty()) profile.host = PymProtocol::kOnlineServiceHost;
  const i32 port =
      soup.GetNamedTagAsInt(Qel::PString("service-port"), PymProtocol::kOnlineServicePort);
  if (port > 0 && port <= 65535) {
    profile.port = u16(port);
  } else {
    LogText("PymDaemon> error: online.txt: service-port %s is no port; the default is used",
            std::to_string(port));
  }
  profile.ticket = Tag(soup, "auth-ticket");
  profile.loginTicket = Tag(soup, "login-ticket");
  return profile;
}

std::string OnlineRequests::CurrentTicket(const Profile& profile) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_ && held_->replaced != profile.ticket) held_.reset();
  return held_ ? held_->ticket : profile.ticket;
}

void OnlineRequests::GetProfile(Response& response) {
  const Profile profile = ReadProfile();
  TBuffer out(&response.body, false);
  out.WriteString(Qel::String(profile.name));
  out.WriteString(Qel::String());
  out.WriteString(Qel::String(profile.name.empty() ? std::string() : profile.host));
  out.WriteU16(profile.name.empty() ? 0 : profile.port);
  out.WriteString(Qel::String());
  out.WriteU16(0);
}

void OnlineRequests::ForgetConnection(u64 connectionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  given_.erase(connectionId);
}

void OnlineRequests::GetTicket(Response& response) {
  const Profile profile = ReadProfile();
  const std::string ticket = profile.name.empty() ? std::string() : CurrentTicket(profile);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    given_[response.connectionId] = ticket;
  }
  TBuffer out(&response.body, false);
  out.WriteString(Qel::String(ticket));
}

void OnlineRequests::LoginRejected(u64 connectionId) {
  const Profile profile = ReadProfile();
  const std::string current = CurrentTicket(profile);
  bool forgotten = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto given = given_.find(connectionId);
    // A ticket replaced since it was given is not the one refused now.
    if (given != given_.end() && given->second == current && !current.empty()) {
      held_ = HeldTicket{std::string(), profile.ticket};
      forgotten = true;
    }
  }
  if (forgotten) {
    LogText("PymDaemon> online login rejected (0xf1) for profile \"%s\"; its ticket is forgotten",
            profile.name);
  } else {
    LogText("PymDaemon> online login rejected (0xf1) for profile \"%s\" with a ticket no longer "
            "held; the current one is kept",
            profile.name);
  }
}

bool OnlineRequests::StartHandOff(const u8* payload, size_t size, Response& response) {
  Payload in(payload, size);
  u8 kind = 0;
  Qel::String url;
  in.stream.ReadU8(kind, 0);
  in.stream.ReadString(url);
  if (url.View().substr(0, std::string_view(kHandOffScheme).size()) != kHandOffScheme) return false;
  const Profile profile = ReadProfile();
  UrlStatus status;
  if (!profile.name.empty() && !profile.loginTicket.empty()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = HeldTicket{profile.loginTicket, profile.ticket};
    }
    status.status = 0;
    LogText("PymDaemon> online login hand-off for profile \"%s\": logged in", profile.name);
  } else {
    status.status = pp::kUrlStatusRefused;
    status.reason = "online login refused";
    LogText("PymDaemon> online login hand-off for profile \"%s\": refused", profile.name);
  }
  const u64 id = urls_.AddFinished(status, response.connectionId);
  TBuffer out(&response.body, false);
  out.WriteU64(id);
  urls_.Status(id).Write(out);
  return true;
}

void OnlineRequests::GetLocalData(const u8* payload, size_t size, Response& response) {
  Payload in(payload, size);
  KUID asset;
  std::string key;
  Soup value;
  if (ReadAssetAndKey(in.stream, asset, key)) value = store_.GetSettingsSoup(LocalDataGroup(asset, key));
  TBuffer out(&response.body, false);
  WriteSoup(out, value);
}

// A post: what goes wrong can only go to the daemon's log.
void OnlineRequests::SetLocalData(const u8* payload, size_t size) {
  Payload in(payload, size);
  KUID asset;
  std::string key;
  Soup value;
  if (!ReadAssetAndKey(in.stream, asset, key) || !ReadSoupTree(in.stream, value)) {
    LogText("PymDaemon> error: online local data not stored: %s", "malformed request");
    return;
  }
  if (!store_.SetSettingsSoup(LocalDataGroup(asset, key), value)) {
    LogText("PymDaemon> error: online local data not stored: %s", LocalDataGroup(asset, key));
  }
}

}  // namespace PymDaemonSrv
