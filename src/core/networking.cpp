#include "core/networking.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>
#include <mutex>

#include "qel/critical_section.h"
#include "qel/thread.h"
#include "qel/wevent.h"

namespace {

struct ResolveRequest {
  Qel::WEvent done{true, false};
  Qel::String host;
  u16 port = 0;
  sockaddr_in* out = nullptr;
  bool success = false;
};

struct NetGlobals {
  Qel::CriticalSection lock;  // the transport lock
  std::deque<ResolveRequest*> queue;
  Qel::Thread* resolver = nullptr;
  bool resolverStopped = true;
  u32 users = 0;
  SSL_CTX* tlsClient = nullptr;
  HostLookup lookup;
  u32 timeLimitMs = kResolveTimeLimitMs;
};

// Never destroyed: a resolver thread may still be running while the process exits.
NetGlobals& Net() {
  static NetGlobals* const globals = new NetGlobals;
  return *globals;
}

bool LookUpByName(const char* host, in_addr* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
  bool ok = false;
  if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
    *out = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ok = true;
  }
  freeaddrinfo(found);
  return ok;
}

bool ResolveOne(const Qel::String& host, u16 port, const HostLookup& lookup, sockaddr_in* out) {
  std::memset(out, 0, sizeof(*out));
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  if (host.EqualsIgnoreCase("localhost")) {
    out->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return true;
  }
  if (host.IsEmpty()) return false;
  if (inet_pton(AF_INET, host.CStr(), &out->sin_addr) == 1) return true;
  return lookup ? lookup(host.CStr(), &out->sin_addr) : LookUpByName(host.CStr(), &out->sin_addr);
}

i32 ResolverMain(Qel::Thread&) {
  NetGlobals& g = Net();
  Qel::SingleLock hold(g.lock);
  while (g.users > 0 && !g.queue.empty()) {
    const Qel::String host = g.queue.front()->host;
    const u16 port = g.queue.front()->port;
    const HostLookup lookup = g.lookup;
    hold.Unlock();
    sockaddr_in address;
    const bool ok = ResolveOne(host, port, lookup, &address);
    hold.Lock();
    // The request may have timed out and gone meanwhile; then the answer is dropped.
    if (!g.queue.empty() && g.queue.front()->host == host && g.queue.front()->port == port) {
      ResolveRequest* request = g.queue.front();
      g.queue.pop_front();
      if (ok && request->out) *request->out = address;
      request->success = ok;
      request->done.Set();
    }
  }
  g.resolverStopped = true;
  return 0;
}

}  // namespace

bool ResolveHost(const Qel::String& host, u16 port, sockaddr_in* out) {
  // A numeric address and "localhost" need no look-up: they are answered here, without waking a
  // resolver thread that would outlive the request (every connection to the daemon is one).
  in_addr numeric{};
  if (host.EqualsIgnoreCase("localhost") || inet_pton(AF_INET, host.CStr(), &numeric) == 1) {
    return ResolveOne(host, port, HostLookup(), out);
  }
  NetGlobals& g = Net();
  ResolveRequest request;
  request.host = host;
  request.port = port;
  request.out = out;
  u32 timeLimit;
  {
    Qel::SingleLock hold(g.lock);
    g.queue.push_back(&request);
    if (g.resolver && g.resolverStopped) {
      // It has left the lock for good, so joining under it cannot wait for us.
      g.resolver->Join();
      delete g.resolver;
      g.resolver = nullptr;
    }
    if (g.users > 0 && !g.resolver) {
      g.resolverStopped = false;
      g.resolver = new Qel::Thread(ResolverMain);
      if (!g.resolver->Start()) {
        delete g.resolver;
        g.resolver = nullptr;
        g.resolverStopped = true;
      }
    }
    timeLimit = g.timeLimitMs;
  }
  request.done.Wait(timeLimit);
  Qel::SingleLock hold(g.lock);
  for (auto it = g.queue.begin(); it != g.queue.end(); ++it) {
    if (*it == &request) {
      g.queue.erase(it);
      break;
    }
  }
  return request.success;
}

void InitNetworking() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The TLS client context is made on first use (GetTlsClientContext): no command of the tool
    // opens a TLS connection, and setting the library up costs most of a short command's run.
    NetGlobals& g = Net();
    Qel::SingleLock hold(g.lock);
    ++g.users;
  });
}

void ShutdownNetworking() {
  NetGlobals& g = Net();
  Qel::Thread* resolver = nullptr;
  SSL_CTX* context = nullptr;
  {
    Qel::SingleLock hold(g.lock);
    if (g.users == 0) return;
    if (--g.users > 0) return;
    resolver = g.resolver;
    g.resolver = nullptr;
    context = g.tlsClient;
    g.tlsClient = nullptr;
  }
  // Outside the lock: the resolver needs it to notice that no users are left.
  if (resolver) {
    resolver->Join();
    delete resolver;
  }
  {
    Qel::SingleLock hold(g.lock);
    g.resolverStopped = true;
  }
  SSL_CTX_free(context);
}

ssl_ctx_st* GetTlsClientContext() {
  NetGlobals& g = Net();
  Qel::SingleLock hold(g.lock);
  if (!g.tlsClient && g.users > 0) {
    // OpenSSL 3 locks for itself: no lock table or callbacks to install.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    g.tlsClient = SSL_CTX_new(TLS_client_method());
  }
  return g.tlsClient;
}

void SetHostLookupForTest(HostLookup lookup) {
  NetGlobals& g = Net();
  Qel::SingleLock hold(g.lock);
  g.lookup = std::move(lookup);
}

void SetResolveTimeLimitForTest(u32 ms) {
  NetGlobals& g = Net();
  Qel::SingleLock hold(g.lock);
  g.timeLimitMs = ms ? ms : kResolveTimeLimitMs;
}

u32 GetPendingResolveCountForTest() {
  NetGlobals& g = Net();
  Qel::SingleLock hold(g.lock);
  return static_cast<u32>(g.queue.size());
}
