// Locals.xml as the administrator sees it on disk, and what a load makes of
// files the store did not write itself.
#include "service/store/configuration_store.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/console.h"
#include "platform/file_size_limit_for_testing.h"
#include "platform/scratch_dir_for_testing.h"
#include "service/store/attribute_forms.h"
#include "shared/block_protocol.h"
#include "shared/password_digest.h"

namespace quensaria::store {
namespace {

uint32_t Ip(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

ServerConfig Config(const std::string& source, uint16_t port) {
  ServerConfig config;
  std::memset(&config, 0, sizeof config);
  std::strncpy(config.Source, source.c_str(), sizeof config.Source - 1);
  config.Port = port;
  return config;
}

ClientEntry Client(const char* dotted, uint8_t access, uint8_t name_state = 0,
                   const std::string& name = "") {
  ClientEntry client;
  std::memset(&client, 0, sizeof client);
  client.address = Ip(dotted);
  client.access = access;
  client.nameState = name_state;
  std::strncpy(client.hostName, name.c_str(), sizeof client.hostName - 1);
  return client;
}

// The attributes of the first element named `element`, in file order.
std::vector<std::pair<std::string, std::string>> AttributesOf(const std::string& xml,
                                                              const std::string& element,
                                                              size_t index = 0) {
  std::vector<std::pair<std::string, std::string>> attributes;
  size_t at = 0;
  for (size_t i = 0; i <= index; ++i) {
    at = xml.find("<" + element + " ", at);
    if (at == std::string::npos) return attributes;
    at += 1;
  }
  const std::string tag = xml.substr(at, xml.find('>', at) - at);
  // Each attribute is ` Name="value"`; values never hold a quote (they are escaped).
  for (size_t space = tag.find(' '); space != std::string::npos; space = tag.find(' ', space + 1)) {
    const size_t equals = tag.find("=\"", space);
    if (equals == std::string::npos) break;
    const size_t close = tag.find('"', equals + 2);
    attributes.emplace_back(tag.substr(space + 1, equals - space - 1),
                            tag.substr(equals + 2, close - equals - 2));
    space = close;
  }
  return attributes;
}

class ConfigurationStoreTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  std::string Read(const char* name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
  }
  // Written as the store writes its files, for the owner alone (the load
  // reports a wider mode).
  void Write(const char* name, const std::string& data) const {
    std::ofstream(Path(name), std::ios::binary) << data;
    std::filesystem::permissions(Path(name), kOwnerOnly);
  }
  std::filesystem::perms Mode(const char* name) const {
    return std::filesystem::status(Path(name)).permissions();
  }
  static constexpr std::filesystem::perms kOwnerOnly =
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
  bool Exists(const char* name) const { return std::filesystem::exists(Path(name)); }

  // Loads the state directory in a fresh store, as a service start does.
  std::vector<StoredServer> Load() {
    store_ = std::make_unique<ConfigurationStore>(dir_);
    std::vector<StoredServer> servers;
    store_->LoadConfiguration(
        [&](const ServerConfig& config, const std::vector<ClientEntry>& clients) {
          servers.push_back({config, clients});
        });
    return servers;
  }
  void Save(const std::vector<StoredServer>& servers) {
    if (!store_) Load();
    Status status = store_->SaveConfiguration(servers);
    ASSERT_TRUE(status.ok()) << status.ToString();
  }
  std::vector<StoredServer> SaveAndLoad(const std::vector<StoredServer>& servers) {
    Save(servers);
    return Load();
  }

  testing::ScratchDir scratch_;
  const std::string dir_ = scratch_.path().string();
  std::unique_ptr<ConfigurationStore> store_;
};

TEST_F(ConfigurationStoreTest, EmptyRegistryIsDeclarationAndEmptyServices) {
  Save({});
  EXPECT_EQ(Read("Locals.xml"), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Services/>\n");
  EXPECT_FALSE(Exists("Locals.bak.xml"));
}

TEST_F(ConfigurationStoreTest, ServerAttributesInTableOrderAndForms) {
  ServerConfig config = Config("/srv/disk.img", 60000);
  config.IpAddress = Ip("192.168.0.1");
  config.SizeBytes = 1073741824 + 100;  // not whole sectors: rounded down
  config.Started = 1;
  config.Cache = 100;
  config.AuthMode = 7;
  config.Password[0] = 0x00;
  config.Password[1] = 0xab;
  std::memset(config.ManagePassword, 0xC3, sizeof config.ManagePassword);
  config.reserved = 0xdeadbeef;
  Save({{config, {}}});

  std::string c3;
  for (int i = 0; i < 20; ++i) c3 += "c3";
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"IpAddress", "16820416"},
      {"Port", "60000"},
      {"Source", "/srv/disk.img"},
      {"Capability", "2097152"},
      {"Started", "1"},
      {"Cache", "100"},
      {"AuthMode", "7"},
      {"Password", "00ab" + std::string(36, '0')},
      {"ManagePassword", c3},
  };
  EXPECT_EQ(AttributesOf(Read("Locals.xml"), "Server"), expected);

