#include "configurator/rules/configurator_rules.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "configurator/rules/list_rows.h"
#include "shared/block_protocol.h"
#include "shared/rbd_source.h"

namespace quensaria::configurator {
namespace {

uint32_t Ip(const char* text) { return *ParseAddress(text); }

TEST(ConfiguratorRulesTest, SizesMultiplyIn64BitsAndShowInTheLargestUnitExceeded) {
  EXPECT_EQ(SizeInBytes(5000, SizeUnit::kM), 5242880000);
  EXPECT_EQ(SizeInBytes(3, SizeUnit::kG), int64_t{3} << 30);
  EXPECT_EQ(SizeInBytes(7, SizeUnit::kK), 7168);
  EXPECT_FALSE(SizeInBytes(uint64_t{1} << 34, SizeUnit::kG).has_value());  // beyond int64

  const auto shown = [](uint64_t bytes) {
    const std::optional<ShownSize> s = ShowSize(bytes);
    return s ? std::to_string(s->value) + SizeUnitText(s->unit) : std::string("unchanged");
  };
  EXPECT_EQ(shown(uint64_t{1} << 30), "1024M");  // exactly 1 GiB is not above it
  EXPECT_EQ(shown((uint64_t{1} << 30) + 1), "1G");
  EXPECT_EQ(shown(uint64_t{5} << 30), "5G");
  EXPECT_EQ(shown(1048576), "1024K");
  EXPECT_EQ(shown(1048577), "1M");
  EXPECT_EQ(shown(1025), "1K");
  EXPECT_EQ(shown(1024), "unchanged");
}

TEST(ConfiguratorRulesTest, PasswordsComeFromTheFieldOrTheStoredDefault) {
  const Sha1Digest stored = PasswordDigest("stored");
  EXPECT_EQ(ChooseLoginDigest(false, kPlaceholderPassword, stored), stored);
  EXPECT_EQ(ChooseManageDigest(false, kPlaceholderPassword, stored), stored);
  EXPECT_EQ(ChooseLoginDigest(true, "typed", stored), PasswordDigest("typed"));
  EXPECT_EQ(ChooseManageDigest(true, "typed", stored), PasswordDigest("typed"));
  // The placeholder, untouched or typed again, is no password: the empty
  // log-on password, and no management password at all.
  EXPECT_EQ(ChooseLoginDigest(false, kPlaceholderPassword, std::nullopt), PasswordDigest(""));
  EXPECT_EQ(ChooseLoginDigest(true, kPlaceholderPassword, std::nullopt), PasswordDigest(""));
  EXPECT_EQ(ChooseManageDigest(false, kPlaceholderPassword, std::nullopt), kNoManagePassword);
  EXPECT_EQ(ChooseManageDigest(true, kPlaceholderPassword, stored), kNoManagePassword);
  EXPECT_EQ(ChooseLoginDigest(true, "", stored), PasswordDigest(""));  // emptied: empty digest
  EXPECT_EQ(ChooseManageDigest(true, "", stored), kNoManagePassword);  // emptied: not set
  EXPECT_EQ(kNoManagePassword, Sha1Digest{});
}

TEST(ConfiguratorRulesTest, BuildsTheServerRecordFromZerosAndRefusesBadForms) {
  ServerForm form;
  form.source = "/srv/images/disk.img";
  form.address = Ip("10.1.2.3");
  form.port = 61000;
  form.size = 5000;
  form.unit = SizeUnit::kM;
  form.cache = 64;
  BuiltServer built = BuildServerConfig(form, std::nullopt, PasswordDigest("manager"));
  ASSERT_EQ(built.message, "");
  const ServerConfig& c = built.config;
  EXPECT_STREQ(c.Source, "/srv/images/disk.img");
  EXPECT_EQ(c.IpAddress, Ip("10.1.2.3"));
  EXPECT_EQ(c.Port, 61000);
  EXPECT_EQ(c.SizeBytes, 5242880000);
  EXPECT_EQ(c.Cache, 64);
  EXPECT_EQ(std::memcmp(c.Password, PasswordDigest("").data(), 20), 0);
  EXPECT_EQ(std::memcmp(c.ManagePassword, PasswordDigest("manager").data(), 20), 0);
  EXPECT_EQ(c.Started, 0);
  EXPECT_EQ(c.AuthMode, 0);
  EXPECT_EQ(c.reserved, 0u);

  ServerForm mismatch = form;
  mismatch.login = "secret";
  mismatch.login_edited = true;
  mismatch.login_confirm = "Secret";
  EXPECT_EQ(BuildServerConfig(mismatch, std::nullopt, std::nullopt).message, kPasswordMismatch);
  ServerForm manage_mismatch = form;
  manage_mismatch.manage_confirm = "other";
  EXPECT_EQ(BuildServerConfig(manage_mismatch, std::nullopt, std::nullopt).message,
            kPasswordMismatch);

  ServerForm longest = form;
  longest.source = "/" + std::string(258, 'a');
  EXPECT_EQ(BuildServerConfig(longest, std::nullopt, std::nullopt).message, "");
  longest.source += "a";  // 260 bytes leave no room for the terminating zero
  EXPECT_EQ(BuildServerConfig(longest, std::nullopt, std::nullopt).message, kSourceTooLong);
  ServerForm empty = form;
  empty.source.clear();
  EXPECT_EQ(BuildServerConfig(empty, std::nullopt, std::nullopt).message, kSourceEmpty);

  // An RBD image goes in the file field; one that is not of the form is
  // refused with the form, not sent to fail at start.
  ServerForm rbd = form;
  rbd.source = "rbd:rbd/golden@monday";
  BuiltServer built_rbd = BuildServerConfig(rbd, std::nullopt, std::nullopt);
  EXPECT_EQ(built_rbd.message, "");
  EXPECT_STREQ(built_rbd.config.Source, "rbd:rbd/golden@monday");
  rbd.source = "rbd:golden";
  EXPECT_NE(BuildServerConfig(rbd, std::nullopt, std::nullopt).message.find(kRbdSourceForm),
            std::string::npos);
}

TEST(ConfiguratorRulesTest, ARelativeSourceIsJoinedToTheWorkingDirectory) {
  EXPECT_EQ(WholeSourcePath("disk.img", "/srv/images"), "/srv/images/disk.img");
  EXPECT_EQ(WholeSourcePath("sub/disk.img", "/"), "/sub/disk.img");
  EXPECT_EQ(WholeSourcePath("/dev/sdb", "/srv"), "/dev/sdb");
  EXPECT_EQ(WholeSourcePath("rbd:rbd/golden@base", "/srv"), "rbd:rbd/golden@base");
  EXPECT_EQ(WholeSourcePath("\\\\.\\PhysicalDrive1", "/srv"), "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(WholeSourcePath("", "/srv"), "");
  EXPECT_EQ(WholeSourcePath("disk.img", ""), "disk.img");
}

TEST(ConfiguratorRulesTest, ClientsAndRangesAndAccess) {
  const ClientEntry any = AnyAddressClient();
  EXPECT_EQ(any.address, 0u);
  EXPECT_EQ(any.access, ACCESS_VIRTUAL_WRITE);
  EXPECT_EQ(any.state, kClientStatic);
  EXPECT_EQ(any.nameState, kNameUnknown);
  EXPECT_EQ(any.link, 0u);
  EXPECT_FALSE(AccessChangeAllowed(any, ACCESS_FULL));
  EXPECT_TRUE(AccessChangeAllowed(any, ACCESS_REFUSED));
  EXPECT_TRUE(AccessChangeAllowed(AddressClient(Ip("10.0.0.9"), ACCESS_REFUSED), ACCESS_FULL));

  // Both ends are in the range, as the dialog's two fields say.
  const std::vector<uint32_t> range = RangeAddresses(Ip("10.0.0.1"), Ip("10.0.0.4"));
  ASSERT_EQ(range.size(), 4u);
  EXPECT_EQ(AddressText(range[0]), "10.0.0.1");
  EXPECT_EQ(AddressText(range[3]), "10.0.0.4");
  const std::vector<uint32_t> two = RangeAddresses(Ip("10.0.0.9"), Ip("10.0.0.10"));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(AddressText(two[1]), "10.0.0.10");
  // Compared as host-order numbers: across an octet boundary too.
  EXPECT_EQ(RangeAddresses(Ip("10.0.0.255"), Ip("10.0.1.1")).size(), 3u);
  EXPECT_EQ(RangeAddresses(Ip("10.0.0.4"), Ip("10.0.0.4")).size(), 1u);
  EXPECT_TRUE(RangeAddresses(Ip("10.0.1.0"), Ip("10.0.0.9")).empty());
  // The last address of all ends the walk instead of wrapping to 0.0.0.0.
  EXPECT_EQ(RangeAddresses(Ip("255.255.255.254"), Ip("255.255.255.255")).size(), 2u);
  EXPECT_EQ(RangeRefusal(Ip("10.0.0.1"), Ip("10.0.0.255")), "");
  EXPECT_EQ(RangeRefusal(Ip("10.0.0.0"), Ip("10.0.3.255")), "");  // 1024
  EXPECT_EQ(RangeRefusal(Ip("10.0.0.0"), Ip("10.0.4.0")),
            "The range holds 1025 addresses; at most 1024 can be added at once.");
  EXPECT_EQ(RangeRefusal(Ip("0.0.0.0"), Ip("255.255.255.255")),
            "The range holds 4294967296 addresses; at most 1024 can be added at once.");
  EXPECT_EQ(RangeRefusal(Ip("10.0.0.9"), Ip("10.0.0.8")),
            "The range is empty: its end address 10.0.0.8 comes before its start address "
            "10.0.0.9.");

  EXPECT_EQ(AddressText(FollowingEndAddress(ClientKind::kRange, Ip("172.16.5.7"))), "172.16.5.255");
  EXPECT_EQ(AddressText(FollowingEndAddress(ClientKind::kAddress, Ip("172.16.5.7"))), "172.16.5.7");
  EXPECT_EQ(FollowingEndAddress(ClientKind::kAny, Ip("172.16.5.7")), 0u);
  EXPECT_FALSE(ParseAddress("10.0.0").has_value());
  for (const char* wrong :
       {"999.1.1.1", "256.0.0.1", "1.2.3.4.5", "1..2.3", "", " 1.2.3.4", "1.2.3.-4", "0x1.2.3.4"}) {
    EXPECT_FALSE(ParseAddress(wrong).has_value()) << wrong;
  }
  EXPECT_EQ(AddressText(*ParseAddress("255.255.255.255")), "255.255.255.255");
  EXPECT_EQ(AddressRefusal("999.1.1.1"),
            "\"999.1.1.1\" is not an IP address: enter four numbers from 0 to 255 separated by "
            "dots, such as 192.168.0.1.");
}

TEST(ListRowsTest, ServerRowTexts) {
  ServerConfig c{};
  std::strcpy(c.Source, "\\\\.\\Physicaldrive12");
  c.IpAddress = Ip("192.168.1.10");
  c.Port = 60000;
  c.SizeBytes = 1073741824;
  c.Cache = 100;
  c.Started = 1;
  ServerRow row = MakeServerRow(7, true, c);
  EXPECT_EQ(row.texts[0], "HardDisk 1");  // one digit only
  EXPECT_EQ(row.texts[1], "192.168.1.10");
  EXPECT_EQ(row.texts[2], "60000");
  EXPECT_EQ(row.texts[3], "1024 M");
  EXPECT_EQ(row.texts[4], "100 M");
  EXPECT_EQ(row.texts[5], "已启动");
  EXPECT_TRUE(row.started());

  std::strcpy(c.Source, "\\\\.\\PHYSICALDRIVE3");
  EXPECT_EQ(DataLocationText(c), "HardDisk 3");
  std::strcpy(c.Source, "\\\\.\\D:");
  EXPECT_EQ(DataLocationText(c), "Disk Partition(D:)");
  std::strcpy(c.Source, "/dev/nvme0n1p2");
  EXPECT_EQ(DataLocationText(c), "/dev/nvme0n1p2");
  EXPECT_EQ(MebibytesText(1048575), "0 M");
  c.Started = 0;
  EXPECT_EQ(MakeServerRow(7, true, c).texts[5], "已停止");

  const ServerRow failed = MakeServerRow(8, false, c);  // texts of a zero record
  EXPECT_EQ(failed.texts[0], "");
  EXPECT_EQ(failed.texts[1], "0.0.0.0");
  EXPECT_EQ(failed.texts[3], "0 M");
  EXPECT_EQ(failed.texts[5], "失败");
}

TEST(ListRowsTest, ClientRowTexts) {
  ClientEntry e = AddressClient(0, ACCESS_VIRTUAL_WRITE);
  e.nameState = kNameKnown;
  std::strcpy(e.hostName, "ignored");
  ClientRow row = MakeClientRow(3, e);
  EXPECT_EQ(row.texts[0], "0.0.0.0");
  EXPECT_EQ(row.texts[1], "任何地址");  // whatever the name state
  EXPECT_EQ(row.texts[2], "虚拟写保护");
  EXPECT_EQ(row.texts[3], "静态");
  EXPECT_TRUE(row.is_static());

  e.address = Ip("10.0.0.2");
  EXPECT_EQ(ComputerNameText(e), "ignored");
  e.nameState = kNameUnknown;
  EXPECT_EQ(ComputerNameText(e), "正在解析计算机名...");
  e.nameState = kNameFailed;
  EXPECT_EQ(ComputerNameText(e), "无法解析计算机名");
  EXPECT_EQ(AccessText(ACCESS_FULL), "完全控制");
  EXPECT_EQ(AccessText(ACCESS_REFUSED), "拒绝访问");
  EXPECT_EQ(AccessText(9), "拒绝访问");
  EXPECT_EQ(ClientStateText(kClientLoggedOn), "在线");
  EXPECT_EQ(ClientStateText(kClientRefused), "拒绝");
}

}  // namespace
}  // namespace quensaria::configurator
