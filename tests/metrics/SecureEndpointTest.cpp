// The endpoint for scrapes from other hosts: a web configuration file with
// a certificate made here by openssl and bcrypt hashes made by libcrypt,
// scraped with curl --cacert from the running scheduler (200 with the
// right password, 401 with a wrong one or none, no answer over plain
// HTTP), the pause after a failed password check, web configurations that must keep the endpoint closed, and the
// warning for an endpoint open to other hosts without one.
#include <crypt.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "MetricsTest.h"
#include "basic_auth.h"
#include "utilLib.h"
#include "web_config.h"

namespace metricstest {
namespace {

std::string Bcrypt(const std::string& password, const char* prefix) {
  auto data = std::make_unique<crypt_data>();
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn("$2b$", 5, nullptr, 0, salt, sizeof(salt)) == nullptr) return "";
  std::string hash = crypt_r(password.c_str(), salt, data.get());
  return std::string(prefix) + hash.substr(4);  // $2b$ and $2y$ hash alike
}

// Runs a shell command; its standard output, and its exit status in *status.
std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) out.append(chunk, n);
  *status = pclose(pipe);
  return out;
}

class SecureEndpointTest : public MetricsDaemonTest {
 protected:
  void SetUp() override {
    MetricsDaemonTest::SetUp();
    char dir_template[] = "/tmp/korb-webcfg-XXXXXX";
    dir_ = mkdtemp(dir_template);
    int status = -1;
    Shell("cd " + dir_ +
              " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
              "-nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=localhost "
              "-addext subjectAltName=IP:127.0.0.1 2>&1",
          &status);
    ASSERT_EQ(status, 0) << "openssl could not make the test certificate";
  }
  void TearDown() override {
    if (daemon_) {
      daemon_->Send(1);
      daemon_->WaitExit(kWaitTimeout);
    }
    std::filesystem::remove_all(dir_);
    MetricsDaemonTest::TearDown();
  }
  std::string WriteConfig(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  // curl's HTTP status for path (000 when no HTTP answer came).
  std::string Curl(const std::string& scheme, const std::string& path,
                   const std::string& credentials, std::string* body = nullptr) {
    int status = -1;
    const std::string out = Shell(
        "curl -s --max-time 10 --cacert " + dir_ + "/cert.pem -w '\\n%{http_code}' " +
            (credentials.empty() ? "" : "-u '" + credentials + "' ") + scheme + "://127.0.0.1:" +
            std::to_string(metrics_port_) + path,
        &status);
    const size_t last = out.rfind('\n');
    if (body != nullptr) *body = out.substr(0, last);
    return out.substr(last + 1);
  }
  void StartWith(const std::string& lines) {
    AddOptions("orb", Format("korb-metrics-port=%d\n", metrics_port_) + lines);
    daemon_ = std::make_unique<korbtest::DaemonProcess>(korbtest::DaemonOptions{});
    ASSERT_TRUE(korbtest::WaitForLog("PostAutomationScheduleJobs:: -- Started --", kStartTimeout))
        << korbtest::DaemonLog();
  }

  std::string dir_;
};

TEST_F(SecureEndpointTest, TlsScrapeWithThePasswordAndRefusalsWithout) {
  const std::string config = WriteConfig(
      "web.yml", "tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n"
                 "basic_auth_users:\n  prometheus: " + Bcrypt("s3cret pass", "$2y$") +
                 "\n  other: '" + Bcrypt("other", "$2b$") + "'\n");
  StartWith("korb-metrics-web-config=" + config + "\n");
  ASSERT_EQ(korbtest::CountInLog("Metrics endpoint uses " + config +
                                 ": TLS on, basic authentication on"),
            1)
      << korbtest::DaemonLog();

  std::string body;
  EXPECT_EQ(Curl("https", "/metrics", "prometheus:s3cret pass", &body), "200");
  EXPECT_TRUE(PromtoolAccepts(body + "\n")) << body;
  EXPECT_NE(body.find("korb_build_info{version="), std::string::npos);
  // The second scrape passes from the remembered check; the other user too.
  EXPECT_EQ(Curl("https", "/healthz", "prometheus:s3cret pass"), "200");
  EXPECT_EQ(Curl("https", "/healthz", "other:other"), "200");
  EXPECT_EQ(Curl("https", "/metrics", "prometheus:wrong", &body), "401");
  EXPECT_EQ(body.find("korb_"), std::string::npos);
  EXPECT_EQ(Curl("https", "/metrics", "nobody:s3cret pass"), "401");
  EXPECT_EQ(Curl("https", "/metrics", ""), "401");
  EXPECT_EQ(Curl("https", "/healthz", ""), "401");
  EXPECT_NE(Curl("http", "/metrics", "prometheus:s3cret pass"), "200");
}

TEST_F(SecureEndpointTest, UnusableConfigurationsKeepTheEndpointClosed) {
  const std::string hash = Bcrypt("pw", "$2b$");
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"tls_server_config:\n  cert_file: cert.pem\n", "needs both cert_file and key_file"},
      {"tls_server_config:\n  cert_file: cert.pem\n  key_file: missing.pem\n",
       "missing.pem cannot be read"},
      {"tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n  client_ca: x\n",
       "unknown keys in tls_server_config: client_ca"},
      {"basic_auth_user:\n  a: b\n", "unknown keys: basic_auth_user"},
      {"basic_auth_users:\n  a: plain\n", "user a: not a bcrypt hash"},
      {"basic_auth_users:\n  a: $1$abc$def\n", "user a: not a bcrypt hash"},
      {"tls_server_config: [1, 2\n", "web.yml"},
  };
  for (const Case& c : cases) {
    metrics::EndpointSecurity security;
    std::string error;
    EXPECT_FALSE(metrics::LoadWebConfig(WriteConfig("web.yml", c.text), &security, &error))
        << c.text;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
  }
  metrics::EndpointSecurity security;
  std::string error;
  EXPECT_TRUE(metrics::LoadWebConfig(
      WriteConfig("auth-only.yml", "basic_auth_users:\n  a: " + hash + "\n"), &security, &error))
      << error;
  EXPECT_FALSE(security.Tls());
  EXPECT_EQ(security.users.size(), 1u);

  // A key that is not a key: the TLS library refuses it at start.
  const std::string bad_key = WriteConfig(
      "bad-key.yml", "tls_server_config:\n  cert_file: cert.pem\n  key_file: cert.pem\n");
  StartWith("korb-metrics-web-config=" + bad_key + "\n");
  EXPECT_EQ(korbtest::CountInLog("Metrics endpoint not started: cannot start the HTTP server on "
                                 "127.0.0.1 port " +
                                 std::to_string(metrics_port_)),
            1)
      << korbtest::DaemonLog();
  EXPECT_EQ(korbtest::CountInLog("Metrics endpoint listening"), 0);
  EXPECT_EQ(Curl("https", "/metrics", ""), "000");
}