  const std::vector<StoredServer> loaded = Load();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].config.SizeBytes, 1073741824);
  EXPECT_EQ(loaded[0].config.IpAddress, Ip("192.168.0.1"));
  EXPECT_EQ(loaded[0].config.reserved, 0u);  // never stored
  EXPECT_EQ(0, std::memcmp(loaded[0].config.Password, config.Password, 20));
  EXPECT_EQ(0, std::memcmp(loaded[0].config.ManagePassword, config.ManagePassword, 20));
}

TEST_F(ConfigurationStoreTest, NoWhitespaceBetweenElements) {
  Save({{Config("/a", 1), {Client("10.0.0.200", 1), Client("0.0.0.0", 2)}}, {Config("/b", 2), {}}});
  const std::string xml = Read("Locals.xml");
  const std::string body = xml.substr(xml.find("?>") + 3);
  EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 1) << body;  // only the final line break
  EXPECT_NE(body.find("\"><Client IpAddress=\"-939524086\""), std::string::npos) << body;
  EXPECT_NE(body.find("</Server><Server "), std::string::npos) << body;
}

TEST_F(ConfigurationStoreTest, ClientAttributesAndNameStates) {
  const std::vector<ClientEntry> clients = {
      Client("10.0.0.200", 0, kNameKnown, "alpha.example"),
      Client("10.0.0.201", 1, kNameFailed, "stale-name"),
      Client("0.0.0.0", 2, kNameUnknown, "ignored"),
  };
  Save({{Config("/a", 1), clients}});
  const std::string xml = Read("Locals.xml");
  using Attributes = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(AttributesOf(xml, "Client", 0), (Attributes{{"IpAddress", "-939524086"},
                                                        {"Access", "0"},
                                                        {"HasName", "1"},
                                                        {"HostName", "alpha.example"}}));
  // A failed look-up keeps its old text but is stored as not known.
  EXPECT_EQ(AttributesOf(xml, "Client", 1), (Attributes{{"IpAddress", "-922746870"},
                                                        {"Access", "1"},
                                                        {"HasName", "0"},
                                                        {"HostName", "stale-name"}}));
  EXPECT_EQ(AttributesOf(xml, "Client", 2),
            (Attributes{{"IpAddress", "0"}, {"Access", "2"}, {"HasName", "0"}, {"HostName", ""}}));

  const std::vector<StoredServer> loaded = Load();
  ASSERT_EQ(loaded.size(), 1u);
  ASSERT_EQ(loaded[0].static_clients.size(), 3u);
  EXPECT_EQ(loaded[0].static_clients[0].nameState, kNameKnown);
  EXPECT_STREQ(loaded[0].static_clients[0].hostName, "alpha.example");
  // Read back as not looked up, so the resolver tries again.
  EXPECT_EQ(loaded[0].static_clients[1].nameState, kNameUnknown);
  EXPECT_STREQ(loaded[0].static_clients[1].hostName, "");
  EXPECT_EQ(loaded[0].static_clients[2].address, 0u);
  EXPECT_EQ(loaded[0].static_clients[2].access, 2);
  for (const ClientEntry& client : loaded[0].static_clients) EXPECT_EQ(client.state, 0);
}

