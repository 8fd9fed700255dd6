// The harness itself: other test binaries rely on every test starting from
// an empty orb and a fresh install folder.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "TestDatabase.h"

namespace {

using korbtest::DbTest;

class HarnessTest : public DbTest {};

// Two tests in a row: the first leaves rows, a used AUTO_INCREMENT and a
// customer database behind; the second must see none of it.
TEST_F(HarnessTest, A_LeavesStateBehind) {
  Exec("CREATE TABLE IF NOT EXISTS harness_probe (ID int AUTO_INCREMENT PRIMARY KEY, "
       "Name varchar(20))");
  Exec("INSERT INTO harness_probe (Name) VALUES ('a'), ('b'), ('c')");
  EXPECT_EQ(3, Count("select count(*) from harness_probe"));
  EXPECT_EQ(2, Count("select * from harness_probe where ID > 1"));
  CreateCustomerDatabase("cust_left", "cust_left");
  EXPECT_EQ("cust_left", Scalar("SELECT DATABASE()", "cust_left"));
}

TEST_F(HarnessTest, B_StartsClean) {
  Exec("CREATE TABLE IF NOT EXISTS harness_probe (ID int AUTO_INCREMENT PRIMARY KEY, "
       "Name varchar(20))");
  EXPECT_EQ(0, Count("select count(*) from harness_probe"));
  Exec("INSERT INTO harness_probe (Name) VALUES ('x')");
  EXPECT_EQ("1", Scalar("select ID from harness_probe"));
  EXPECT_EQ(0, Count("SELECT 1 FROM information_schema.schemata WHERE schema_name = 'cust_left'"));
  EXPECT_EQ("NULL", Scalar("select NULL"));
  EXPECT_EQ("", Scalar("select 1 from harness_probe where ID = 99"));
}

TEST_F(HarnessTest, EnvironmentPointsAtFreshInstallFolder) {
  EXPECT_EQ(InstallDir(), std::getenv("KORB_INSTALL_DIR"));
  EXPECT_EQ(InstallDir(), std::getenv("KORB_LOCK_DIR"));
  EXPECT_EQ(OptionFile(), std::getenv("KORB_DB_CONFIG"));
  EXPECT_STREQ("orb", std::getenv("KORB_DSN"));
  EXPECT_TRUE(std::filesystem::is_directory(InstallDir() + "/ConsoleManagement/log"));

  korbtest::Identity id;
  id.site_id = 42;
  SetMainIdentity(id);
  AddUnreachableDsn("nowhere");
  std::ifstream in(OptionFile());
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, text.find("[orb]"));
  EXPECT_NE(std::string::npos, text.find("korb-site-id=42"));
  EXPECT_NE(std::string::npos, text.find("[nowhere]"));
}

TEST_F(HarnessTest, ServerRunsWithTheSettingsTheDaemonNeeds) {
  EXPECT_EQ("1", Scalar("SELECT @@lower_case_table_names"));
  EXPECT_EQ("orb", Scalar("SELECT DATABASE()"));
}

TEST_F(HarnessTest, UdpListenerDecodesFieldsAndDrains) {
  korbtest::UdpListener listener;
  ASSERT_GT(listener.Port(), 0);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(listener.Port()));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto send_fields = [&](const char* a, const char* b, const char* c, const char* d) {
    char datagram[64] = {};
    const char* fields[] = {a, b, c, d};
    for (int i = 0; i < 4; ++i) std::snprintf(datagram + 16 * i, 16, "%s", fields[i]);
    sendto(fd, datagram, sizeof(datagram), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  };
  send_fields("13", "0", "7", "-1");
  std::vector<std::string> fields;
  ASSERT_TRUE(listener.Receive(&fields, std::chrono::seconds(5)));
  EXPECT_EQ((std::vector<std::string>{"13", "0", "7", "-1"}), fields);

  send_fields("1", "2", "3", "4");
  send_fields("5", "6", "7", "8");
  EXPECT_EQ(2u, listener.Drain(std::chrono::milliseconds(200)).size());
  EXPECT_FALSE(listener.Receive(&fields, std::chrono::milliseconds(20)));
  close(fd);
}

}  // namespace
