#pragma once
// What a look at a client's first bytes gave so far.
#include <string>

namespace tovix {

enum class SniffOutcome {
  need_more,  // the bytes so far are a valid beginning; more may name the host
  name,       // `name` holds the host name
  no_name,    // these bytes will never name a host: go by address
};

struct SniffResult {
  SniffOutcome outcome = SniffOutcome::need_more;
  std::string name;  // lower-case, only with SniffOutcome::name

  static SniffResult need_more() { return {}; }
  static SniffResult no_name() { return {SniffOutcome::no_name, {}}; }
  static SniffResult found(std::string host) { return {SniffOutcome::name, std::move(host)}; }
  bool operator==(const SniffResult&) const = default;
};

}  // namespace tovix