TEST_F(ConfigurationStoreTest, ChineseTextIsReallyGb2312AndSurvives) {
  const std::string source = "/srv/镜像/中文盘.img";
  const std::string host = "主机-€";  // '€' is not in GB2312
  Save({{Config(source, 60000), {Client("10.1.2.3", 1, kNameKnown, host)}}});
  const std::string xml = Read("Locals.xml");
  // 中文 in GB2312 (EUC-CN) is D6 D0 CE C4; its UTF-8 bytes must not appear.
  EXPECT_NE(xml.find("\xD6\xD0\xCE\xC4"), std::string::npos);
  EXPECT_EQ(xml.find("中文"), std::string::npos);
  EXPECT_NE(xml.find("&#8364;"), std::string::npos) << xml;

  const std::vector<StoredServer> loaded = Load();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(std::string(loaded[0].config.Source), source);
  EXPECT_EQ(std::string(loaded[0].static_clients[0].hostName), host);
}

TEST_F(ConfigurationStoreTest, MarkupCharactersInTextRoundTrip) {
  const std::string source = "/srv/a&b <c> \"d\" 'e'\ttab";
  const std::vector<StoredServer> loaded = SaveAndLoad({{Config(source, 1), {}}});
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(std::string(loaded[0].config.Source), source);
}

TEST_F(ConfigurationStoreTest, TextXmlCannotCarryIsReplacedNotFatal) {
  // Such bytes can come from a management client; the file must stay loadable.
  const std::vector<StoredServer> loaded =
      SaveAndLoad({{Config("/srv/\x01\xff.img", 1), {}}, {Config("/srv/ok.img", 2), {}}});
  ASSERT_EQ(loaded.size(), 2u);
  EXPECT_EQ(std::string(loaded[0].config.Source), "/srv/\xEF\xBF\xBD\xEF\xBF\xBD.img");
  EXPECT_EQ(std::string(loaded[1].config.Source), "/srv/ok.img");
}

TEST_F(ConfigurationStoreTest, LongTextIsCutToItsField) {
  Write("Locals.xml", "<?xml version=\"1.0\"?><Services><Server Source=\"" + std::string(400, 's') +
                          "\"><Client HasName=\"1\" HostName=\"" + std::string(300, 'h') +
                          "\"/></Server></Services>");
  const std::vector<StoredServer> loaded = Load();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(std::string(loaded[0].config.Source), std::string(259, 's'));
  EXPECT_EQ(std::string(loaded[0].static_clients[0].hostName), std::string(127, 'h'));
  // A record's name field without its terminator is written as 127 characters.
  ClientEntry client = Client("1.2.3.4", 1, kNameKnown);
  std::memset(client.hostName, 'n', sizeof client.hostName);
  ServerConfig config = Config("", 1);
  std::memset(config.Source, 'p', sizeof config.Source);
  const std::vector<StoredServer> again = SaveAndLoad({{config, {client}}});
  EXPECT_EQ(std::string(again[0].config.Source), std::string(259, 'p'));
  EXPECT_EQ(std::string(again[0].static_clients[0].hostName), std::string(127, 'n'));
}

TEST_F(ConfigurationStoreTest, ReadsWhatOthersMayWrite) {
  // Upper-case digests, missing and malformed attributes, extra text and
  // comments between elements, any element names.
  Write("Locals.xml",
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Services>\n  <!-- note -->\n"
        "  <Server Port=\"abc\" Started=\"1x\" Cache=\"64\" Capability=\"2097152\" "
        "Password=\"00AB00000000000000000000000000000000FFFF\" ManagePassword=\"short\">\n"
        "    <Client IpAddress=\"16820416\" Access=\"1\" HasName=\"0\" HostName=\"forgotten\"/>\n"
        "    text\n"
        "  </Server>\n"
        "  <Other IpAddress=\"-1\"/>\n"
        "</Services>");
  const std::vector<StoredServer> loaded = Load();
  ASSERT_EQ(loaded.size(), 2u);
  const ServerConfig& config = loaded[0].config;
  EXPECT_EQ(config.Port, 0);
  EXPECT_EQ(config.Started, 0);
  EXPECT_EQ(config.Cache, 64);
  EXPECT_EQ(config.SizeBytes, 1073741824);
  EXPECT_EQ(config.Password[1], 0xab);
  EXPECT_EQ(config.Password[19], 0xff);
  for (uint8_t b : config.ManagePassword) EXPECT_EQ(b, 0);
  ASSERT_EQ(loaded[0].static_clients.size(), 1u);
  EXPECT_EQ(loaded[0].static_clients[0].address, Ip("192.168.0.1"));
  EXPECT_EQ(loaded[0].static_clients[0].nameState, 0);
  EXPECT_STREQ(loaded[0].static_clients[0].hostName, "");
  EXPECT_EQ(loaded[1].config.IpAddress, Ip("255.255.255.255"));
  EXPECT_STREQ(loaded[1].config.Source, "");
}

