// Random and mutated configuration files and random records: nothing may
// crash, every save must produce a file that loads, and a loaded file saved
// again must reach a fixed point after one round.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "service/store/configuration_store.h"
#include "shared/block_protocol.h"

namespace quensaria::store {
namespace {

class StoreFuzzTest : public ::testing::Test {
 protected:
  std::mt19937 random_{20240611};

  uint32_t Next(uint32_t bound) {
    return std::uniform_int_distribution<uint32_t>(0, bound - 1)(random_);
  }

  void RandomBytes(void* target, size_t size) {
    auto* bytes = static_cast<uint8_t*>(target);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(Next(256));
  }

  // Text fields get a mix of ASCII, Chinese, bytes XML cannot carry and
  // arbitrary bytes; other fields arbitrary values.
  void RandomText(char* field, size_t capacity) {
    static const char* kPieces[] = {"a", "/", "中", "€", "\x01", "\xff",
                                    "&", "<", "\"", "'", "\t",   "\xF0\x9F\x98\x80"};
    std::string text;
    const size_t pieces = Next(80);
    for (size_t i = 0; i < pieces; ++i) text += kPieces[Next(std::size(kPieces))];
    std::memset(field, 0, capacity);
    std::memcpy(field, text.data(), std::min(text.size(), capacity));  // maybe unterminated
  }

  StoredServer RandomServer() {
    StoredServer server;
    RandomBytes(&server.config, sizeof server.config);
    RandomText(server.config.Source, sizeof server.config.Source);
    const size_t clients = Next(4);
    for (size_t i = 0; i < clients; ++i) {
      ClientEntry client;
      RandomBytes(&client, sizeof client);
      client.nameState = static_cast<uint8_t>(Next(4));
      RandomText(client.hostName, sizeof client.hostName);
      server.static_clients.push_back(client);
    }
    return server;
  }

  std::string Mutate(std::string data) {
    static const char* kTokens[] = {"<",          ">",
                                    "&",          "&#0;",
                                    "&#x110000;", "<!DOCTYPE a [<!ENTITY e \"x\">]>",
                                    "&e;",        "]]>",
                                    "<![CDATA[",  "\"",
                                    "=",          "<Server ",
                                    "<Client/>",  "encoding=\"UTF-16\"",
                                    "\xff\xfe",   "\0",
                                    "\xD6",       "<!--",
                                    "-->"};
    const size_t edits = 1 + Next(3);
    for (size_t e = 0; e < edits && !data.empty(); ++e) {
      const size_t at = Next(static_cast<uint32_t>(data.size()));
      switch (Next(12)) {
        case 0:
          data[at] = static_cast<char>(Next(256));
          break;
        case 1:
          data.insert(at, kTokens[Next(std::size(kTokens))]);
          break;
        case 2:
          data.erase(at, Next(16));
          break;
        case 3:
          data.resize(at);
          break;
        case 4:
          data.insert(at, data.substr(Next(static_cast<uint32_t>(data.size())), Next(64)));
          break;
        default: {
          // Just inside an attribute value most edits keep the file
          // well-formed, which reaches the value parsers.
          const size_t value = data.find("=\"", at);
          if (value == std::string::npos) break;
          static const char kAlphabet[] = "-+0123456789 abcxX.";
          std::string noise;
          for (uint32_t i = 0, n = 1 + Next(4); i < n; ++i)
            noise += kAlphabet[Next(sizeof kAlphabet - 1)];
          data.insert(value + 2, noise);
          break;
        }
      }
    }
    return data;
  }

