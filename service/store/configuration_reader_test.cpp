// What a load takes from values it cannot read as written: never more
// access than the file grants, and a note with the line of each.
#include "service/store/configuration_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "shared/block_protocol.h"

namespace quensaria::store {
namespace {

const std::string kDigest(40, 'a');

ConfigurationReading Read(const std::string& body) {
  std::optional<ConfigurationReading> reading =
      ReadConfiguration("<?xml version=\"1.0\"?>\n<Services>\n" + body + "</Services>\n");
  EXPECT_TRUE(reading.has_value());
  return reading.value_or(ConfigurationReading{});
}

// A server line with readable digests, then `clients`, one per line
// (the server is on line 3).
std::string Server(const std::string& clients) {
  return "<Server Port=\"1\" Password=\"" + kDigest + "\" ManagePassword=\"" + kDigest + "\">\n" +
         clients + "</Server>\n";
}

std::string Texts(const std::vector<ReadNote>& notes) {
  std::string all;
  for (const ReadNote& note : notes) {
    all += std::to_string(note.line) + (note.changed ? " changed: " : ": ") + note.text + "\n";
  }
  return all;
}

TEST(ConfigurationReaderTest, AccessThatIsNotALevelReadsAsRefused) {
  const ConfigurationReading reading =
      Read(Server("<Client IpAddress=\"1\" Access=\"0\"/>\n"
                  "<Client IpAddress=\"2\" Access=\"1\"/>\n"
                  "<Client IpAddress=\"3\" Access=\" 2 \"/>\n"
                  "<Client IpAddress=\"4\" Access=\"-1\"/>\n"
                  "<Client IpAddress=\"5\" Access=\"256\"/>\n"
                  "<Client IpAddress=\"6\" Access=\"3\"/>\n"
                  "<Client IpAddress=\"7\" Access=\"full\"/>\n"
                  "<Client IpAddress=\"8\" Access=\"\"/>\n"
                  "<Client IpAddress=\"9\"/>\n"));
  ASSERT_EQ(reading.servers.size(), 1u);
  const std::vector<ClientEntry>& clients = reading.servers[0].static_clients;
  ASSERT_EQ(clients.size(), 9u);
  const uint8_t expected[] = {ACCESS_FULL,    ACCESS_VIRTUAL_WRITE, ACCESS_REFUSED,
                              ACCESS_REFUSED, ACCESS_REFUSED,       ACCESS_REFUSED,
                              ACCESS_REFUSED, ACCESS_REFUSED,       ACCESS_REFUSED};
  for (size_t i = 0; i < clients.size(); ++i) {
    EXPECT_EQ(clients[i].address, i + 1);
    EXPECT_EQ(clients[i].access, expected[i]) << i;
  }
  EXPECT_EQ(Texts(reading.notes),
            "7 changed: Server 1 Client 4: Access \"-1\" not taken: read as 2 (refused)\n"
            "8 changed: Server 1 Client 5: Access \"256\" not taken: read as 2 (refused)\n"
            "9 changed: Server 1 Client 6: Access \"3\" not taken: read as 2 (refused)\n"
            "10 changed: Server 1 Client 7: Access \"full\" not taken: read as 2 (refused)\n"
            "11 changed: Server 1 Client 8: Access \"\" not taken: read as 2 (refused)\n"
            "12: Server 1 Client 9: Access missing: read as 2 (refused)\n");
}

TEST(ConfigurationReaderTest, OnlyClientElementsUnderAServerAreClients) {
  // Read as clients these would be "Any Address" entries at full access.
  const ConfigurationReading reading =
      Read(Server("<Client IpAddress=\"16820416\" Access=\"1\"/>\n"
                  "<Unknown/>\n"
                  "<client IpAddress=\"5\" Access=\"0\"><Client/></client>\n"
                  "text <!-- and a comment -->\n"
                  "<Client IpAddress=\"not an address\" Access=\"1\"/>\n"
                  "<Client Access=\"1\"/>\n"));
  ASSERT_EQ(reading.servers.size(), 1u);
  const std::vector<ClientEntry>& clients = reading.servers[0].static_clients;
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0].address, 16820416u);
  EXPECT_EQ(clients[0].access, ACCESS_VIRTUAL_WRITE);
  // Written without an address it stands for every address, as ever.
  EXPECT_EQ(clients[1].address, 0u);
  EXPECT_EQ(clients[1].access, ACCESS_VIRTUAL_WRITE);
  EXPECT_EQ(Texts(reading.notes),
            "5 changed: Server 1: element \"Unknown\" not taken: skipped\n"
            "6 changed: Server 1: element \"client\" not taken: skipped\n"
            "8 changed: Server 1 Client 2: IpAddress \"not an address\" not taken: client skipped\n"
            "9: Server 1 Client 3: IpAddress missing: read as 0 (Any Address)\n");
}

