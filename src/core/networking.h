// The process-wide network layer: host-name resolution on a resolver thread of its own, with a
// time limit, and the start and end of networking (TLS library set-up and one client context).
#pragma once

#include <netinet/in.h>

#include <functional>

#include "core/transport_limits.h"
#include "qel/string.h"
#include "qel/types.h"

struct ssl_ctx_st;

// Resolves an IPv4 address for `host` and `port` (network byte order) into `*out`. The look-up
// runs on the resolver thread; the caller waits at most the time limit. "localhost", in any
// case, is 127.0.0.1 without a look-up. False on failure, on time-out, and before
// InitNetworking or after ShutdownNetworking (no resolver runs then). A late answer to a
// request that timed out is dropped, never written.
bool ResolveHost(const Qel::String& host, u16 port, sockaddr_in* out);

// Starts the network layer; only the first call in a process does anything.
void InitNetworking();
// Ends it: the resolver thread is waited for and the TLS client context freed.
void ShutdownNetworking();

// The TLS client context made by InitNetworking; null before it and after ShutdownNetworking.
ssl_ctx_st* GetTlsClientContext();

// Test seams. The look-up replaces the name service (not the "localhost" rule); an empty
// function restores it. A time limit of 0 restores kResolveTimeLimitMs.
using HostLookup = std::function<bool(const char* host, in_addr* out)>;
void SetHostLookupForTest(HostLookup lookup);
void SetResolveTimeLimitForTest(u32 ms);
// Requests waiting for (or being served by) the resolver thread.
u32 GetPendingResolveCountForTest();
