#pragma once
// Which way one relayed connection leaves: through the relay's own proxy, through another
// proxy, directly, or not at all. A chooser sees what the relay knows of the connection once its
// destination is known and returns the way; without a chooser every connection takes the relay's
// own proxy.
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tovix {

// What the relay knows of a connection when the way is chosen.
struct ConnectionRequest {
  int client_port = 0;          // the NAT key
  std::string original_src_ip;  // the application's own address
  std::string dst_ip;
  int dst_port = 0;
  std::optional<std::string> host_name;  // the name the client asked for, where the relay learnt it
};

struct UpstreamChoice {
  enum class Way { relay_proxy, other_proxy, direct, block };
  Way way = Way::relay_proxy;
  nlohmann::ordered_json proxy;  // the ProxyEntry for other_proxy
  // A proxy is asked for the destination's name where the relay learnt one (and for its
  // address when the proxy cannot resolve it); false: always for the address.
  bool name_to_proxy = true;
  // No rule before the deciding one asks for names: asked before any name was read, a name
  // could not change the way, so a connection blocked or sent direct needs no wait for it.
  bool settled = false;
  // What decided the way, for the connections list (a rule's number and label); empty when
  // nothing did.
  std::string reason;

  static UpstreamChoice relay_proxy() { return {}; }
  static UpstreamChoice through(nlohmann::ordered_json proxy_entry) {
    UpstreamChoice choice;
    choice.way = Way::other_proxy;
    choice.proxy = std::move(proxy_entry);
    return choice;
  }
  static UpstreamChoice direct() { return of(Way::direct); }
  static UpstreamChoice block() { return of(Way::block); }
  static UpstreamChoice of(Way way) {
    UpstreamChoice choice;
    choice.way = way;
    return choice;
  }
};

// Called on the relay's event-loop thread, once per connection or twice where the relay reads host
// names (before and after reading); it must not block. An exception counts as block.
using UpstreamChooser = std::function<UpstreamChoice(const ConnectionRequest&)>;

}  // namespace tovix
