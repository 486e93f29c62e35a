// Reading Locals.xml into StoredServer records. Every child element of
// the root is a server, whatever its name; under a server only `Client`
// elements are static clients, other elements are skipped.
//
// Reading never fails on a value: one that cannot be taken as written reads
// as its field's default and is noted with the line of its element. The
// defaults never open access: an `Access` that is missing or not 0, 1 or 2
// reads as 2 (refused); a client whose `IpAddress` is not an address is
// skipped rather than read as "Any Address"; a digest that is missing or
// not 40 hexadecimal digits reads as 20 zero bytes, which no log-on matches.
// Other numbers read as 0; text is cut to its field (Source 259 bytes,
// HostName 127) on a character boundary.
#ifndef QUENSARIA_SERVICE_STORE_CONFIGURATION_READER_H_
#define QUENSARIA_SERVICE_STORE_CONFIGURATION_READER_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/stored_server.h"

namespace quensaria::store {

struct ReadNote {
  long line = 0;  // of the element the value belongs to
  // Which element ("Server 2 Client 5", counting from 1), what was not
  // taken, and what was read instead.
  std::string text;
  // A save would not write back what the file says (a value was cut,
  // replaced or dropped), as opposed to a value written back as it is.
  bool changed = false;
};

struct ConfigurationReading {
  std::vector<StoredServer> servers;
  std::vector<ReadNote> notes;  // in file order
  bool changed() const;
};

// The servers of an XML document in file order with the notes on its
// values, or nullopt when `xml` is not a well-formed document.
std::optional<ConfigurationReading> ReadConfiguration(std::string_view xml);

// The same without the notes.
std::optional<std::vector<StoredServer>> ParseConfiguration(std::string_view xml);

}  // namespace quensaria::store

#endif  // QUENSARIA_SERVICE_STORE_CONFIGURATION_READER_H_
