// The harness itself: other test binaries rely on every test starting from
// an empty orb and a fresh install folder.
#include "DaemonProcess.h"
#include "TestDatabase.h"

namespace {

using HarnessTest = korbtest::DbTest;

const char kTable[] =
    "CREATE TABLE IF NOT EXISTS harness_probe (ID int AUTO_INCREMENT PRIMARY KEY, Name text)";

// Two tests in a row: the first leaves rows, a used AUTO_INCREMENT and a
// customer database behind; the second must see none of it.
TEST_F(HarnessTest, A_LeavesStateBehind) {
  Exec(kTable);
  Exec("INSERT INTO harness_probe (Name) VALUES ('a'), ('b'), ('c')");
  EXPECT_EQ(3, Count("select count(*) from harness_probe"));
  EXPECT_EQ(2, Count("select * from harness_probe where ID > 1"));
  CreateCustomerDatabase("cust_left", "cust_left");
  EXPECT_EQ("cust_left", Scalar("SELECT DATABASE()", "cust_left"));
}

TEST_F(HarnessTest, B_StartsClean) {
  Exec(kTable);
  EXPECT_EQ(0, Count("select count(*) from harness_probe"));
  Exec("INSERT INTO harness_probe (Name) VALUES ('x')");
  EXPECT_EQ("1", Scalar("select ID from harness_probe"));
  EXPECT_EQ(0, Count("SELECT 1 FROM information_schema.schemata WHERE schema_name = 'cust_left'"));
  EXPECT_EQ("NULL", Scalar("select NULL"));
  EXPECT_EQ("", Scalar("select 1 from harness_probe where ID = 99"));
  EXPECT_EQ("1", Scalar("SELECT @@lower_case_table_names"));
}

TEST_F(HarnessTest, UdpListenerDecodesFieldsAndDrains) {
  korbtest::UdpListener listener;
  auto send = [&](std::vector<std::string> values) {
    std::string datagram(64, '\0');
    for (size_t i = 0; i < values.size(); ++i) datagram.replace(16 * i, values[i].size(), values[i]);
    korbtest::SendDatagram(listener.Port(), datagram);
  };
  send({"13", "0", "7", "-1"});
  std::vector<std::string> fields;
  ASSERT_TRUE(listener.Receive(&fields, std::chrono::seconds(5)));
  EXPECT_EQ((std::vector<std::string>{"13", "0", "7", "-1"}), fields);
  send({"1", "2", "3", "4"});
  send({"5", "6", "7", "8"});
  EXPECT_EQ(2u, listener.Drain(std::chrono::milliseconds(200)).size());
  EXPECT_FALSE(listener.Receive(&fields, std::chrono::milliseconds(20)));
}

}  // namespace