TEST_F(ConfigurationStoreTest, ServersAreHandedOverInFileOrderWithStartedAsStored) {
  ServerConfig a = Config("/a", 1), b = Config("/b", 2), c = Config("/c", 3);
  a.Started = 1;
  c.Started = 1;
  const std::vector<StoredServer> loaded = SaveAndLoad(
      {{a, {Client("1.1.1.1", 0)}}, {b, {}}, {c, {Client("2.2.2.2", 1), Client("3.3.3.3", 2)}}});
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_STREQ(loaded[0].config.Source, "/a");
  EXPECT_STREQ(loaded[1].config.Source, "/b");
  EXPECT_STREQ(loaded[2].config.Source, "/c");
  EXPECT_EQ(loaded[0].config.Started, 1);
  EXPECT_EQ(loaded[1].config.Started, 0);
  EXPECT_EQ(loaded[2].config.Started, 1);
  ASSERT_EQ(loaded[2].static_clients.size(), 2u);
  EXPECT_EQ(loaded[2].static_clients[1].address, Ip("3.3.3.3"));
}

TEST_F(ConfigurationStoreTest, NothingIsSavedBeforeTheLoad) {
  ConfigurationStore store(dir_);
  EXPECT_TRUE(store.SaveConfiguration({{Config("/a", 1), {}}}).ok());
  EXPECT_FALSE(Exists("Locals.xml"));
  EXPECT_FALSE(store.loaded());
  store.LoadConfiguration([](const ServerConfig&, const std::vector<ClientEntry>&) {});
  EXPECT_TRUE(store.loaded());
  EXPECT_TRUE(store.SaveConfiguration({{Config("/a", 1), {}}}).ok());
  EXPECT_TRUE(Exists("Locals.xml"));
}

TEST_F(ConfigurationStoreTest, MissingFileLoadsNothingAndEnablesSaving) {
  EXPECT_TRUE(Load().empty());
  EXPECT_TRUE(store_->loaded());
  EXPECT_FALSE(Exists("Locals.broken.xml"));
}

TEST_F(ConfigurationStoreTest, UnreadableFileIsKeptAsideNotOverwritten) {
  const std::string broken = "<?xml version=\"1.0\"?><Services><Server Port=\"1\">";
  Write("Locals.xml", broken);
  std::string console;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { console += line; });
  EXPECT_TRUE(Load().empty());
  platform::SetConsoleSinkForTesting({});
  EXPECT_EQ(console, Path("Locals.xml") + ": not a well-formed XML document; kept as " +
                         Path("Locals.broken.xml") + "\n");
  EXPECT_EQ(Read("Locals.broken.xml"), broken);
  EXPECT_FALSE(Exists("Locals.xml"));
  Save({});
  EXPECT_EQ(Read("Locals.xml"), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Services/>\n");
  EXPECT_EQ(Read("Locals.broken.xml"), broken);
}

TEST_F(ConfigurationStoreTest, EveryUnreadableFileIsKeptUnderANameOfItsOwn) {
  const std::string files[] = {"<Services><Server", "not xml at all", "<Services></Other>"};
  for (const std::string& broken : files) {
    Write("Locals.xml", broken);
    EXPECT_TRUE(Load().empty());
    Save({});  // the next start saves over Locals.xml at once
  }
  std::vector<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    const std::string name = entry.path().filename();
    if (name.rfind("Locals.broken", 0) == 0) kept.push_back(Read(name.c_str()));
  }
  std::sort(kept.begin(), kept.end());
  std::vector<std::string> expected(std::begin(files), std::end(files));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kept, expected);
  EXPECT_EQ(Read("Locals.broken.xml"), files[0]);  // the first keeps the plain name
}

