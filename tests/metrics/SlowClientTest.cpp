// Clients that hold the endpoint's connections by trickling their request
// a byte a second: scrapes are still answered at once, and the server
// closes each trickling connection at its request deadline although it
// never goes idle.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "MetricsTest.h"
#include "http_endpoint.h"

namespace metricstest {
namespace {

using Clock = std::chrono::steady_clock;

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// kClients connections that each send one byte of an endless header every
// second, opened again when the server closes them; records how long each
// closed connection had lived.
class Tricklers {
 public:
  static constexpr int kClients = 64;

  explicit Tricklers(int port) : port_(port) {
    for (int i = 0; i < kClients; ++i) clients_.push_back(Connect());
    thread_ = std::thread([this] { Run(); });
  }
  ~Tricklers() {
    stop_ = true;
    thread_.join();
    for (const Client& client : clients_)
      if (client.fd >= 0) close(client.fd);
  }
  // Connections the server closed, and their shortest and longest lives.
  int Closed() const { return closed_; }
  double ShortestLife() const { return shortest_ms_ / 1000.0; }
  double LongestLife() const { return longest_ms_ / 1000.0; }
  int Connected() const { return open_; }

 private:
  struct Client {
    int fd = -1;
    Clock::time_point opened;
    size_t sent = 0;
  };
  Client Connect() {
    Client client{ConnectLoopback(port_), Clock::now(), 0};
    open_ += client.fd >= 0;
    return client;
  }
  void Run() {
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    auto next_tick = Clock::now();
    while (!stop_) {
      if (Clock::now() >= next_tick) {
        for (Client& client : clients_) {
          const char byte = client.sent < request.size() ? request[client.sent] : 'a';
          if (client.fd >= 0 && send(client.fd, &byte, 1, MSG_NOSIGNAL) == 1) ++client.sent;
        }
        next_tick += std::chrono::seconds(1);
      }
      // Wait for the next tick or for the server to close one of them.
      std::vector<pollfd> fds;
      for (const Client& client : clients_) fds.push_back({client.fd, POLLIN, 0});
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
          next_tick - Clock::now());
      poll(fds.data(), fds.size(), std::max<int>(0, std::min<int>(wait.count(), 200)));
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char sink[256];
        if (recv(fds[i].fd, sink, sizeof(sink), MSG_DONTWAIT) > 0) continue;
        const int64_t life_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    Clock::now() - clients_[i].opened)
                                    .count();
        shortest_ms_ = closed_ == 0 ? life_ms : std::min<int64_t>(shortest_ms_, life_ms);
        longest_ms_ = std::max<int64_t>(longest_ms_, life_ms);
        ++closed_;
        close(clients_[i].fd);
        --open_;
        clients_[i] = Connect();
      }
    }
  }

  const int port_;
  std::vector<Client> clients_;
  std::atomic<bool> stop_{false};
  std::atomic<int> closed_{0};
  std::atomic<int> open_{0};
  std::atomic<int64_t> shortest_ms_{0};
  std::atomic<int64_t> longest_ms_{0};
  std::thread thread_;
};

TEST(SlowClientTest, TricklingClientsNeitherBlockScrapesNorKeepTheirSlots) {
  std::string error;
  auto endpoint = metrics::HttpEndpoint::Start(
      "127.0.0.1", 0, [] { return std::string("up 1\n"); },
      [] { return metrics::HealthVerdict{true, "", ""}; }, &error);
  ASSERT_TRUE(endpoint) << error;
  Tricklers tricklers(endpoint->Port());
  EXPECT_EQ(tricklers.Connected(), Tricklers::kClients);

  // Past one request deadline (10 s) with a margin, a scrape every 250 ms.
  const auto until = Clock::now() + std::chrono::seconds(13);
  int scrapes = 0;
  double slowest = 0;
  while (Clock::now() < until) {
    const auto start = Clock::now();
    const HttpReply reply = HttpGet(endpoint->Port(), "/metrics");
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "up 1\n");
    slowest = std::max(slowest, took);
    ++scrapes;
    std::this_thread::sleep_until(start + std::chrono::milliseconds(250));
  }
  EXPECT_GE(scrapes, 40);
  EXPECT_LT(slowest, 1.0);
  // Every trickler was closed at its deadline, none by the idle time-out
  // (5 s) and none held on past it.
  EXPECT_EQ(tricklers.Closed(), Tricklers::kClients);
  EXPECT_GE(tricklers.ShortestLife(), 9.5);
  EXPECT_LE(tricklers.LongestLife(), 12.5);
}

}  // namespace
}  // namespace metricstest
