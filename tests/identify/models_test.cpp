// SPDX-License-Identifier: Apache-2.0
// The model tables against the product list, and the identification rules
// that rest on them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "identify/identify.h"
#include "job/entry-points.h"

namespace {

// A fixed-width field is its text followed by NUL bytes only.
bool NulPadded(const char* field, size_t width) {
  size_t n = strnlen(field, width);
  if (n == 0 || n == width) return false;
  for (size_t i = n; i < width; ++i)
    if (field[i]) return false;
  return true;
}

std::string Row(const char (&row)[3][kModelField]) { return std::string(row[0]) + row[1] + row[2]; }

}  // namespace

TEST(ModelTables, MatchTheProductList) {
  const std::vector<mtest::ProductModel>& models = mtest::ProductModels();
  ASSERT_EQ(models.size(), 65u);

  std::set<std::string> nick_table, id_table, nick_list, id_list, heron_list, finch_list;
  for (const auto& e : support_printerinfo) {
    EXPECT_TRUE(NulPadded(e, kModelField));
    nick_table.insert(e);
  }
  for (const auto& row : SupportDeviceID) {
    for (const auto& f : row) EXPECT_TRUE(NulPadded(f, kModelField));
    id_table.insert(Row(row));
  }
  int other_makers = 0;
  for (const mtest::ProductModel& m : models) {
    nick_list.insert(m.name + " Series PS");
    id_list.insert("MFG:" + m.maker + ";MDL:" + m.name + " series;CLS:PRINTER;");
    if (m.family == "Heron") heron_list.insert(m.name);
    if (m.family == "finch") finch_list.insert(m.name);
    if (m.maker != "Mirelo") ++other_makers;
  }
  EXPECT_EQ(nick_table, nick_list);
  EXPECT_EQ(id_table, id_list);
  EXPECT_EQ(other_makers, 2);

  std::set<std::string> finch_table;
  for (const auto& e : finch_printerinfo) {
    EXPECT_TRUE(NulPadded(e, kModelField));
    finch_table.insert(e);
  }
  EXPECT_EQ(finch_table, finch_list);
  EXPECT_EQ(finch_table.size(), 18u);
}

TEST(ModelTables, HeronTablesAgreeAndNoModelIsBothFamilies) {
  ASSERT_EQ(Heron_printerinfo[kHeronCount], nullptr);
  for (int i = 0; i < kHeronCount; ++i) {
    // Same model, same order in both Heron tables.
    std::string mdl = Heron_1284info[i][1];
    std::string model = mdl.substr(4, mdl.size() - 4 - strlen(" series;"));
    EXPECT_EQ(std::string(Heron_printerinfo[i]), model + " Series PS");
    // Each Heron row is the supported row of the same model.
    int same = 0;
    for (const auto& row : SupportDeviceID)
      if (Row(row) == Row(Heron_1284info[i])) ++same;
    EXPECT_EQ(same, 1) << model;
    for (const auto& finch : finch_printerinfo)
      EXPECT_EQ(strcasestr(Heron_printerinfo[i], finch), nullptr) << finch << " in " << model;
  }
  for (const auto& finch : finch_printerinfo) {
    int rows = 0;
    for (const auto& row : SupportDeviceID)
      if (strstr(row[1], finch)) ++rows;
    EXPECT_GE(rows, 1) << finch << " is not a supported model";
  }
}

class Identify : public ::testing::Test {
 protected:
  void UsePpd(const std::string& path) { setenv("PPD", path.c_str(), 1); }
  void TearDown() override { unsetenv("PPD"); }
};

TEST_F(Identify, DeviceIdRules) {
  UsePpd(mtest::FixturePpd("unsupported"));
  bool finch = false;
  const std::string plain = mtest::DeviceIdFor("Mirelo P2200DN");
  EXPECT_TRUE(isSupportPrinter(plain.c_str(), true, &finch));
  EXPECT_FALSE(finch);
  // Items in another order, with more items between them.
  EXPECT_TRUE(isSupportPrinter("CLS:PRINTER;DES:laser;MDL:Mirelo P2200DN series;CMD:PS;MFG:Mirelo;SN:1;",
                               true, &finch));
  // Case-sensitive, and the short keys only.
  EXPECT_FALSE(isSupportPrinter("MFG:Mirelo;MDL:Mirelo P2200DN Series;CLS:PRINTER;", true, &finch));
  EXPECT_FALSE(
      isSupportPrinter("MANUFACTURER:Mirelo;MODEL:Mirelo P2200DN series;CLS:PRINTER;", true, &finch));
  // The second maker's rows.
  EXPECT_TRUE(isSupportPrinter(mtest::DeviceIdFor("Corvane LX350", "Corvane").c_str(), true, &finch));
  EXPECT_FALSE(isSupportPrinter(mtest::DeviceIdFor("Corvane LX350").c_str(), true, &finch));
  EXPECT_FALSE(finch);
  // A finch model by device ID.
  EXPECT_TRUE(isSupportPrinter(mtest::DeviceIdFor("Mirelo F5100DW").c_str(), true, &finch));
  EXPECT_TRUE(finch);
}

TEST_F(Identify, NicknameRulesAndTheFinchFlag) {
  bool finch = false;
  UsePpd(mtest::MakePpd("mirelo p2200dn series ps"));
  EXPECT_TRUE(isSupportPrinter("", false, &finch));  // letter case ignored
  UsePpd(mtest::MakePpd("Mirelo P2200DN Series PS "));
  EXPECT_FALSE(isSupportPrinter("", false, &finch));  // nothing else is
  // A received ID shuts the nickname out.
  UsePpd(mtest::FixturePpd("plain"));
  EXPECT_FALSE(isSupportPrinter(mtest::DeviceIdFor("Mirelo X1000").c_str(), true, &finch));
  EXPECT_FALSE(finch);
  UsePpd(mtest::FixturePpd("finch"));
  EXPECT_TRUE(isSupportPrinter("", false, &finch));
  EXPECT_TRUE(finch);
  unsetenv("PPD");
  finch = false;
  EXPECT_FALSE(isSupportPrinter("", false, &finch));
}

TEST_F(Identify, HeronTakesExactlyOnePath) {
  UsePpd(mtest::FixturePpd("heron"));
  EXPECT_TRUE(isHeronPrinter("", false));
  EXPECT_TRUE(isHeronPrinter(mtest::DeviceIdFor("Mirelo H9600DN").c_str(), true));
  // A received non-Heron ID is not Heron, whatever the nickname says.
  EXPECT_FALSE(isHeronPrinter(mtest::DeviceIdFor("Mirelo P2200DN").c_str(), true));
  UsePpd(mtest::FixturePpd("finch"));
  EXPECT_FALSE(isHeronPrinter("", false));
  unsetenv("PPD");
  EXPECT_FALSE(isHeronPrinter("", false));
}

// The device-ID query's fixed entry point, on a side channel that answers
// with an end of file at once (as one a cancel has cut): no device ID.
TEST(ModelTables, QueryOnASideChannelThatGivesNoAnswer) {
  int saved = dup(4);  // -1 when the test runs without one
  int null_fd = open("/dev/null", O_RDWR);
  ASSERT_GE(null_fd, 0);
  dup2(null_fd, 4);
  close(null_fd);
  char buf[kDeviceIdSize] = "stale";
  int len = kDeviceIdSize - 1;
  EXPECT_FALSE(query1284info(buf, &len));
  EXPECT_STREQ(buf, "");
  if (saved >= 0) {
    dup2(saved, 4);
    close(saved);
  } else {
    close(4);
  }
}
