// ProcWatch against this machine's real processes and connections: a probe program, named like
// a Windows image (proc_watch_probe.exe), stands in for the chosen application.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "engine/process/proc_watch.h"

extern char** environ;

namespace tovix {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// A probe run as a child; it ends when the object goes (its standard input is closed).
class Probe {
 public:
  explicit Probe(std::optional<std::uint16_t> connect_port = std::nullopt) {
    int to_child[2];
    int from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    std::string program = PROC_WATCH_PROBE;
    std::string port = connect_port ? std::to_string(*connect_port) : std::string();
    char* argv[] = {program.data(), connect_port ? port.data() : nullptr, nullptr};
    const int failed = posix_spawn(&_pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(to_child[0]);
    close(from_child[1]);
    _stdin = to_child[1];
    _stdout = from_child[0];
    if (failed != 0) throw std::runtime_error("spawn failed");
    std::string line;
    char c;
    while (read(_stdout, &c, 1) == 1 && c != '\n') line += c;
    if (line != "ready") throw std::runtime_error("probe did not get ready: " + line);
  }
  ~Probe() {
    close(_stdin);
    int status = 0;
    waitpid(_pid, &status, 0);
    close(_stdout);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;
  std::uint32_t pid() const { return static_cast<std::uint32_t>(_pid); }

 private:
  pid_t _pid = -1;
  int _stdin = -1;
  int _stdout = -1;
};

// A loopback listener on a free port; accept() gives the client's local port.
class Listener {
 public:
  Listener() {
    _fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (_fd < 0 || bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(_fd, 8) != 0 ||
        getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("listener");
    }
    _port = ntohs(address.sin_port);
  }
  ~Listener() {
    for (int fd : _accepted) close(fd);
    close(_fd);
  }
  std::uint16_t port() const { return _port; }
  // The peer's port of the next connection.
  std::uint16_t accept_peer_port() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) throw std::runtime_error("accept");
    _accepted.push_back(fd);
    return ntohs(peer.sin_port);
  }

 private:
  int _fd = -1;
  std::uint16_t _port = 0;
  std::vector<int> _accepted;
};

constexpr const char* kProbeName = "Proc_Watch_Probe";  // matches proc_watch_probe.exe

TEST(ProcWatchRealProcessTest, FindsTheProbeByNameAndItsPortInTheMap) {
  Listener listener;
  Probe probe(listener.port());
  const std::uint16_t probe_port = listener.accept_peer_port();

  EXPECT_THAT(ProcWatch::get_pid_by_name(kProbeName), ElementsAre(probe.pid()));
  EXPECT_TRUE(ProcWatch::get_pid_by_name("proc_watch_prob").empty()) << "never a substring";
  EXPECT_THAT(ProcWatch::get_all_process_names(), Contains("proc_watch_probe.exe"));
  const Json info = ProcWatch::get_all_processes_info();
  const auto record =
      std::find_if(info.begin(), info.end(), [](const Json& r) { return r["name"] == "proc_watch_probe.exe"; });
  ASSERT_NE(record, info.end());
  EXPECT_EQ((*record)["exe"], PROC_WATCH_PROBE);

  ProcWatch watch;
  watch.build_filter_expression({kProbeName, "no-such-program"});
  EXPECT_THAT(watch.target_pids(), UnorderedElementsAre(probe.pid()));
  EXPECT_EQ(watch.pid_lookup_details()["no-such-program"], NOT_RUNNING);

  EXPECT_GT(watch._do_refresh(), 0u);
  EXPECT_EQ(watch.tcp_port_map()[probe_port], probe.pid());
  EXPECT_TRUE(watch.is_packet_allowed(0, probe_port));
  watch.refresh_now();  // owners found before are checked again rather than searched for
  EXPECT_EQ(watch.tcp_port_map()[probe_port], probe.pid());
  EXPECT_FALSE(watch.is_packet_allowed(static_cast<std::uint32_t>(getpid()))) << "this test is not a target";
  EXPECT_EQ(watch.tcp_port_map()[listener.port()], static_cast<std::uint32_t>(getpid()))
      << "the accepted side, not the listener listed before it";
}

TEST(ProcWatchRealProcessTest, NewConnectionIsFoundThroughTheSpinRefresh) {
  Probe first;
  ProcWatch watch;
  watch.build_filter_expression({kProbeName});
  watch.refresh_now();

  Listener listener;
  Probe late(listener.port());  // started after the build, its port unknown to the map
  const std::uint16_t port = listener.accept_peer_port();
  EXPECT_NE(watch.get_pid_by_src_port(port), late.pid()) << "not in the map before its first packet";
  EXPECT_TRUE(watch.is_packet_allowed(0, port, true));
  EXPECT_EQ(watch.get_pid_by_src_port(port), late.pid());
  EXPECT_THAT(watch.target_pids(), UnorderedElementsAre(first.pid(), late.pid())) << "joined on its first packet";
}

TEST(ProcWatchRealProcessTest, ImageNamesOfRealAndVanishedProcesses) {
  auto& queries = *platform_process_queries();
  std::uint32_t gone = 0;
  {
    Probe probe;
    EXPECT_EQ(queries.image_name(probe.pid()), "proc_watch_probe.exe");
    gone = probe.pid();
  }
  EXPECT_EQ(queries.image_name(gone), std::nullopt);
  EXPECT_EQ(queries.image_name(0), std::nullopt);
}

}  // namespace
}  // namespace tovix
