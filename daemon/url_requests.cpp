#include "daemon/url_requests.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <vector>

#include "core/buffer_stream.h"
#include "core/whole_file_writer.h"
#include "pymclient/pym_protocol.h"
#include "qel/dynamic_buffer.h"
#include "qel/log.h"
#include "qel/string.h"

namespace PymDaemonSrv {

namespace pp = PymProtocol;
using Clock = std::chrono::steady_clock;

namespace {

// A transfer that does not connect within this time fails early.
constexpr long kConnectTimeoutMs = 15000;
constexpr long kMaxRedirects = 5;

void LogLine(const char* format, const std::string& a, const std::string& b) {
  Qel::Log::Get("PymDaemon").Printf(Qel::Log::kMessage, format, a.c_str(), b.c_str());
}

// The extension of the URL path's last element, so that a fetched file reads by its kind (a
// package as a package); ".dat" when it has none that is short and plain.
std::string ExtensionOf(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t pathAt = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  if (pathAt == std::string::npos) return ".dat";
  const std::string path = url.substr(pathAt, url.find_first_of("?#", pathAt) - pathAt);
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return ".dat";
  const std::string extension = path.substr(dot);
  if (extension.size() < 2 || extension.size() > 9) return ".dat";
  for (size_t i = 1; i < extension.size(); ++i) {
    if (!std::isalnum(static_cast<unsigned char>(extension[i]))) return ".dat";
  }
  return extension;
}

u32 Clamp32(curl_off_t value) {
  return value <= 0 ? 0 : value >= curl_off_t(0xFFFFFFFFu) ? 0xFFFFFFFFu : u32(value);
}

}  // namespace

struct UrlRequests::Job {
  u64 id = 0;
  u64 connectionId = 0;
  std::string url;
  u64 maxBytes = 0;
  std::string path;
  std::shared_ptr<NoteChannel> notes;
  Clock::time_point deadline;
  std::atomic<bool> cancel{false};
  std::atomic<bool> finished{false};
  std::mutex statusMutex;
  UrlStatus status;
  Clock::time_point lastNote;
  // The answer, renamed to `path` only when it arrived whole.
  std::unique_ptr<WholeFileWriter> file;
  u64 written = 0;
  std::thread thread;
};

void UrlStatus::Write(TStream& out) const {
  out.WriteU8(done ? 1 : 0);
  out.WriteU32(status);
  out.WriteU32(received);
  out.WriteU32(expected);
  out.WriteString(Qel::String(path));
  out.WriteString(Qel::String(reason));
}

UrlRequests::UrlRequests(u32 timeLimitSeconds) : timeLimitSeconds_(timeLimitSeconds) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

UrlRequests::~UrlRequests() { CancelAll(); }

u32 UrlRequests::RunningLocked() const {
  u32 running = 0;
  for (const auto& [id, job] : jobs_) running += job->finished.load() ? 0 : 1;
  for (const auto& job : retired_) running += job->finished.load() ? 0 : 1;
  return running;
}

void UrlRequests::ReapLocked(bool all) {
  for (auto it = retired_.begin(); it != retired_.end();) {
    if (all || (*it)->finished.load()) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = retired_.erase(it);
    } else {
      ++it;
    }
  }
}

u64 UrlRequests::Start(const std::string& url, u32 option, const std::string& tempFolder,
                       u64 connectionId, std::shared_ptr<NoteChannel> notes, UrlStatus& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  ReapLocked(false);
  const u64 id = nextId_++;
  status = UrlStatus();
  if (jobs_.size() >= kMaxUrlRequests || RunningLocked() >= kMaxUrlTransfers) {
    LogLine("PymDaemon> URL request refused, too many at once: %s%s", url, "");
    status.done = true;
    status.status = pp::kUrlStatusFailed;
    status.reason = "too many URL requests at once";
    return id;
  }
  auto job = std::make_shared<Job>();
  job->id = id;
  job->connectionId = connectionId;
  job->url = url;
  job->maxBytes = option == pp::kUrlOptionQuery ? kMaxQueryAnswerBytes : kMaxPackageBytes;
  mkdir(tempFolder.c_str(), 0700);
  job->path =
      tempFolder + "/url-" + std::to_string(getpid()) + "-" + std::to_string(id) + ExtensionOf(url);
  job->notes = std::move(notes);
  job->deadline = Clock::now() + std::chrono::seconds(timeLimitSeconds_);
  job->status.status = pp::kUrlStatusPending;
  // Taken before the transfer starts: from then on its thread writes the job's status.
  status = job->status;
  try {
    job->thread = std::thread([this, job] { Run(*job); });
  } catch (const std::system_error&) {
    status.done = true;
    status.status = pp::kUrlStatusFailed;
    status.reason = "no thread for the transfer";
    return id;
  }
  jobs_[id] = job;
  return id;
}

u64 UrlRequests::AddFinished(const UrlStatus& status, u64 connectionId) {
  std::lock_guard<std::mutex> lock(mutex_);
  ReapLocked(false);
  const u64 id = nextId_++;
  if (jobs_.size() >= kMaxUrlRequests) return id;  // unknown to Status: done with a failure
  auto job = std::make_shared<Job>();
  job->id = id;
  job->connectionId = connectionId;
  job->status = status;
  job->status.done = true;
  job->finished.store(true);
  jobs_[id] = job;
  return id;
}