TEST_F(ConfigurationStoreTest, ValuesNotTakenAreReportedWithTheirLines) {
  Write("Locals.xml", "<?xml version=\"1.0\"?>\n<Services>\n<Server Port=\"1\" Password=\"" +
                          std::string(40, 'a') +
                          "\" ManagePassword=\"bad\">\n<Client IpAddress=\"1\" Access=\"-1\"/>\n"
                          "<Other/>\n</Server>\n</Services>\n");
  std::string console;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { console += line; });
  const std::vector<StoredServer> loaded = Load();
  platform::SetConsoleSinkForTesting({});
  const std::string path = Path("Locals.xml");
  EXPECT_EQ(console,
            path +
                " line 3: Server 1: ManagePassword of 3 characters, not 40 hexadecimal "
                "digits, not taken: no log-on matches it\n" +
                path +
                " line 4: Server 1 Client 1: Access \"-1\" not taken: read as 2 (refused)\n" +
                path + " line 5: Server 1: element \"Other\" not taken: skipped\n" + path +
                ": values not read as written; the file as read is kept before it is next saved\n");
  ASSERT_EQ(loaded.size(), 1u);
  ASSERT_EQ(loaded[0].static_clients.size(), 1u);
  EXPECT_EQ(loaded[0].static_clients[0].access, ACCESS_REFUSED);
}

TEST_F(ConfigurationStoreTest, AFileLoadedWithChangesIsKeptAsReadBeforeTheFirstSave) {
  const std::string original =
      "<?xml version=\"1.0\"?>\n<Services>\n  <Server Source=\"" + std::string(300, 's') +
      "\" Port=\"x\">\n    <Client IpAddress=\"2\" Access=\"1\" HasName=\"1\" HostName=\"" +
      std::string(200, 'h') + "\"/>\n  </Server>\n</Services>\n";
  Write("Locals.xml", original);
  Load();
  EXPECT_FALSE(Exists("Locals.orig.xml"));  // nothing is lost before a save
  std::string console;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { console += line; });
  Save({{Config("/changed", 2), {}}});
  platform::SetConsoleSinkForTesting({});
  EXPECT_EQ(console,
            Path("Locals.xml") + ": the file as read is kept as " + Path("Locals.orig.xml") + "\n");
  EXPECT_EQ(Read("Locals.orig.xml"), original);
  EXPECT_NE(Read("Locals.xml").find("/changed"), std::string::npos);
  // Later saves of the same run keep nothing more.
  Save({{Config("/again", 3), {}}});
  EXPECT_EQ(Read("Locals.orig.xml"), original);

  // A second such file, in a later run, is kept beside the first.
  const std::string second = "<Services><Server Port=\"y\"/></Services>";
  Write("Locals.xml", second);
  Load();
  Save({});
  EXPECT_EQ(Read("Locals.orig.xml"), original);
  size_t originals = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    const std::string name = entry.path().filename();
    if (name.rfind("Locals.orig-", 0) == 0) {
      ++originals;
      EXPECT_EQ(Read(name.c_str()), second);
    }
  }
  EXPECT_EQ(originals, 1u);
}

TEST_F(ConfigurationStoreTest, AFileLoadedWholeKeepsNoCopy) {
  Save({{Config("/a", 1), {Client("1.2.3.4", 1, kNameKnown, "one")}}});
  Load();
  Save({{Config("/b", 1), {}}});
  // Written back as read, a zero digest is reported but keeps no copy.
  Write("Locals.xml", "<Services><Server Password=\"" + std::string(40, '0') + "\"/></Services>");
  Load();
  Save({});
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename(), "Locals.xml");
  }
}

