#include "service/store/configuration_store.h"

#include <libxml/tree.h>

#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <system_error>

#include "platform/console.h"
#include "platform/whole_file.h"
#include "service/store/attribute_forms.h"
#include "service/store/kept_files.h"
#include "service/store/xml_document.h"
#include "shared/win32_error.h"

namespace quensaria::store {
namespace {

constexpr char kEmptyDocument[] = "<?xml version=\"1.0\" encoding=\"GB2312\"?><Services/>";
constexpr char kFileEncoding[] = "GB2312";
constexpr char kRootName[] = "Services";

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

bool AddAttribute(xmlNode* element, const char* name, const std::string& value) {
  return xmlNewProp(element, X(name), X(value.c_str())) != nullptr;
}

bool WriteClient(xmlNode* parent, const ClientEntry& client) {
  xmlNode* element = xmlNewChild(parent, nullptr, X("Client"), nullptr);
  if (element == nullptr) return false;
  // Only a known name is stored as known; a failed look-up is tried again
  // after the next start.
  const std::string host_name =
      client.nameState != 0
          ? CleanText(
                std::string_view(client.hostName, strnlen(client.hostName, kHostNameCapacity - 1)),
                kHostNameCapacity - 1)
          : std::string();
  return AddAttribute(element, "IpAddress", FormatAddress(client.address)) &&
         AddAttribute(element, "Access", std::to_string(client.access)) &&
         AddAttribute(element, "HasName", client.nameState == kNameKnown ? "1" : "0") &&
         AddAttribute(element, "HostName", host_name);
}

bool WriteServer(xmlNode* root, const StoredServer& server) {
  const ServerConfig& config = server.config;
  xmlNode* element = xmlNewChild(root, nullptr, X("Server"), nullptr);
  if (element == nullptr) return false;
  const std::string source =
      CleanText(std::string_view(config.Source, strnlen(config.Source, kSourceCapacity - 1)),
                kSourceCapacity - 1);
  if (!(AddAttribute(element, "IpAddress", FormatAddress(config.IpAddress)) &&
        AddAttribute(element, "Port", std::to_string(config.Port)) &&
        AddAttribute(element, "Source", source) &&
        AddAttribute(element, "Capability", FormatSectors(config.SizeBytes)) &&
        AddAttribute(element, "Started", std::to_string(config.Started)) &&
        AddAttribute(element, "Cache", std::to_string(config.Cache)) &&
        AddAttribute(element, "AuthMode", std::to_string(config.AuthMode)) &&
        AddAttribute(element, "Password", FormatDigest(config.Password)) &&
        AddAttribute(element, "ManagePassword", FormatDigest(config.ManagePassword)))) {
    return false;
  }
  for (const ClientEntry& client : server.static_clients) {
    if (!WriteClient(element, client)) return false;
  }
  return true;
}

}  // namespace

Result<std::string> FormatConfiguration(const std::vector<StoredServer>& servers,
                                        std::string_view previous) {
  XmlDocument doc;
  if (!previous.empty()) {
    doc = ParseXml(previous);
    if (doc && xmlStrcmp(xmlDocGetRootElement(doc.get())->name, X(kRootName)) != 0) doc.reset();
  }
  if (!doc) doc = ParseXml(kEmptyDocument);
  if (!doc) return Status(ERROR_NOT_ENOUGH_MEMORY, "no XML document");
  xmlNode* root = xmlDocGetRootElement(doc.get());
  while (root->children != nullptr) {
    xmlNode* child = root->children;
    xmlUnlinkNode(child);
    xmlFreeNode(child);
  }
  for (const StoredServer& server : servers) {
    if (!WriteServer(root, server)) return Status(ERROR_NOT_ENOUGH_MEMORY, "building the XML tree");
  }
  return SerializeXml(doc.get(), kFileEncoding);
}

ConfigurationStore::ConfigurationStore(std::string state_directory)
    : directory_(std::move(state_directory)) {
  InitXml();
}

std::string ConfigurationStore::ConfigurationPath() const {
  return directory_ + "/" + kConfigurationFileName;
}

std::string ConfigurationStore::BackupPath() const { return directory_ + "/" + kBackupFileName; }

// Locals.xml (the file it stands for), and beside that file its side file
// and the kept files. A mode that lets anyone else read is narrowed.
void ConfigurationStore::NarrowStoredFiles() {
  Result<std::string> target = platform::FollowLinks(ConfigurationPath());
  const std::string file = target.ok() ? *target : ConfigurationPath();
  const std::string directory = platform::DirectoryOf(file);
  std::vector<std::string> paths = {file};
  std::error_code error;
  // The side file is the store's own: a link in its place names another's.
  const std::string backup = directory + "/" + kBackupFileName;
  if (!std::filesystem::is_symlink(backup, error)) paths.push_back(backup);
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    std::error_code type_error;
    if (!entry.is_regular_file(type_error) || entry.is_symlink(type_error)) continue;
    if (IsKeptName(name, kOriginalStem) || IsKeptName(name, kBrokenStem)) {
      paths.push_back(entry.path().string());
    }
  }
  for (const std::string& path : paths) {
    Result<uint32_t> before = platform::NarrowFileMode(path, kStoredFileMode);
    if (!before.ok()) {
      if (before.status().code() != ERROR_FILE_NOT_FOUND) {
        platform::ConsoleLog(platform::ConsolePriority::kWarning,
                             "%s: %s; others may read its password digests\n", path.c_str(),
                             before.status().message().c_str());
      }
    } else if ((*before & ~kStoredFileMode) != 0) {
      platform::ConsoleLog(platform::ConsolePriority::kWarning,
                           "%s: mode %04o let others read its password digests; narrowed to %04o\n",
                           path.c_str(), *before, *before & kStoredFileMode);
    }
  }
}

