#include "service/store/configuration_reader.h"

#include <libxml/tree.h>

#include <algorithm>
#include <cstring>

#include "service/store/attribute_forms.h"
#include "service/store/xml_document.h"
#include "shared/block_protocol.h"

namespace quensaria::store {
namespace {

// Values in notes are shown at most this long, so that a note always fits
// a console line.
constexpr size_t kShownBytes = 64;

std::string Shown(std::string_view value) {
  std::string shown = CleanText(value, kShownBytes);
  std::replace_if(
      shown.begin(), shown.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
  return "\"" + shown + (shown.size() < value.size() ? "...\"" : "\"");
}

template <size_t N>
void CopyText(const std::string& text, char (&field)[N]) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

class Reader {
 public:
  explicit Reader(std::vector<ReadNote>& notes) : notes_(notes) {}

  // The `index`th (from 1) child element of the root.
  StoredServer Server(xmlNode* element, size_t index) {
    where_ = "Server " + std::to_string(index);
    StoredServer server;
    ServerConfig& config = server.config;
    std::memset(&config, 0, sizeof config);
    config.IpAddress = Number(element, "IpAddress", ParseAddress);
    config.Port = Number(element, "Port", ParsePort);
    Text(element, "Source", config.Source);
    config.SizeBytes = Number(element, "Capability", ParseSectorsAsBytes);
    config.Started = Number(element, "Started", ParseInt32);
    config.Cache = Number(element, "Cache", ParseInt32);
    config.AuthMode = Number(element, "AuthMode", ParseInt32);
    Digest(element, "Password", config.Password);
    Digest(element, "ManagePassword", config.ManagePassword);
    const std::string in_server = where_;
    size_t clients = 0;
    for (xmlNode* child = element->children; child != nullptr; child = child->next) {
      if (child->type != XML_ELEMENT_NODE) continue;
      where_ = in_server;
      if (xmlStrcmp(child->name, reinterpret_cast<const xmlChar*>("Client")) != 0) {
        Note(
            child, true,
            "element " + Shown(reinterpret_cast<const char*>(child->name)) + " not taken: skipped");
        continue;
      }
      where_ = in_server + " Client " + std::to_string(++clients);
      ClientEntry client;
      if (Client(child, client)) server.static_clients.push_back(client);
    }
    return server;
  }

 private:
  void Note(xmlNode* element, bool changed, const std::string& text) {
    notes_.push_back(ReadNote{xmlGetLineNo(element), where_ + ": " + text, changed});
  }

  // False when the client is not taken at all.
  bool Client(xmlNode* element, ClientEntry& client) {
    std::memset(&client, 0, sizeof client);
    std::string address;
    if (GetAttribute(element, "IpAddress", address) && !ParseAddress(address)) {
      // Read as 0 it would admit every address.
      Note(element, true, "IpAddress " + Shown(address) + " not taken: client skipped");
      return false;
    }
    if (address.empty() && !GetAttribute(element, "IpAddress", address)) {
      Note(element, false, "IpAddress missing: read as 0 (Any Address)");
    }
    client.address = ParseAddress(address).value_or(0);
    std::string access;
    if (!GetAttribute(element, "Access", access)) {
      Note(element, false, "Access missing: read as 2 (refused)");
      client.access = ACCESS_REFUSED;
    } else if (const auto level = ParseByte(access); level && *level <= ACCESS_REFUSED) {
      client.access = *level;
    } else {
      Note(element, true, "Access " + Shown(access) + " not taken: read as 2 (refused)");
      client.access = ACCESS_REFUSED;
    }
    client.nameState = Number(element, "HasName", ParseByte);
    if (client.nameState != 0) Text(element, "HostName", client.hostName);
    return true;
  }

  // A missing number reads as 0 as well, but loses nothing.
  template <typename T>
  T Number(xmlNode* element, const char* name, std::optional<T> (*parse)(std::string_view)) {
    std::string text;
    if (!GetAttribute(element, name, text)) return T{};
    const std::optional<T> value = parse(text);
    if (value) return *value;
    Note(element, true, std::string(name) + " " + Shown(text) + " not taken: read as 0");
    return T{};
  }

  template <size_t N>
  void Text(xmlNode* element, const char* name, char (&field)[N]) {
    std::string text;
    GetAttribute(element, name, text);
    const std::string clean = CleanText(text, N - 1);
    if (clean != text) {
      Note(element, true,
           std::string(name) + " " + Shown(text) + " not taken whole: " +
               (text.size() > N - 1 ? "cut to " + std::to_string(N - 1) + " bytes"
                                    : "characters the file cannot hold replaced"));
    }
    CopyText(clean, field);
  }

  void Digest(xmlNode* element, const char* name, uint8_t* digest) {
    std::memset(digest, 0, kDigestSize);
    std::string text;
    if (!GetAttribute(element, name, text)) {
      Note(element, false, std::string(name) + " missing: no log-on matches it");
    } else if (!ParseDigest(text, digest)) {
      // Not the value: one mistyped digit away from a digest, it would log on
      // for whoever reads the console.
      Note(element, true,
           std::string(name) + " of " + std::to_string(text.size()) +
               " characters, not 40 hexadecimal digits, not taken: no log-on matches it");
    } else if (std::all_of(digest, digest + kDigestSize, [](uint8_t b) { return b == 0; })) {
      Note(element, false,
           std::string(name) + " " + Shown(text) +
               " (20 zero bytes) not taken: no log-on matches it");
    }
  }

  std::vector<ReadNote>& notes_;
  std::string where_;  // "Server 2 Client 5": which element, for one-line files
};

}  // namespace

bool ConfigurationReading::changed() const {
  return std::any_of(notes.begin(), notes.end(), [](const ReadNote& n) { return n.changed; });
}

std::optional<ConfigurationReading> ReadConfiguration(std::string_view xml) {
  XmlDocument doc = ParseXml(xml);
  if (!doc) return std::nullopt;
  ConfigurationReading reading;
  Reader reader(reading.notes);
  for (xmlNode* child = xmlDocGetRootElement(doc.get())->children; child != nullptr;
       child = child->next) {
    if (child->type == XML_ELEMENT_NODE) {
      reading.servers.push_back(reader.Server(child, reading.servers.size() + 1));
    }
  }
  return reading;
}

std::optional<std::vector<StoredServer>> ParseConfiguration(std::string_view xml) {
  std::optional<ConfigurationReading> reading = ReadConfiguration(xml);
  if (!reading) return std::nullopt;
  return std::move(reading->servers);
}

}  // namespace quensaria::store
