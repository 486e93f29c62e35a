#include "service/store/configuration_store.h"

#include <libxml/tree.h>

#include <cstring>
#include <exception>

#include "platform/console.h"
#include "platform/whole_file.h"
#include "service/store/attribute_forms.h"
#include "service/store/xml_document.h"
#include "shared/win32_error.h"

namespace quensaria::store {
namespace {

constexpr char kEmptyDocument[] = "<?xml version=\"1.0\" encoding=\"GB2312\"?><Services/>";
constexpr char kFileEncoding[] = "GB2312";
constexpr char kRootName[] = "Services";

const xmlChar* X(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

std::string Attribute(xmlNode* element, const char* name) {
  std::string value;
  GetAttribute(element, name, value);
  return value;  // a missing attribute reads like an empty one: as 0
}

template <size_t N>
void CopyText(const std::string& text, char (&field)[N]) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

ClientEntry ReadClient(xmlNode* element) {
  ClientEntry client;
  std::memset(&client, 0, sizeof client);
  client.address = ReadAddress(Attribute(element, "IpAddress"));
  client.access = ReadByte(Attribute(element, "Access"));
  client.nameState = ReadByte(Attribute(element, "HasName"));
  if (client.nameState != 0) {
    CopyText(CleanText(Attribute(element, "HostName"), kHostNameCapacity - 1), client.hostName);
  }
  return client;
}

registry::StoredServer ReadServer(xmlNode* element) {
  registry::StoredServer server;
  ServerConfig& config = server.config;
  std::memset(&config, 0, sizeof config);
  config.IpAddress = ReadAddress(Attribute(element, "IpAddress"));
  config.Port = ReadPort(Attribute(element, "Port"));
  CopyText(CleanText(Attribute(element, "Source"), kSourceCapacity - 1), config.Source);
  config.SizeBytes = ReadSectorsAsBytes(Attribute(element, "Capability"));
  config.Started = ReadInt32(Attribute(element, "Started"));
  config.Cache = ReadInt32(Attribute(element, "Cache"));
  config.AuthMode = ReadInt32(Attribute(element, "AuthMode"));
  ReadDigest(Attribute(element, "Password"), config.Password);
  ReadDigest(Attribute(element, "ManagePassword"), config.ManagePassword);
  for (xmlNode* child = element->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) server.static_clients.push_back(ReadClient(child));
  }
  return server;
}

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
          ? CleanText(std::string_view(client.hostName,
                                       strnlen(client.hostName, kHostNameCapacity - 1)),
                      kHostNameCapacity - 1)
          : std::string();
  return AddAttribute(element, "IpAddress", FormatAddress(client.address)) &&
         AddAttribute(element, "Access", std::to_string(client.access)) &&
         AddAttribute(element, "HasName", client.nameState == kNameKnown ? "1" : "0") &&
         AddAttribute(element, "HostName", host_name);
}

bool WriteServer(xmlNode* root, const registry::StoredServer& server) {
  const ServerConfig& config = server.config;
  xmlNode* element = xmlNewChild(root, nullptr, X("Server"), nullptr);
  if (element == nullptr) return false;
  const std::string source = CleanText(
      std::string_view(config.Source, strnlen(config.Source, kSourceCapacity - 1)),
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

std::optional<std::vector<registry::StoredServer>> ParseConfiguration(std::string_view xml) {
  XmlDocument doc = ParseXml(xml);
  if (!doc) return std::nullopt;
  std::vector<registry::StoredServer> servers;
  for (xmlNode* child = xmlDocGetRootElement(doc.get())->children; child != nullptr;
       child = child->next) {
    if (child->type == XML_ELEMENT_NODE) servers.push_back(ReadServer(child));
  }
  return servers;
}

Result<std::string> FormatConfiguration(const std::vector<registry::StoredServer>& servers,
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
  for (const registry::StoredServer& server : servers) {
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

void ConfigurationStore::LoadConfiguration(const LoadServerFn& load_server) {
  const std::string path = ConfigurationPath();
  try {
    Result<std::string> data = platform::ReadWholeFile(path, kMaxConfigurationBytes);
    std::optional<std::vector<registry::StoredServer>> servers;
    std::string problem;
    if (data.ok()) {
      servers = ParseConfiguration(*data);
      if (!servers) problem = "not a well-formed XML document";
    } else if (data.status().code() != ERROR_FILE_NOT_FOUND &&
               data.status().code() != ERROR_PATH_NOT_FOUND) {
      problem = data.status().message();
    }
    if (!problem.empty()) {
      // The next save would overwrite it; keep what the administrator had.
      const std::string kept = directory_ + "/" + kBrokenFileName;
      const std::string outcome = platform::ReplaceFileSynced(path, kept).ok()
                                      ? "kept as " + kept
                                      : "starting with an empty configuration";
      platform::ConsolePrintf("%s: %s; %s\n", path.c_str(), problem.c_str(), outcome.c_str());
    }
    if (servers) {
      for (const registry::StoredServer& server : *servers) {
        load_server(server.config, server.static_clients);
      }
    }
  } catch (const std::exception& e) {
    platform::ConsolePrintf("%s: load failed: %s\n", path.c_str(), e.what());
  }
  loaded_ = true;
}

Status ConfigurationStore::SaveConfiguration(const std::vector<registry::StoredServer>& servers) {
  if (!loaded_) return Status::Ok();
  try {
    const std::string backup = BackupPath();
    // A Locals.bak.xml left by a save whose rename failed lends its root.
    Result<std::string> previous = platform::ReadWholeFile(backup, kMaxConfigurationBytes);
    Result<std::string> bytes =
        FormatConfiguration(servers, previous.ok() ? std::string_view(*previous) : std::string_view());
    Status status = bytes.ok() ? platform::WriteFileSynced(backup, *bytes) : bytes.status();
    if (status.ok()) status = platform::ReplaceFileSynced(backup, ConfigurationPath());
    if (!status.ok()) {
      platform::ConsolePrintf("%s: not saved: %s\n", ConfigurationPath().c_str(),
                              status.message().c_str());
    }
    return status;
  } catch (const std::exception& e) {
    return Status(ERROR_NOT_ENOUGH_MEMORY, std::string("save failed: ") + e.what());
  }
}

}  // namespace quensaria::store