UrlStatus UrlRequests::Status(u64 id) {
  std::shared_ptr<Job> job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = jobs_.find(id);
    if (found != jobs_.end()) job = found->second;
  }
  if (!job) {
    UrlStatus unknown;
    unknown.done = true;
    unknown.status = pp::kUrlStatusFailed;
    unknown.reason = "unknown URL request";
    return unknown;
  }
  std::lock_guard<std::mutex> lock(job->statusMutex);
  return job->status;
}

void UrlRequests::Forget(u64 id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = jobs_.find(id);
  if (found == jobs_.end()) return;
  std::shared_ptr<Job> job = found->second;
  jobs_.erase(found);
  job->cancel.store(true);
  {
    // A finished transfer's file is the client's until now; a running one removes its own.
    std::lock_guard<std::mutex> statusLock(job->statusMutex);
    if (job->finished.load() && !job->path.empty()) unlink(job->path.c_str());
  }
  retired_.push_back(std::move(job));
  ReapLocked(false);
}

void UrlRequests::ForgetConnection(u64 connectionId) {
  std::vector<u64> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, job] : jobs_) {
      if (job->connectionId == connectionId) ids.push_back(id);
    }
  }
  for (const u64 id : ids) Forget(id);
}

void UrlRequests::CancelAll() {
  std::vector<u64> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, job] : jobs_) ids.push_back(id);
  }
  for (const u64 id : ids) Forget(id);
  std::lock_guard<std::mutex> lock(mutex_);
  ReapLocked(true);
}

void UrlRequests::Note(Job& job, const UrlStatus& status) {
  if (!job.notes) return;
  Qel::DynamicBuffer bytes;
  TBuffer out(&bytes, false);
  out.WriteU64(job.id);
  status.Write(out);
  job.notes->Send(pp::kNoteUrlDone, bytes.GetData(), bytes.GetDataSize());
}

void UrlRequests::Finish(Job& job, UrlStatus status) {
  status.done = true;
  const bool whole = status.reason.empty() && status.status >= 200 && status.status < 300;
  if (whole && !job.cancel.load() && job.file != nullptr) {
    if (job.file->Commit()) {
      status.path = job.path;
    } else {
      status.reason = "the answer could not be written";
    }
  }
  job.file.reset();
  if (status.path.empty()) {
    if (status.reason.empty()) status.reason = "HTTP status " + std::to_string(status.status);
    LogLine("PymDaemon> URL request failed: %s: %s", job.url, status.reason);
  }
  {
    std::lock_guard<std::mutex> lock(job.statusMutex);
    job.status = status;
    job.finished.store(true);
    // Forgotten meanwhile: nobody will take the file.
    if (job.cancel.load() && !status.path.empty()) unlink(status.path.c_str());
  }
  Note(job, status);
}

void UrlRequests::Run(Job& job) {
  UrlStatus status;
  job.file = std::make_unique<WholeFileWriter>(job.path.c_str());
  CURL* curl = job.file->IsOpen() ? curl_easy_init() : nullptr;
  if (curl == nullptr) {
    status.status = pp::kUrlStatusFailed;
    status.reason = !job.file->IsOpen() ? "cannot write " + job.path : "no transfer handle";
    Finish(job, status);
    return;
  }
  const auto remaining =
      std::chrono::duration_cast<std::chrono::milliseconds>(job.deadline - Clock::now());
  curl_easy_setopt(curl, CURLOPT_URL, job.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(std::max<i64>(remaining.count(), 1)));
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(job.maxBytes));
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* user) {
        Job& j = *static_cast<Job*>(user);
        const size_t n = size * count;
        if (j.written + n > j.maxBytes) return size_t(0);
        if (!j.file->Write(data, n)) return size_t(0);
        j.written += n;
        return n;
      });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &job);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(
      curl, CURLOPT_XFERINFOFUNCTION,
      +[](void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) -> int {
        Job& j = *static_cast<Job*>(user);
        if (j.cancel.load()) return 1;
        UrlStatus progress;
        {
          std::lock_guard<std::mutex> lock(j.statusMutex);
          j.status.received = Clamp32(now);
          j.status.expected = Clamp32(total);
          progress = j.status;
        }
        const Clock::time_point at = Clock::now();
        if (now > 0 && at - j.lastNote >= std::chrono::milliseconds(kUrlProgressNoteMs)) {
          j.lastNote = at;
          Note(j, progress);
        }
        return 0;
      });
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &job);
  const CURLcode result = curl_easy_perform(curl);
  long code = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
  curl_easy_cleanup(curl);
  {
    std::lock_guard<std::mutex> lock(job.statusMutex);
    status = job.status;
  }
  status.received = Clamp32(curl_off_t(job.written));
  if (result == CURLE_OPERATION_TIMEDOUT) {
    status.status = pp::kUrlStatusTimedOut;
    status.reason = "no answer within the time limit";
  } else if (result != CURLE_OK) {
    status.status = code > 0 ? u32(code) : pp::kUrlStatusFailed;
    status.reason = job.cancel.load() ? "cancelled" : curl_easy_strerror(result);
  } else {
    status.status = u32(code);
  }
  Finish(job, status);
}

}  // namespace PymDaemonSrv