void ConfigurationStore::LoadConfiguration(const LoadServerFn& load_server) {
  const std::string path = ConfigurationPath();
  try {
    NarrowStoredFiles();
    Result<std::string> data = platform::ReadWholeFile(path, kMaxConfigurationBytes);
    std::optional<ConfigurationReading> reading;
    std::string problem;
    if (data.ok()) {
      reading = ReadConfiguration(*data);
      if (!reading) problem = "not a well-formed XML document";
    } else if (data.status().code() != ERROR_FILE_NOT_FOUND &&
               data.status().code() != ERROR_PATH_NOT_FOUND) {
      problem = data.status().message();
    }
    if (!problem.empty()) {
      // The next save would overwrite it; keep what the administrator had.
      Result<std::string> file = platform::FollowLinks(path);
      const std::string broken = file.ok() ? *file : path;
      Result<std::string> kept =
          KeepByMoving(broken, platform::DirectoryOf(broken), kBrokenStem, time(nullptr));
      const std::string outcome =
          kept.ok() ? "kept as " + *kept : "starting with an empty configuration";
      platform::ConsoleLog(platform::ConsolePriority::kError, "%s: %s; %s\n", path.c_str(),
                           problem.c_str(), outcome.c_str());
    }
    if (reading) {
      for (const ReadNote& note : reading->notes) {
        platform::ConsoleLog(platform::ConsolePriority::kWarning, "%s line %ld: %s\n", path.c_str(),
                             note.line, note.text.c_str());
      }
      if (reading->changed()) {
        original_ = std::move(data).value();
        platform::ConsoleLog(platform::ConsolePriority::kWarning,
                             "%s: values not read as written; the file as read is kept "
                             "before it is next saved\n",
                             path.c_str());
      }
      for (const StoredServer& server : reading->servers) {
        load_server(server.config, server.static_clients);
      }
    }
    // The file's password digests do not stay in freed memory.
    if (data.ok()) platform::WipeText(*data);
  } catch (const std::exception& e) {
    platform::ConsoleLog(platform::ConsolePriority::kError, "%s: load failed: %s\n", path.c_str(),
                         e.what());
  }
  loaded_ = true;
}

Status ConfigurationStore::KeepOriginal(const std::string& directory) {
  if (!original_) return Status::Ok();
  Result<std::string> kept =
      KeepCopy(*original_, directory, kOriginalStem, time(nullptr), kStoredFileMode);
  if (!kept.ok()) {
    return Status(kept.status().code(), "keeping the file as read: " + kept.status().message());
  }
  platform::ConsoleLog(platform::ConsolePriority::kNotice, "%s: the file as read is kept as %s\n",
                       ConfigurationPath().c_str(), kept->c_str());
  platform::WipeText(*original_);
  original_.reset();
  return Status::Ok();
}

Status ConfigurationStore::SaveConfiguration(const std::vector<StoredServer>& servers) {
  if (!loaded_) return Status::Ok();
  try {
    // A link stays a link: the file it points to is replaced, from its own
    // directory so that the rename stays atomic.
    Result<std::string> target = platform::FollowLinks(ConfigurationPath());
    Status status = target.status();
    if (status.ok()) {
      const std::string directory = platform::DirectoryOf(*target);
      const std::string backup = directory + "/" + kBackupFileName;
      status = KeepOriginal(directory);
      // A link in the side file's place is no side file of ours: it goes, so
      // that nothing is read or written through it.
      std::error_code link_error;
      if (status.ok() && std::filesystem::is_symlink(backup, link_error)) {
        status = platform::RemoveFile(backup);
      }
      if (status.ok()) {
        // A Locals.bak.xml left by a save whose rename failed lends its root.
        Result<std::string> previous = platform::ReadWholeFile(backup, kMaxConfigurationBytes);
        Result<std::string> bytes = FormatConfiguration(
            servers, previous.ok() ? std::string_view(*previous) : std::string_view());
        status = bytes.ok() ? platform::WriteFileSynced(backup, *bytes, kStoredFileMode)
                            : bytes.status();
        // Both hold every password digest.
        if (previous.ok()) platform::WipeText(*previous);
        if (bytes.ok()) platform::WipeText(*bytes);
        if (status.ok()) status = platform::ReplaceFileSynced(backup, *target);
      }
    }
    if (!status.ok()) {
      platform::ConsoleLog(platform::ConsolePriority::kError, "%s: not saved: %s\n",
                           ConfigurationPath().c_str(), status.message().c_str());
    }
    return status;
  } catch (const std::exception& e) {
    return Status(ERROR_NOT_ENOUGH_MEMORY, std::string("save failed: ") + e.what());
  }
}

}  // namespace quensaria::store