TEST_F(ConfigurationStoreTest, NothingIsSavedUntilTheFileAsReadIsKept) {
  const std::string original =
      "<Services><Server Port=\"x\" Source=\"" + std::string(1000, 's') + "\"/></Services>";
  Write("Locals.xml", original);
  Load();
  // A file size limit that the copy of the original exceeds but the new,
  // empty configuration does not.
  Status refused;
  {
    testing::FileSizeLimit small(100);
    refused = store_->SaveConfiguration({});
  }
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(Read("Locals.xml"), original);
  EXPECT_FALSE(Exists("Locals.orig.xml"));  // no part of a copy either

  EXPECT_TRUE(store_->SaveConfiguration({}).ok());
  EXPECT_EQ(Read("Locals.orig.xml"), original);
  EXPECT_EQ(Read("Locals.xml"), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Services/>\n");
}

TEST_F(ConfigurationStoreTest, ALinkedFileStaysALinkAndItsTargetIsReplaced) {
  std::filesystem::create_directories(Path("real/etc"));
  Write("real/etc/services.xml", "<Services><Server Port=\"7\"/></Services>");
  for (const std::string& link :
       {std::string("real/etc/services.xml"), Path("real/etc/services.xml")}) {
    SCOPED_TRACE(link);
    std::filesystem::remove(Path("Locals.xml"));
    std::filesystem::create_symlink(link, Path("Locals.xml"));
    const std::vector<StoredServer> loaded = Load();
    Save({{Config("/through/the/link", 9), {}}});
    EXPECT_TRUE(std::filesystem::is_symlink(Path("Locals.xml")));
    EXPECT_EQ(std::filesystem::read_symlink(Path("Locals.xml")), link);
    EXPECT_NE(Read("real/etc/services.xml").find("/through/the/link"), std::string::npos);
    EXPECT_FALSE(Exists("Locals.bak.xml"));
    EXPECT_FALSE(Exists("real/etc/Locals.bak.xml"));
    ASSERT_EQ(Load().size(), 1u);
  }
  // A link to a file not there yet: the save creates it.
  std::filesystem::remove(Path("Locals.xml"));
  std::filesystem::create_symlink("real/new.xml", Path("Locals.xml"));
  EXPECT_TRUE(Load().empty());
  Save({{Config("/new", 1), {}}});
  EXPECT_TRUE(std::filesystem::is_symlink(Path("Locals.xml")));
  EXPECT_NE(Read("real/new.xml").find("/new"), std::string::npos);
  // A link that loops cannot be read: it is kept aside like any such file.
  std::filesystem::remove(Path("Locals.xml"));
  std::filesystem::create_symlink("Locals.xml", Path("Locals.xml"));
  EXPECT_TRUE(Load().empty());
  EXPECT_TRUE(std::filesystem::is_symlink(Path("Locals.broken.xml")));
  Save({});
  EXPECT_FALSE(std::filesystem::is_symlink(Path("Locals.xml")));
}

// The files hold password digests: whatever the umask, every file the store
// writes is its owner's alone, a left-over side file included.
TEST_F(ConfigurationStoreTest, SavedAndKeptFilesAreTheOwnersAlone) {
  namespace fs = std::filesystem;
  Write("Locals.bak.xml", "<Services/>");
  fs::permissions(Path("Locals.bak.xml"), fs::perms(0666));
  const mode_t umask_before = ::umask(0);
  Save({{Config("/first", 1), {}}});
  EXPECT_EQ(Mode("Locals.xml"), kOwnerOnly);

  // A file the load changed is kept as read, then replaced.
  Write("Locals.xml", "<Services><Server Port=\"x\"/></Services>");
  Load();
  Save({});
  EXPECT_TRUE(Exists("Locals.orig.xml"));
  EXPECT_EQ(Mode("Locals.orig.xml"), kOwnerOnly);
  EXPECT_EQ(Mode("Locals.xml"), kOwnerOnly);

  // An unreadable one is moved aside, narrowed first.
  Write("Locals.xml", "not xml");
  fs::permissions(Path("Locals.xml"), fs::perms(0644));
  Load();
  ::umask(umask_before);
  ASSERT_TRUE(Exists("Locals.broken.xml"));
  EXPECT_EQ(Mode("Locals.broken.xml"), kOwnerOnly);
}

// Files from before, readable by others, are narrowed at the load and the
// console says so; what they hold is read as it stands.
TEST_F(ConfigurationStoreTest, AWiderFileIsNarrowedAtTheLoad) {
  namespace fs = std::filesystem;
  const std::string digest = DigestToHex(PasswordDigest("5820937164285039"));
  Write("Locals.xml", "<Services><Server Port=\"7\" Password=\"" + digest + "\" ManagePassword=\"" +
                          digest + "\"/></Services>");
  fs::permissions(Path("Locals.xml"), fs::perms(0644));
  const struct {
    const char* name;
    fs::perms before;
    fs::perms after;
  } files[] = {
      {"Locals.bak.xml", fs::perms(0666), kOwnerOnly},
      {"Locals.orig.xml", fs::perms(0640), kOwnerOnly},
      {"Locals.broken-20261207T230051Z.xml", fs::perms(0604), kOwnerOnly},
      {"Locals.orig-20261207T230051Z-2.xml", fs::perms(0400), fs::perms(0400)},  // never wider
      {"notes.xml", fs::perms(0644), fs::perms(0644)},                           // not the store's
  };
  for (const auto& file : files) {
    Write(file.name, "<Services/>");
    fs::permissions(Path(file.name), file.before);
  }
  std::string console;
  platform::SetConsoleSinkForTesting([&](std::string_view line) { console += line; });
  const std::vector<StoredServer> loaded = Load();
  platform::SetConsoleSinkForTesting({});

  EXPECT_EQ(Mode("Locals.xml"), kOwnerOnly);
  for (const auto& file : files) EXPECT_EQ(Mode(file.name), file.after) << file.name;
  const std::string reason = " let others read its password digests; narrowed to 0600\n";
  for (const auto& [name, mode] :
       {std::pair{"Locals.xml", "0644"}, std::pair{"Locals.bak.xml", "0666"},
        std::pair{"Locals.orig.xml", "0640"},
        std::pair{"Locals.broken-20261207T230051Z.xml", "0604"}}) {
    EXPECT_NE(console.find(Path(name) + ": mode " + mode + reason), std::string::npos)
        << name << " in:\n"
        << console;
  }
  EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 4) << console;
  // Existing values stay: the placeholder's digests too.
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(FormatDigest(loaded[0].config.Password), digest);
  EXPECT_EQ(FormatDigest(loaded[0].config.ManagePassword), digest);

  // A second load has nothing to say.
  console.clear();
  platform::SetConsoleSinkForTesting([&](std::string_view line) { console += line; });
  Load();
  platform::SetConsoleSinkForTesting({});
  EXPECT_EQ(console, "");
}

