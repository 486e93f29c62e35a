// A small owner of libxml2 documents for the configuration store: a parse
// that a malformed or hostile file cannot turn into a crash or runaway memory
// (no network, no DTD loading, no entity substitution, the library's default
// depth and size limits, and no document with a DOCTYPE at all), and a
// serialisation into a named encoding that fails cleanly. Errors never go to
// standard error. Call InitXml once before threads use these.
#ifndef QUENSARIA_SERVICE_STORE_XML_DOCUMENT_H_
#define QUENSARIA_SERVICE_STORE_XML_DOCUMENT_H_

#include <libxml/tree.h>

#include <memory>
#include <string>
#include <string_view>

#include "shared/status.h"

namespace quensaria::store {

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocument = std::unique_ptr<xmlDoc, XmlDocFree>;

void InitXml();

// The document in `data`, or null when it is not well-formed, has no root
// element, or carries a DOCTYPE.
XmlDocument ParseXml(std::string_view data);

// `doc` as bytes in `encoding`, with its XML declaration; characters the
// encoding cannot hold become character references.
Result<std::string> SerializeXml(xmlDoc* doc, const char* encoding);

// The value of attribute `name` of `element`, if present.
bool GetAttribute(xmlNode* element, const char* name, std::string& value);

}  // namespace quensaria::store

#endif  // QUENSARIA_SERVICE_STORE_XML_DOCUMENT_H_