  // A file the store accepted must save, and the saved file must load and
  // save again to the same bytes.
  void ExpectStable(const std::vector<StoredServer>& servers, std::string_view previous = {}) {
    Result<std::string> first = FormatConfiguration(servers, previous);
    ASSERT_TRUE(first.ok()) << first.status().ToString();
    std::optional<std::vector<StoredServer>> loaded = ParseConfiguration(*first);
    ASSERT_TRUE(loaded.has_value()) << *first;
    ASSERT_EQ(loaded->size(), servers.size());
    Result<std::string> second = FormatConfiguration(*loaded, *first);
    ASSERT_TRUE(second.ok());
    std::optional<std::vector<StoredServer>> reloaded = ParseConfiguration(*second);
    ASSERT_TRUE(reloaded.has_value());
    Result<std::string> third = FormatConfiguration(*reloaded, *second);
    ASSERT_TRUE(third.ok());
    EXPECT_EQ(*second, *third);
  }
};

TEST_F(StoreFuzzTest, RandomRecordsSaveToLoadableFilesKeepingEveryNumber) {
  for (int round = 0; round < 300; ++round) {
    std::vector<StoredServer> servers;
    const size_t count = Next(5);
    for (size_t i = 0; i < count; ++i) servers.push_back(RandomServer());
    ASSERT_NO_FATAL_FAILURE(ExpectStable(servers));

    Result<std::string> bytes = FormatConfiguration(servers);
    ASSERT_TRUE(bytes.ok());
    const std::vector<StoredServer> loaded = *ParseConfiguration(*bytes);
    for (size_t i = 0; i < count; ++i) {
      const ServerConfig& in = servers[i].config;
      const ServerConfig& out = loaded[i].config;
      EXPECT_EQ(out.IpAddress, in.IpAddress);
      EXPECT_EQ(out.Port, in.Port);
      EXPECT_EQ(out.SizeBytes, in.SizeBytes / 512 * 512);
      EXPECT_EQ(out.Cache, in.Cache);
      EXPECT_EQ(out.Started, in.Started);
      EXPECT_EQ(out.AuthMode, in.AuthMode);
      EXPECT_EQ(0, std::memcmp(out.Password, in.Password, 20));
      EXPECT_EQ(0, std::memcmp(out.ManagePassword, in.ManagePassword, 20));
      ASSERT_EQ(loaded[i].static_clients.size(), servers[i].static_clients.size());
      for (size_t j = 0; j < servers[i].static_clients.size(); ++j) {
        EXPECT_EQ(loaded[i].static_clients[j].address, servers[i].static_clients[j].address);
        // An access that is no level reads as refused.
        const uint8_t access = servers[i].static_clients[j].access;
        EXPECT_EQ(loaded[i].static_clients[j].access,
                  access <= ACCESS_REFUSED ? access : ACCESS_REFUSED);
      }
    }
  }
}

TEST_F(StoreFuzzTest, MutatedFilesNeverCrashAndWhatLoadsSavesStably) {
  std::vector<StoredServer> seed_servers;
  for (int i = 0; i < 3; ++i) seed_servers.push_back(RandomServer());
  Result<std::string> seed = FormatConfiguration(seed_servers);
  ASSERT_TRUE(seed.ok());
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string mutated = Mutate(*seed);
    std::optional<std::vector<StoredServer>> loaded = ParseConfiguration(mutated);
    if (loaded) {
      ++accepted;
      ASSERT_NO_FATAL_FAILURE(ExpectStable(*loaded));
    }
    // A mutated left-over backup never stops a save either.
    ASSERT_NO_FATAL_FAILURE(ExpectStable(seed_servers, mutated));
  }
  // The mutations must not all be trivially rejected, or this proves little.
  EXPECT_GT(accepted, 300);
}

TEST_F(StoreFuzzTest, RandomBytesNeverCrash) {
  for (int round = 0; round < 2000; ++round) {
    std::string data(Next(512), '\0');
    RandomBytes(data.data(), data.size());
    if (Next(2) == 0) data.insert(0, "<?xml version=\"1.0\" encoding=\"GB2312\"?><Services>");
    // Whatever such bytes load as must save and load again unchanged.
    std::optional<std::vector<StoredServer>> loaded = ParseConfiguration(data);
    if (loaded) {
      ASSERT_NO_FATAL_FAILURE(ExpectStable(*loaded));
    }
  }
}

}  // namespace
}  // namespace quensaria::store