// A client address that failed gets no other check for a second, so
// guessing cannot keep the endpoint's thread hashing; a pair that passed
// before still passes, and other addresses are not held back.
TEST(BasicAuthTest, PauseAfterAFailureAndRememberedPasses) {
  const metrics::BasicAuth auth(
      {{"p", Bcrypt("right", "$2y$")}, {"r", Bcrypt("r-pw", "$2b$")}});
  EXPECT_FALSE(auth.Verify("p", "wrong", "10.0.0.1"));
  EXPECT_FALSE(auth.Verify("p", "right", "10.0.0.1"));  // refused unhashed
  EXPECT_TRUE(auth.Verify("p", "right", "10.0.0.2"));
  EXPECT_TRUE(auth.Verify("p", "right", "10.0.0.1"));  // remembered pass
  EXPECT_FALSE(auth.Verify("q", "right", "10.0.0.3"));
  EXPECT_FALSE(auth.Verify("p", "wrong", "10.0.0.4"));
  EXPECT_FALSE(auth.Verify("r", "r-pw", "10.0.0.4"));
  // The pause ends.
  EXPECT_TRUE(korbtest::WaitFor([&] { return auth.Verify("r", "r-pw", "10.0.0.4"); },
                                std::chrono::seconds(5)));
}

TEST_F(SecureEndpointTest, OpenToOtherHostsWithoutConfigurationIsAWarning) {
  StartWith("korb-metrics-address=0.0.0.0\n");
  EXPECT_EQ(korbtest::CountInLog(
                "Metrics endpoint on 0.0.0.0 is reachable from other hosts without TLS or "
                "authentication; korb-metrics-web-config names a web configuration file that "
                "adds them"),
            1)
      << korbtest::DaemonLog();
  EXPECT_EQ(HttpGet(metrics_port_, "/healthz").status, 200);
}

}  // namespace
}  // namespace metricstest
