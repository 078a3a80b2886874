#pragma once
// How a failed expectation shows a SniffResult.
#include <ostream>

#include "engine/sniff/sniff_result.h"

namespace tovix {

inline void PrintTo(const SniffResult& result, std::ostream* out) {
  switch (result.outcome) {
    case SniffOutcome::need_more:
      *out << "need more";
      break;
    case SniffOutcome::no_name:
      *out << "no name";
      break;
    case SniffOutcome::name:
      *out << "name " << result.name;
      break;
  }
}

}  // namespace tovix
