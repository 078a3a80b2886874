#pragma once
// Keeps this machine's public address in the IP whitelists of the signed-in account's
// short-term products. A home line gets a new address at every re-dial; the products then
// refuse it until the whitelist is changed. Each check asks the public-IP services for the
// address and, when it differs from the one last seen, replaces the old address with the new
// one in every product whose whitelist holds the old one, keeping every other entry.
//
// It never writes an address it could not determine (a failed look-up, or an answer that is not
// a dotted IPv4 address, changes nothing), never empties a list, and remembers the new address
// only once every product holding the old one has been changed, so a failure is tried again.
//
// check() blocks (network); run it off the GUI thread. One check at a time.
#include <functional>
#include <optional>
#include <string>

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

// Setting: whether the whitelists follow the public address (false when absent).
inline constexpr const char* AUTO_WHITELIST_KEY = "auto_update_whitelist";
// Setting: the public address last seen and written to the whitelists.
inline constexpr const char* WHITELIST_ADDRESS_KEY = "whitelist_public_ip";

struct WhitelistFollowResult {
  enum class Outcome {
    not_signed_in,
    lookup_failed,  // nothing changed
    first_seen,     // the address is remembered; the whitelists are left as they are
    unchanged,
    updated,  // every product holding the old address now holds the new one
    failed,   // the console refused or could not be reached; tried again next time
  };
  Outcome outcome = Outcome::unchanged;
  std::string old_address;
  std::string new_address;
  int products_changed = 0;
  std::string message;  // for the user; empty when there is nothing to tell
};

class WhitelistFollower {
 public:
  using AddressLookup = std::function<std::optional<std::string>()>;

  // `lookup` asks the public-IP services directly (not through a proxy).
  WhitelistFollower(SettingsStore& settings, AddressLookup lookup);

  WhitelistFollowResult check();

 private:
  SettingsStore& _settings;
  AddressLookup _lookup;
};

// A dotted IPv4 address, each part 0..255 without a leading zero.
bool is_ipv4_address(const std::string& text);

}  // namespace tovix::app
