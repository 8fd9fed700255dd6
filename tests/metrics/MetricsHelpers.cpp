#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "MetricsTest.h"
#include "http_endpoint.h"
#include "metric_types.h"
#include "scheduler_metrics.h"
#include "utilLib.h"

namespace metricstest {

HttpReply HttpGet(int port, const std::string& path) {
  HttpReply reply;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return reply;
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return reply;
  }
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    close(fd);
    return reply;
  }
  std::string raw;
  char chunk[4096];
  for (ssize_t n; (n = recv(fd, chunk, sizeof(chunk), 0)) > 0;) raw.append(chunk, n);
  close(fd);
  const size_t head_end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) return reply;
  reply.status = std::atoi(raw.c_str() + raw.find(' ') + 1);
  reply.body = raw.substr(head_end + 4);
  return reply;
}

double SeriesValue(const std::string& exposition, const std::string& series) {
  std::istringstream lines(exposition);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 &&
        line[series.size()] == ' ')
      return std::strtod(line.c_str() + series.size() + 1, nullptr);
  }
  return -1;
}

bool PromtoolAccepts(const std::string& exposition) {
  FILE* promtool = popen("promtool check metrics", "w");
  if (promtool == nullptr) return false;
  fwrite(exposition.data(), 1, exposition.size(), promtool);
  return pclose(promtool) == 0;
}

int FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

void MetricsDaemonTest::SetUp() {
  DbTest::SetUp();
  Exec("insert into jobhandlermaster (HostName, PortNumber) values ('127.0.0.1', 7301)");
  metrics_port_ = FreeTcpPort();
}

void MetricsDaemonTest::StartDaemon(double time_scale) {
  AddOptions("orb", Format("korb-metrics-port=%d\n", metrics_port_));
  korbtest::DaemonOptions options;
  options.time_scale = time_scale;
  daemon_ = std::make_unique<korbtest::DaemonProcess>(options);
  ASSERT_TRUE(korbtest::WaitForLog("PostAutomationScheduleJobs:: -- Started --", kStartTimeout))
      << korbtest::DaemonLog();
  ASSERT_EQ(korbtest::CountInLog(Format("Metrics endpoint listening on 127.0.0.1 port %d",
                                        metrics_port_)),
            1)
      << korbtest::DaemonLog();
}

double MetricsDaemonTest::Scrape(const std::string& series) {
  return SeriesValue(HttpGet(metrics_port_, "/metrics").body, series);
}

double MetricsDaemonTest::WaitForSeries(const std::string& series,
                                        bool (*pred)(double, double), double operand,
                                        std::chrono::milliseconds timeout) {
  double value = -1;
  korbtest::WaitFor([&] { return pred(value = Scrape(series), operand); }, timeout);
  return value;
}

std::string ScrapeSelf() {
  static std::unique_ptr<metrics::HttpEndpoint> endpoint = [] {
    metrics::RegisterSchedulerMetrics();
    std::string error;
    auto opened = metrics::HttpEndpoint::Start(
        "127.0.0.1", 0, [] { return metrics::DefaultRegistry().Render(); },
        metrics::SchedulerHealth, &error);
    EXPECT_TRUE(opened) << error;
    return opened;
  }();
  if (!endpoint) return "";
  const HttpReply reply = HttpGet(endpoint->Port(), "/metrics");
  EXPECT_EQ(reply.status, 200);
  return reply.body;
}

}  // namespace metricstest
