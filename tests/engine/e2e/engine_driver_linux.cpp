// Runs the engine without a window for the end-to-end tests: reads a settings record from the
// file named first, starts the engine, prints every status and error text on its own line
// ("status: ..." / "error: ..."), and stops it on SIGTERM or SIGINT. SIGUSR1 hot-updates the
// proxy list to an empty one. Option --cleanup-seconds N shortens the NAT clean-up period and the
// age after which an unused entry is stale; --recheck-ms N re-checks down proxies every N ms.
// The proxies' health events are printed as "health: ...". --data-path user-space rewrites
// every packet of a diverted connection in the engine instead of letting the kernel carry it.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/core/tunnel_engine.h"
#include "engine/divert/nfqueue_diverter_linux.h"
#include "engine/pool/pool_texts.h"

namespace {

volatile sig_atomic_t g_stop = 0;

volatile sig_atomic_t g_empty_update = 0;

void request_stop(int) { g_stop = 1; }
void request_empty_update(int) { g_empty_update = 1; }

std::mutex g_output_lock;

void print_line(const char* kind, const std::string& text) {
  std::lock_guard guard(g_output_lock);
  std::printf("%s: %s\n", kind, text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s settings.json [--cleanup-seconds N] [--recheck-ms N]\n", argv[0]);
    return 2;
  }
  tovix::EngineOptions options;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--cleanup-seconds") {
      const int seconds = std::stoi(argv[i + 1]);
      options.cleanup_period = std::chrono::seconds(seconds);
      options.stale_after_seconds = seconds;
    } else if (std::string(argv[i]) == "--recheck-ms") {
      const std::chrono::milliseconds period(std::stoi(argv[i + 1]));
      options.pool.recheck_period = period;
      options.pool.recheck_tick = std::min(options.pool.recheck_tick, period / 4);
    } else if (std::string(argv[i]) == "--data-path" && std::string(argv[i + 1]) == "user-space") {
      options.diverter_factory = [] {
        return std::make_unique<tovix::NfqueueDiverter>(tovix::NfqueueDiverter::DEFAULT_QUEUE_NUMBER,
                                                        tovix::NfqueueDiverter::DataPath::user_space);
      };
    }
  }
  options.pool.health_sink = [](const tovix::pool::HealthEvent& event) {
    print_line("health", tovix::pool::event_text(event));
  };
  std::ifstream file(argv[1]);
  nlohmann::ordered_json settings = nlohmann::ordered_json::parse(file);

  struct sigaction action {};
  action.sa_handler = request_stop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  struct sigaction update {};
  update.sa_handler = request_empty_update;
  sigaction(SIGUSR1, &update, nullptr);

  tovix::TunnelEngine engine(options);
  engine.set_status_callback([](const std::string& text) { print_line("status", text); });
  engine.set_error_callback([](const std::string& text) { print_line("error", text); });
  engine.start_engine(settings);
  // The signal handler only sets the flag; the engine is stopped from here.
  while (!g_stop && (engine.is_running() || engine.is_thread_active())) {
    if (g_empty_update) {
      g_empty_update = 0;
      engine.hot_update_all_proxies(nlohmann::ordered_json::array());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  engine.stop_engine();
  engine.wait_for_previous_run(std::chrono::seconds(30));
  print_line("exit", engine.is_thread_active() ? "thread still running" : "stopped");
  return 0;
}
