#include "model/setting_fields.h"

#include <gtest/gtest.h>

namespace trovanex {
namespace {

TEST(SettingFields, WholeNumbersAndTheirFallback) {
  const struct {
    const char* text;
    std::int32_t read;
  } rows[] = {
      {"81", 81},
      {" 42 ", 42},
      {"-5", -5},
      {"0x51", 81},
      {"$51", 81},
      {"", 7},
      {"   ", 7},
      {"abc", 7},
      {"12abc", 7},
      {"1.5", 7},
      {"2147483647", INT32_MAX},
      {"2147483648", 7},
      {"-2147483648", INT32_MIN},
  };
  for (const auto& row : rows) EXPECT_EQ(ParseWholeNumber(row.text, 7), row.read) << row.text;
}

TEST(SettingFields, BufferSizeShownInKiBRoundedTowardZero) {
  EXPECT_EQ(BufferSizeInKiB(32767), 31);
  EXPECT_EQ(BufferSizeInKiB(32768), 32);
  EXPECT_EQ(BufferSizeInKiB(1023), 0);
  EXPECT_EQ(BufferSizeInKiB(-1500), -1);
  EXPECT_EQ(BufferSizeInKiB(INT32_MAX), kMaxBufferSizeKiB);
}

TEST(SettingFields, BufferSizeTypedInKiB) {
  const struct {
    const char* name;
    const char* text;
    std::optional<std::int32_t> bytes;
  } rows[] = {
      {"the default shown", "31", 31744},
      {"a round size", "32", 32768},
      {"the smallest", "1", 1024},
      {"the largest that fits 32 bits", "2097151", 2147482624},
      {"one more overflows", "2097152", std::nullopt},
      {"far beyond", "4194304", std::nullopt},
      {"zero", "0", std::nullopt},
      {"negative", "-1", std::nullopt},
      {"empty", "", std::nullopt},
      {"letters", "abc", std::nullopt},
      {"hexadecimal that wraps negative", "0xFFFFFFFF", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(BufferSizeFromKiB(row.text), row.bytes) << row.name;
}

class SettingFieldsOnConfig : public ::testing::Test {
 protected:
  SettingFieldsOnConfig() {
    config_.ListenPort = 8081;
    config_.UseProxy = true;
    config_.ProxyAddress = "proxy.example";
    config_.ProxyPort = 3128;
    config_.ConnectionTimeout = 1234;
    config_.ReadTimeout = 5678;
    config_.BufferSize = kDefaultBufferSize;
    config_.AllowOuterConnection = true;
    config_.TrayDoubleClickMode = 7;
    config_.Https.Capture = true;
    config_.Https.Hosts = HttpsHosts::Parse("*.example.com; a.test");
    config_.Https.ExtraCaFile = "/srv/ca.pem";
  }
  TTxConfig config_;
};

TEST_F(SettingFieldsOnConfig, UnchangedFieldsStoreTheDefaultBufferRoundedDown) {
  const SettingFields fields = SettingFields::FromConfig(config_);
  EXPECT_EQ(fields.buffer_size_kib, "31");
  EXPECT_EQ(fields.connect_port, "8081");
  EXPECT_EQ(fields.ApplyTo(config_), std::nullopt);
  EXPECT_EQ(config_.BufferSize, 31744);
  EXPECT_EQ(config_.ListenPort, 8081);
  EXPECT_TRUE(config_.UseProxy);
  EXPECT_EQ(config_.ProxyAddress, "proxy.example");
  EXPECT_EQ(config_.ProxyPort, 3128);
  EXPECT_EQ(config_.ConnectionTimeout, 1234);
  EXPECT_EQ(config_.ReadTimeout, 5678);
  EXPECT_TRUE(config_.AllowOuterConnection);
  EXPECT_EQ(config_.TrayDoubleClickMode, 7);  // no control of its own
  EXPECT_EQ(fields.https_hosts, "*.example.com; a.test");
  EXPECT_TRUE(config_.Https.Capture);
  EXPECT_EQ(config_.Https.Hosts.Text(), "*.example.com; a.test");
  EXPECT_EQ(config_.Https.ExtraCaFile, "/srv/ca.pem");
}

TEST_F(SettingFieldsOnConfig, TextsThatAreNoNumberTakeEachFieldsFallback) {
  SettingFields fields = SettingFields::FromConfig(config_);
  fields.connect_port = "abc";
  fields.connect_timeout = "abc";
  fields.read_timeout = "";
  fields.proxy_port = " ";
  fields.proxy_address = " kept as typed ";
  fields.use_proxy = false;
  fields.allow_outer_connection = false;
  fields.https_capture = false;
  fields.https_hosts = " ; b.test ;";
  fields.extra_ca_file = "";
  EXPECT_EQ(fields.ApplyTo(config_), std::nullopt);
  EXPECT_EQ(config_.ListenPort, 81);
  EXPECT_EQ(config_.ConnectionTimeout, 5000);
  EXPECT_EQ(config_.ReadTimeout, 30000);
  EXPECT_EQ(config_.ProxyPort, 8080);
  EXPECT_EQ(config_.ProxyAddress, " kept as typed ");
  EXPECT_FALSE(config_.UseProxy);
  EXPECT_FALSE(config_.AllowOuterConnection);
  EXPECT_FALSE(config_.Https.Capture);
  EXPECT_TRUE(config_.Https.Hosts.Matches("b.test"));
  EXPECT_FALSE(config_.Https.Hosts.Matches("a.test"));
  EXPECT_EQ(config_.Https.ExtraCaFile, "");
}

TEST_F(SettingFieldsOnConfig, RefusedBufferSizeChangesNothing) {
  for (const char* buffer : {"", "0", "-4", "2097152"}) {
    SettingFields fields = SettingFields::FromConfig(config_);
    fields.buffer_size_kib = buffer;
    fields.connect_port = "9000";
    fields.use_proxy = false;
    const std::optional<std::string> refusal = fields.ApplyTo(config_);
    ASSERT_TRUE(refusal) << buffer;
    EXPECT_NE(refusal->find("2097151"), std::string::npos) << *refusal;
    EXPECT_EQ(config_.BufferSize, kDefaultBufferSize) << buffer;
    EXPECT_EQ(config_.ListenPort, 8081) << buffer;
    EXPECT_TRUE(config_.UseProxy) << buffer;
  }
}

TEST_F(SettingFieldsOnConfig, RefusedHostPatternChangesNothing) {
  const struct {
    const char* hosts;
    const char* named;  // the entries the refusal names
  } rows[] = {
      {"*", "「*」"},
      {"a.test;*.", "「*.」"},
      {"a*b; c d ;ok.test", "「a*b」「c d」"},
      {"example.com:443", "「example.com:443」"},
  };
  for (const auto& row : rows) {
    SettingFields fields = SettingFields::FromConfig(config_);
    fields.https_hosts = row.hosts;
    fields.https_capture = false;
    fields.connect_port = "9000";
    const std::optional<std::string> refusal = fields.ApplyTo(config_);
    ASSERT_TRUE(refusal) << row.hosts;
    EXPECT_NE(refusal->find(std::string(": ") + row.named + "\n"), std::string::npos) << *refusal;
    EXPECT_EQ(config_.Https.Hosts.Text(), "*.example.com; a.test") << row.hosts;
    EXPECT_TRUE(config_.Https.Capture) << row.hosts;
    EXPECT_EQ(config_.ListenPort, 8081) << row.hosts;
  }
}

}  // namespace
}  // namespace trovanex
