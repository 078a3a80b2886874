#pragma once
// Answers programs' DNS queries (UDP) by asking the same resolver over TCP (RFC 7766) through a
// tunnel the caller opens, typically through the proxy: the resolver sees the proxy's address,
// and the answer goes back to the program as a UDP datagram from the resolver's address.
//
// One connection per resolver carries several queries at once, each under an ID of its own on
// that connection (two programs may pick the same ID); at most Options::max_in_flight wait for
// their answers, the rest queue. A connection that ends with queries unanswered has them asked
// again on a new one (once); a query unanswered after Options::query_timeout, or that cannot be
// asked at all (the tunnel does not open), is answered with SERVFAIL so the program's resolver
// moves on at once instead of waiting out its own time-outs. An idle connection closes after
// Options::idle_close.
//
// Threads: submit() never blocks on the network. Each resolver has a thread that opens its
// connection and sends, and one that reads; the answer callback runs on those threads and must
// return quickly.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "common/ip_address.h"
#include "common/socket.h"
#include "engine/udp/udp_proxy_export.h"

namespace tovix {

struct DnsQuery {
  IpEndpoint program;   // the program socket that asked
  IpEndpoint resolver;  // where it asked, port 53 as a rule
  std::vector<std::uint8_t> message;
};

struct UDP_PROXY_EXPORT DnsAnswer {
  IpEndpoint program;
  IpEndpoint resolver;
  std::vector<std::uint8_t> message;  // under the program's own ID
  bool from_resolver = true;          // false: a SERVFAIL made here
  // The IP datagram that hands the answer to the program: from the resolver's address and port
  // to the program socket.
  std::vector<std::uint8_t> datagram() const;
};

// A connected stream to the resolver (through the proxy), or an exception when there is none.
using DnsTunnelOpener = std::function<std::shared_ptr<Socket>(const IpEndpoint& resolver)>;

class UDP_PROXY_EXPORT DnsOverTcp {
 public:
  struct Options {
    std::size_t max_in_flight = 16;
    std::size_t max_waiting = 256;  // per resolver
    std::size_t max_resolvers = 16;
    std::chrono::milliseconds query_timeout{5000};
    std::chrono::milliseconds idle_close{10000};
    int attempts = 2;  // connections a query is sent on at most
  };

  DnsOverTcp(DnsTunnelOpener opener, std::function<void(DnsAnswer)> on_answer, Options options);
  DnsOverTcp(DnsTunnelOpener opener, std::function<void(DnsAnswer)> on_answer)
      : DnsOverTcp(std::move(opener), std::move(on_answer), Options{}) {}
  ~DnsOverTcp();  // stop()
  DnsOverTcp(const DnsOverTcp&) = delete;
  DnsOverTcp& operator=(const DnsOverTcp&) = delete;

  // Queues the query; false when it is no DNS query, or too many wait already (the program's
  // resolver asks again).
  bool submit(DnsQuery query);
  // Closes the connections and joins the threads; queries still waiting get no answer.
  void stop();

 private:
  class Channel;

  const DnsTunnelOpener _opener;
  const std::function<void(DnsAnswer)> _on_answer;
  const Options _options;
  std::mutex _lock;
  bool _stopped = false;
  std::map<IpEndpoint, std::unique_ptr<Channel>> _channels;
};

}  // namespace tovix
