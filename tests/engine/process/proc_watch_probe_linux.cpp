// A stand-in for a chosen application: connects to 127.0.0.1:<port> when given one, says
// "ready" on standard output, and holds on until its standard input closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  int connection = -1;
  if (argc > 1) {
    connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Bound before it connects, so its port is one no other socket on this machine holds
    // (a connect alone may share a port with a connection towards another destination).
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connection < 0 || bind(connection, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      std::perror("connect");
      return 2;
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  if (connection >= 0) close(connection);
  return 0;
}
