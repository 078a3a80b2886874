#include "engine/pool/handshake_check.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "common/text.h"
#include "engine/relay/proxy_settings.h"

namespace tovix::pool {

std::optional<TestDestination> parse_test_destination(const std::string& text) {
  std::string_view rest = strip_whitespace(text);
  if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) {
    std::string name(rest.substr(0, scheme));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name != "http") return std::nullopt;
    rest.remove_prefix(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
  }
  TestDestination destination;
  if (const auto colon = rest.rfind(':'); colon != std::string_view::npos) {
    const std::string_view port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
      return std::nullopt;
    destination.port = std::stoi(std::string(port));
    rest = rest.substr(0, colon);
  }
  if (rest.empty() || rest.find_first_of("@ \t") != std::string_view::npos) return std::nullopt;
  if (destination.port < 1 || destination.port > 65535) return std::nullopt;
  destination.host = std::string(rest);
  return destination;
}

TestDestination test_destination_of(const nlohmann::ordered_json& settings, const std::string& default_url) {
  if (settings.is_object()) {
    if (auto it = settings.find(HEALTH_CHECK_TARGET_KEY); it != settings.end() && it->is_string()) {
      if (auto configured = parse_test_destination(it->get<std::string>())) return *configured;
    }
  }
  return parse_test_destination(default_url).value_or(TestDestination{});
}

HandshakeCheckResult check_handshake(const nlohmann::ordered_json& proxy_entry, const TestDestination& destination,
                                     const HandlerFactory& handler_factory) {
  try {
    const ProxySettings proxy = read_proxy_settings(proxy_entry);
    std::unique_ptr<UpstreamHandler> handler =
        handler_factory ? handler_factory(proxy.type) : make_upstream_handler_with(proxy.type, RECHECK_TIMEOUTS);
    if (!handler) return {false, "no upstream handler for type " + proxy.type};
    std::shared_ptr<Socket> tunnel = handler->handle_connection(destination.host, destination.port, proxy.host,
                                                                proxy.port, proxy.username, proxy.password);
    if (tunnel) tunnel->close();
    return {true, {}};
  } catch (const ProxyError& error) {
    if (error.at_destination()) return {true, {}};
    return {false, error.what()};
  } catch (const std::exception& error) {
    return {false, error.what()};
  }
}

}  // namespace tovix::pool
