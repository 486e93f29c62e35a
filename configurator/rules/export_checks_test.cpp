#include "configurator/rules/export_checks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "configurator/rules/configurator_rules.h"
#include "platform/scratch_dir_for_testing.h"

namespace quensaria::configurator {
namespace {

ServerConfig Export(const std::string& source, const char* address, uint16_t port) {
  ServerConfig config{};
  std::strncpy(config.Source, source.c_str(), sizeof config.Source - 1);
  config.IpAddress = address == nullptr ? 0 : inet_addr(address);
  config.Port = port;
  return config;
}

ServerRow Row(Handle handle, const ServerConfig& config, bool started) {
  ServerConfig copy = config;
  copy.Started = started ? 1 : 0;
  return MakeServerRow(handle, true, copy);
}

class ExportChecksTest : public ::testing::Test {
 protected:
  ExportChecksTest() { std::ofstream(image_).put('x'); }
  testing::ScratchDir dir_;
  const std::string image_ = dir_.File("disk.img");
};

TEST_F(ExportChecksTest, CreationRefusesAMissingSourceAndAPortOfAnotherExport) {
  EXPECT_EQ(CreateRefusal(Export(image_, nullptr, 60000), {}), "");
  EXPECT_EQ(CreateRefusal(Export(dir_.File("gone.img"), nullptr, 60000), {}),
            "The source " + dir_.File("gone.img") +
                " does not exist: choose an existing image file or device.");
  EXPECT_NE(CreateRefusal(Export(dir_.File("disk.img/under"), nullptr, 60000), {}), "");
  // An RBD image is no file here: only the service can look for it.
  EXPECT_EQ(CreateRefusal(Export("rbd:rbd/golden@base", nullptr, 60000), {}), "");

  const std::vector<ServerRow> servers = {Row(7, Export(image_, nullptr, 60000), false),
                                          Row(8, Export(image_, "10.0.0.1", 60001), false)};
  // "Any" overlaps every address; two different addresses do not.
  EXPECT_EQ(CreateRefusal(Export(image_, nullptr, 60000), servers),
            "Port 60000 is already used by the export 0.0.0.0:60000 (" + image_ +
                "): choose another port.");
  EXPECT_NE(CreateRefusal(Export(image_, "10.0.0.9", 60000), servers), "");
  EXPECT_NE(CreateRefusal(Export(image_, nullptr, 60001), servers), "");
  EXPECT_NE(CreateRefusal(Export(image_, "10.0.0.1", 60001), servers), "");
  EXPECT_EQ(CreateRefusal(Export(image_, "10.0.0.2", 60001), servers), "");
  EXPECT_EQ(CreateRefusal(Export(image_, nullptr, 60002), servers), "");
}

// A pipe or a character device holds no blocks: the service would serve it
// as an empty disk.
TEST_F(ExportChecksTest, CreationRefusesASourceThatIsNeitherAFileNorABlockDevice) {
  const std::string pipe = dir_.File("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(CreateRefusal(Export(pipe, nullptr, 60000), {}),
            "The source " + pipe +
                " is neither a file nor a block device: choose an image file or a disk.");
  EXPECT_NE(CreateRefusal(Export("/dev/null", nullptr, 60000), {}), "");
  // Nor can a directory be served: its start could only fail.
  EXPECT_EQ(CreateRefusal(Export(dir_.path().string(), nullptr, 60000), {}),
            "The source " + dir_.path().string() +
                " is neither a file nor a block device: choose an image file or a disk.");
  // A link to a file is the file.
  const std::string link = dir_.File("link.img");
  ASSERT_EQ(::symlink(image_.c_str(), link.c_str()), 0);
  EXPECT_EQ(CreateRefusal(Export(link, nullptr, 60000), {}), "");
}

TEST_F(ExportChecksTest, AFailedStartNamesTheFileThePortAndWhoHoldsIt) {
  const ServerConfig config = Export(image_, nullptr, 61000);
  EXPECT_EQ(StartFailureCause(config, 1, {}, {}), "");
  EXPECT_EQ(StartFailureText(config, ""), kStartFailedStatus);

  const ServerConfig gone = Export(dir_.File("gone.img"), nullptr, 61000);
  EXPECT_EQ(StartFailureText(gone, StartFailureCause(gone, 1, {}, {})),
            "Quensaria Service could not start the server 0.0.0.0:61000: the source " +
                dir_.File("gone.img") + " does not exist.");

  // Another export of the service, started on the port.
  const std::vector<ServerRow> servers = {Row(1, config, false),
                                          Row(2, Export(image_, "127.0.0.1", 61000), true)};
  EXPECT_EQ(StartFailureCause(config, 1, servers, {}),
            "port 61000 is used by the export 127.0.0.1:61000 (" + image_ + ")");

  // A program of this user, and one whose process cannot be seen.
  platform::TcpListener mine;
  mine.address = inet_addr("127.0.0.1");
  mine.uid = ::getuid();
  mine.pid = 4321;
  mine.program = "nc";
  EXPECT_EQ(StartFailureCause(config, 1, {}, {mine}), "port 61000 is in use by nc (process 4321)");
  // A process names itself: a name made to drive a terminal does not.
  platform::TcpListener named = mine;
  named.program = "nc\x1B]0;owned\x07";
  EXPECT_EQ(StartFailureCause(config, 1, {}, {named}),
            "port 61000 is in use by nc?]0;owned? (process 4321)");
  platform::TcpListener hidden;
  hidden.uid = 0;
  EXPECT_EQ(StartFailureCause(config, 1, {}, {hidden}),
            "port 61000 is in use by another program (of user root)");
  // A listener on another address does not stand in the way of one address.
  EXPECT_EQ(StartFailureCause(Export(image_, "127.0.0.2", 61000), 1, {}, {mine}), "");
}

}  // namespace
}  // namespace quensaria::configurator