TEST_F(ConfigurationStoreTest, ThroughALinkTheFileItNamesIsNarrowed) {
  namespace fs = std::filesystem;
  fs::create_directories(Path("real"));
  Write("real/services.xml", "<Services/>");
  fs::permissions(Path("real/services.xml"), fs::perms(0644));
  Write("real/Locals.orig.xml", "<Services/>");
  fs::permissions(Path("real/Locals.orig.xml"), fs::perms(0644));
  fs::create_symlink("real/services.xml", Path("Locals.xml"));
  Load();
  EXPECT_EQ(Mode("real/services.xml"), kOwnerOnly);
  EXPECT_EQ(Mode("real/Locals.orig.xml"), kOwnerOnly) << "kept files live beside the file";
  EXPECT_TRUE(fs::is_symlink(Path("Locals.xml")));
}

// Locals.bak.xml is the store's own side file: a link in its place (a state
// directory others could write to) leads neither the load's narrowing nor the
// save's writing to the file it names, and the save's rename puts no link in
// Locals.xml's place.
TEST_F(ConfigurationStoreTest, ALinkInTheSideFilesPlaceLeadsNowhere) {
  namespace fs = std::filesystem;
  std::ofstream(Path("victim")) << "not the store's\n";
  fs::permissions(Path("victim"), fs::perms(0644));
  fs::create_symlink("victim", Path("Locals.bak.xml"));
  Write("Locals.xml", "<Services><Server Port=\"7\"/></Services>");

  ASSERT_EQ(Load().size(), 1u);
  EXPECT_EQ(fs::status(Path("victim")).permissions(), fs::perms(0644)) << "narrowed at the load";
  Save({{Config("/saved", 3), {}}});
  EXPECT_EQ(Read("victim"), "not the store's\n");
  EXPECT_EQ(fs::status(Path("victim")).permissions(), fs::perms(0644)) << "changed at the save";
  EXPECT_FALSE(fs::is_symlink(Path("Locals.xml")));
  EXPECT_NE(Read("Locals.xml").find("/saved"), std::string::npos) << Read("Locals.xml");
  EXPECT_EQ(Mode("Locals.xml"), kOwnerOnly);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("Locals.bak.xml"))));
}