TEST(ConfigurationReaderTest, DigestsThatCannotBeReadAreNotedAndReadAsZeros) {
  const ConfigurationReading reading = Read(
      "<Server Password=\"short\"/>\n"
      "<Server Password=\"" +
      std::string(40, '0') + "\" ManagePassword=\"" + std::string(38, 'f') + "zz\"/>\n");
  ASSERT_EQ(reading.servers.size(), 2u);
  for (const StoredServer& server : reading.servers) {
    EXPECT_TRUE(std::all_of(std::begin(server.config.Password), std::end(server.config.Password),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(std::begin(server.config.ManagePassword),
                            std::end(server.config.ManagePassword),
                            [](uint8_t b) { return b == 0; }));
  }
  EXPECT_EQ(Texts(reading.notes),
            "3 changed: Server 1: Password of 5 characters, not 40 hexadecimal digits, not "
            "taken: no log-on matches it\n"
            "3: Server 1: ManagePassword missing: no log-on matches it\n"
            "4: Server 2: Password \"" +
                std::string(40, '0') +
                "\" (20 zero bytes) not taken: no log-on matches it\n"
                "4 changed: Server 2: ManagePassword of 40 characters, not 40 hexadecimal "
                "digits, not taken: no log-on matches it\n");
  EXPECT_EQ(Texts(reading.notes).find("ffff"), std::string::npos) << "a digest's digits shown";
  EXPECT_TRUE(reading.changed());
}

TEST(ConfigurationReaderTest, CutTextAndUnreadableNumbersAreNotedAsChanges) {
  const ConfigurationReading reading =
      Read("<Server Port=\"70000\" Source=\"" + std::string(300, 's') +
           "\" Capability=\"x\" "
           "Started=\"1x\" Cache=\"\" AuthMode=\"2147483648\" IpAddress=\"1.2.3.4\" "
           "Password=\"" +
           kDigest + "\" ManagePassword=\"" + kDigest +
           "\">\n"
           "<Client IpAddress=\"7\" Access=\"1\" HasName=\"yes\" HostName=\"h\"/>\n"
           "<Client IpAddress=\"8\" Access=\"1\" HasName=\"1\" HostName=\"" +
           std::string(130, 'h') +
           "\"/>\n"
           "</Server>\n");
  ASSERT_EQ(reading.servers.size(), 1u);
  const ServerConfig& config = reading.servers[0].config;
  EXPECT_EQ(config.Port, 0);
  EXPECT_EQ(std::string(config.Source), std::string(259, 's'));
  EXPECT_EQ(config.SizeBytes, 0);
  EXPECT_EQ(config.Started, 0);
  EXPECT_EQ(config.IpAddress, 0u);
  ASSERT_EQ(reading.servers[0].static_clients.size(), 2u);
  EXPECT_EQ(reading.servers[0].static_clients[0].nameState, 0);
  EXPECT_EQ(std::string(reading.servers[0].static_clients[1].hostName), std::string(127, 'h'));
  const std::string s64(64, 's'), h64(64, 'h');
  EXPECT_EQ(Texts(reading.notes),
            "3 changed: Server 1: IpAddress \"1.2.3.4\" not taken: read as 0\n"
            "3 changed: Server 1: Port \"70000\" not taken: read as 0\n"
            "3 changed: Server 1: Source \"" +
                s64 +
                "...\" not taken whole: cut to 259 bytes\n"
                "3 changed: Server 1: Capability \"x\" not taken: read as 0\n"
                "3 changed: Server 1: Started \"1x\" not taken: read as 0\n"
                "3 changed: Server 1: Cache \"\" not taken: read as 0\n"
                "3 changed: Server 1: AuthMode \"2147483648\" not taken: read as 0\n"
                "4 changed: Server 1 Client 1: HasName \"yes\" not taken: read as 0\n"
                "5 changed: Server 1 Client 2: HostName \"" +
                h64 + "...\" not taken whole: cut to 127 bytes\n");
}

TEST(ConfigurationReaderTest, AFileTheStoreWroteHasNothingToNote) {
  const ConfigurationReading reading = Read(
      "<Server IpAddress=\"16820416\" Port=\"60000\" Source=\"/srv/a.img\" Capability=\"8\" "
      "Started=\"1\" Cache=\"0\" AuthMode=\"0\" Password=\"" +
      kDigest + "\" ManagePassword=\"" + kDigest +
      "\"><Client IpAddress=\"0\" Access=\"1\" HasName=\"0\" HostName=\"\"/>"
      "<Client IpAddress=\"5\" Access=\"2\" HasName=\"1\" HostName=\"five\"/></Server>\n");
  EXPECT_EQ(Texts(reading.notes), "");
  EXPECT_FALSE(reading.changed());
  ASSERT_EQ(reading.servers.size(), 1u);
  EXPECT_EQ(reading.servers[0].static_clients.size(), 2u);
}

TEST(ConfigurationReaderTest, LinesBeyondSixteenBitsAreNamedRight) {
  const ConfigurationReading reading =
      Read(std::string(70000, '\n') + Server("<Client IpAddress=\"1\" Access=\"9\"/>\n"));
  ASSERT_EQ(reading.notes.size(), 1u);
  // Past 65535 the library counts lines from the text around an element,
  // which may be one off.
  EXPECT_NEAR(reading.notes[0].line, 70004, 1);
}

TEST(ConfigurationReaderTest, ShownValuesStayShortAndOnOneLine) {
  const ConfigurationReading reading =
      Read(Server("<Client IpAddress=\"1\" Access=\"a&#10;b" + std::string(1000, 'x') + "\"/>\n"));
  ASSERT_EQ(reading.notes.size(), 1u);
  EXPECT_EQ(reading.notes[0].text.find('\n'), std::string::npos);
  EXPECT_LT(reading.notes[0].text.size(), 200u);
}

}  // namespace
}  // namespace quensaria::store
