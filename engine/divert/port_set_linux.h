#pragma once
// The set of client ports whose packets the kernel hands to the queue reader (an ipset of type
// bitmap:port that the diversion rules match on). Ports are added and removed on the packet
// path, so this talks to the kernel over its own netlink socket instead of starting the ipset
// program; creating and destroying the set happens once per run through the rules.
#include <cstdint>
#include <string>

namespace tovix {

class IpsetPortSet {
 public:
  // Throws DivertOsError when the netlink socket cannot be opened.
  explicit IpsetPortSet(std::string set_name);
  ~IpsetPortSet();
  IpsetPortSet(const IpsetPortSet&) = delete;
  IpsetPortSet& operator=(const IpsetPortSet&) = delete;

  // Both return once the kernel has applied the change; adding a present port or removing an
  // absent one is not an error. Throw DivertOsError when the kernel refuses.
  void add(std::uint16_t port);
  void remove(std::uint16_t port);

 private:
  void _change(int command, std::uint16_t port);

  std::string _set_name;
  int _fd = -1;
  std::uint32_t _sequence = 0;
};

}  // namespace tovix
