#include "engine/pool/proxy_selector.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "engine/process/proc_watch.h"
#include "tests/engine/process/process_queries_fake.h"

namespace tovix::pool {
namespace {

// One new connection and the proxy it must get: the process id its packet carries (0: none),
// its local port, and the proxies that are down at that moment.
struct Step {
  std::uint32_t pid;
  std::uint16_t port;
  std::set<std::size_t> down;
  std::size_t expected;
  bool usable = true;
};

struct Scenario {
  const char* name;
  SpreadMode mode;
  std::size_t proxies;
  std::vector<Step> steps;
};

void run(const Scenario& scenario, const PortOwner& owner = {}) {
  ProxySelector selector(scenario.mode, owner);
  for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
    const Step& step = scenario.steps[i];
    const auto choice = selector.choose({step.pid, step.port}, scenario.proxies,
                                        [&](std::size_t index) { return !step.down.count(index); });
    ASSERT_TRUE(choice) << scenario.name << ", step " << i;
    EXPECT_EQ(choice->index, step.expected) << scenario.name << ", step " << i;
    EXPECT_EQ(choice->usable, step.usable) << scenario.name << ", step " << i;
  }
}

TEST(ProxySelector, SpreadsAsEachModeSays) {
  const std::vector<Scenario> scenarios = {
      {"first proxy takes everything",
       SpreadMode::first_available,
       3,
       {{1, 50001, {}, 0}, {2, 50002, {}, 0}, {0, 50003, {}, 0}}},
      {"first proxy down: the next one up",
       SpreadMode::first_available,
       3,
       {{1, 50001, {0}, 1}, {1, 50002, {0, 1}, 2}, {1, 50003, {}, 0}}},
      {"per connection in turn",
       SpreadMode::per_connection,
       3,
       {{1, 1, {}, 0}, {1, 2, {}, 1}, {1, 3, {}, 2}, {1, 4, {}, 0}}},
      {"per connection skips a down proxy",
       SpreadMode::per_connection,
       3,
       {{1, 1, {}, 0}, {1, 2, {1}, 2}, {1, 3, {1}, 0}, {1, 4, {1}, 2}}},
      {"per program: processes in turn, each keeps its proxy",
       SpreadMode::per_program,
       3,
       {{100, 1, {}, 0}, {200, 2, {}, 1}, {300, 3, {}, 2}, {400, 4, {}, 0}, {100, 5, {}, 0}, {300, 6, {}, 2}}},
      {"per program: borrows the next proxy while its own is down, then returns",
       SpreadMode::per_program,
       3,
       {{100, 1, {}, 0}, {200, 2, {}, 1}, {200, 3, {1}, 2}, {200, 4, {1, 2}, 0}, {200, 5, {}, 1}}},
      {"per program: a new process is given a proxy that is up",
       SpreadMode::per_program,
       3,
       {{100, 1, {}, 0}, {200, 2, {1}, 2}, {300, 3, {1}, 0}, {200, 4, {}, 2}}},
      {"per program: unknown process takes the next in turn, nothing kept",
       SpreadMode::per_program,
       2,
       {{0, 1, {}, 0}, {0, 2, {}, 1}, {0, 3, {}, 0}}},
      {"all down: the mode's own choice, marked unusable",
       SpreadMode::per_connection,
       2,
       {{1, 1, {0, 1}, 0, false}, {1, 2, {0, 1}, 1, false}, {1, 3, {}, 0}}},
      {"all down in first mode: the first proxy", SpreadMode::first_available, 2, {{1, 1, {0, 1}, 0, false}}},
      {"all down in per program: its own proxy",
       SpreadMode::per_program,
       2,
       {{7, 1, {}, 0}, {8, 2, {}, 1}, {8, 3, {0, 1}, 1, false}}},
  };
  for (const Scenario& scenario : scenarios) run(scenario);
}

TEST(ProxySelector, EmptyListAndShrunkenListAndReset) {
  ProxySelector selector(SpreadMode::per_program);
  EXPECT_FALSE(selector.choose({1, 1}, 0));

  EXPECT_EQ(selector.choose({1, 1}, 3)->index, 0u);
  EXPECT_EQ(selector.choose({2, 1}, 3)->index, 1u);
  EXPECT_EQ(selector.choose({3, 1}, 3)->index, 2u);
  // The list lost its third proxy: process 3 is given one afresh.
  EXPECT_LT(selector.choose({3, 1}, 2)->index, 2u);

  selector.reset();
  EXPECT_TRUE(selector.program_proxies().empty());
  EXPECT_EQ(selector.choose({2, 1}, 3)->index, 0u) << "after a reset programs start from the first proxy";
}

// On Linux the packets carry no process id: the owner of the connection's local port, from the
// port map, keeps a program on its proxy across its connections.
TEST(ProxySelector, PerProgramThroughThePortMap) {
  auto queries = std::make_shared<tovix::testing::FakeProcessQueries>();
  queries->add_process(100, "browser");
  queries->add_process(200, "mailer");
  queries->set_connections({tovix::testing::connection(40001, 100), tovix::testing::connection(40002, 200),
                            tovix::testing::connection(40003, 100), tovix::testing::connection(40004, 100)});
  ProcWatch watch(queries);
  watch.refresh_now();
  const PortOwner owner = [&watch](std::uint16_t port) { return watch.get_pid_by_src_port(port, true); };

  run({"sticky per program by port owner",
       SpreadMode::per_program,
       2,
       {{0, 40001, {}, 0}, {0, 40002, {}, 1}, {0, 40003, {}, 0}, {0, 40004, {}, 0}}},
      owner);
  // The same ports without the port map: every connection takes the next turn.
  run({"no port map", SpreadMode::per_program, 2, {{0, 40001, {}, 0}, {0, 40003, {}, 1}, {0, 40004, {}, 0}}});
  // A process id on the packet wins over the port map (Windows).
  run({"packet's own id", SpreadMode::per_program, 2, {{9, 40001, {}, 0}, {9, 40002, {}, 0}}}, owner);
}

TEST(ProxySelector, PortMapIsAskedOnlyWhenNeeded) {
  int asked = 0;
  const PortOwner owner = [&asked](std::uint16_t) {
    ++asked;
    return 5u;
  };
  for (SpreadMode mode : {SpreadMode::first_available, SpreadMode::per_connection}) {
    ProxySelector selector(mode, owner);
    selector.choose({0, 1}, 2);
  }
  ProxySelector per_program(SpreadMode::per_program, owner);
  per_program.choose({42, 1}, 2);
  EXPECT_EQ(asked, 0);
  per_program.choose({0, 1}, 2);
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace tovix::pool
