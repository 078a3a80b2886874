#pragma once
// An HTTP destination for end-to-end tests that records the peer address of every connection,
// so a test can tell whether a connection came through a proxy. One request per connection:
//   GET /data            the body given at construction, with its length
//   GET /data?close      the same body, delimited only by the server closing the connection
//   POST /upload         keeps the request body; answers with its length
//   anything else        "ok"
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/loopback_server.h"

namespace tovix::testing {

class HttpDestination {
 public:
  HttpDestination(const std::string& bind_ip, std::shared_ptr<const std::string> body);
  int port() const { return _server->port(); }
  // Peer addresses, one per connection, in the order they were accepted.
  std::vector<std::string> peers() const;
  std::string last_upload() const;

 private:
  void _serve(Socket& connection);

  std::shared_ptr<const std::string> _body;
  mutable std::mutex _lock;
  std::vector<std::string> _peers;
  std::string _upload;
  std::unique_ptr<LoopbackServer> _server;  // last: its threads use the fields above
};

}  // namespace tovix::testing