TEST_F(ConfigurationStoreTest, LeftOverBackupLendsItsRootAndOuterNodes) {
  Write("Locals.bak.xml",
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<!--kept--><Services Version=\"2\">"
        "<Server Port=\"9\"/></Services><?after kept?>");
  Save({{Config("/new", 5), {}}});
  const std::string xml = Read("Locals.xml");
  // Line breaks outside the root are the library's own.
  EXPECT_NE(xml.find("<!--kept-->\n<Services Version=\"2\"><Server "), std::string::npos) << xml;
  EXPECT_NE(xml.find("<?after kept?>"), std::string::npos) << xml;
  EXPECT_EQ(xml.find("Port=\"9\""), std::string::npos) << xml;
  EXPECT_FALSE(Exists("Locals.bak.xml"));
  const std::vector<StoredServer> loaded = Load();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_STREQ(loaded[0].config.Source, "/new");
}

TEST_F(ConfigurationStoreTest, BrokenOrForeignBackupIsReplacedByAFreshDocument) {
  for (const char* backup : {"<Services><Server", "<Other><Server/></Other>"}) {
    Write("Locals.bak.xml", backup);
    Save({});
    EXPECT_EQ(Read("Locals.xml"), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Services/>\n")
        << backup;
  }
}

TEST_F(ConfigurationStoreTest, FailedSaveLeavesLocalsXmlAsItWas) {
  Save({{Config("/first", 1), {}}});
  const std::string before = Read("Locals.xml");
  // A directory in place of the side file makes the write fail.
  ASSERT_TRUE(std::filesystem::create_directory(Path("Locals.bak.xml")));
  Load();
  EXPECT_FALSE(store_->SaveConfiguration({{Config("/second", 2), {}}}).ok());
  EXPECT_EQ(Read("Locals.xml"), before);
}

TEST_F(ConfigurationStoreTest, FileWithDoctypeIsNotTrusted) {
  // An entity bomb: refused as a whole, without expanding anything.
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE Services [<!ENTITY a \"aaaaaaaaaa\">";
  for (char c = 'b'; c <= 'k'; ++c) {
    bomb += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) bomb += std::string("&") + static_cast<char>(c - 1) + ";";
    bomb += "\">";
  }
  bomb += "]><Services><Server Source=\"&k;\"/></Services>";
  Write("Locals.xml", bomb);
  EXPECT_TRUE(Load().empty());
  EXPECT_TRUE(Exists("Locals.broken.xml"));
}

TEST_F(ConfigurationStoreTest, DeeplyNestedTruncatedAndHugeFilesLoadNothing) {
  std::string deep = "<Services>";
  for (int i = 0; i < 100000; ++i) deep += "<Server>";
  Write("Locals.xml", deep);
  EXPECT_TRUE(Load().empty());

  Save({{Config("/a", 1), {Client("1.2.3.4", 1)}}});
  const std::string whole = Read("Locals.xml");
  for (size_t cut : {size_t{1}, whole.size() / 2, whole.size() - 3}) {
    Write("Locals.xml", whole.substr(0, cut));
    EXPECT_TRUE(Load().empty()) << cut;
  }

  Write("Locals.xml", "");
  ASSERT_EQ(truncate(Path("Locals.xml").c_str(), off_t{kMaxConfigurationBytes} + 1), 0);
  EXPECT_TRUE(Load().empty());
  EXPECT_TRUE(Exists("Locals.broken.xml"));
}

TEST_F(ConfigurationStoreTest, ManyServersRoundTrip) {
  std::vector<StoredServer> servers;
  for (int i = 0; i < 500; ++i) {
    StoredServer server{Config("/srv/" + std::to_string(i), static_cast<uint16_t>(1000 + i)), {}};
    for (int j = 0; j < i % 4; ++j) {
      server.static_clients.push_back(
          Client(("10.0." + std::to_string(i % 256) + "." + std::to_string(j)).c_str(), 1));
    }
    servers.push_back(server);
  }
  const std::vector<StoredServer> loaded = SaveAndLoad(servers);
  ASSERT_EQ(loaded.size(), servers.size());
  for (size_t i = 0; i < servers.size(); ++i) {
    EXPECT_EQ(0, std::memcmp(&loaded[i].config, &servers[i].config, sizeof(ServerConfig))) << i;
    ASSERT_EQ(loaded[i].static_clients.size(), servers[i].static_clients.size()) << i;
    for (size_t j = 0; j < servers[i].static_clients.size(); ++j) {
      EXPECT_EQ(0, std::memcmp(&loaded[i].static_clients[j], &servers[i].static_clients[j],
                               sizeof(ClientEntry)));
    }
  }
}

}  // namespace
}  // namespace quensaria::store
