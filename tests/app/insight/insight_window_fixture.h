#pragma once
// The window's engine as the application builds it, on fake diverters: its relays tell the
// failure feed how each tunnel went, and process 4242 is "chrome.exe". A loopback echo server
// is the destination.
#include <algorithm>

#include "app/insight/failure_status_feed.h"
#include "tests/app/window_fixture.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/support/loopback_server.h"

namespace tovix::testing {

inline constexpr std::uint32_t CHROME_PID = 4242;

class InsightWindowTest : public WindowTest {
 protected:
  EngineOptions engine_options() {
    EngineOptions options = fake_engine();
    auto queries = std::make_shared<FakeProcessQueries>();
    queries->add_process(CHROME_PID, "chrome.exe");
    options.process_queries = queries;
    // As the application does: the engine's health tracker tells of a proxy's failures.
    options.pool.health_sink = failures.health_sink();
    return options;
  }

  // The diverter of the engine's latest run.
  FakeDiverter& diverter() { return *diverters.wait_for(std::max<std::size_t>(diverters.made(), 1) - 1); }

  insight::FailureStatusFeed failures;
  LoopbackServer echo{greet_then_echo()};
};

}  // namespace tovix::testing
