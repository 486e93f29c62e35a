#include "service/store/xml_document.h"

#include <libxml/parser.h>
#include <libxml/xmlsave.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "shared/win32_error.h"

namespace quensaria::store {
namespace {

// Big lines: notes on values name lines past 65535 correctly.
constexpr int kParseOptions =
    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_BIG_LINES;

void IgnoreMessage(void*, const char*, ...) {}
void IgnoreError(void*, xmlError*) {}

// libxml2 reports some encoding errors through its per-thread handlers even
// when the parse options ask for silence.
void SilenceThisThread() {
  xmlSetGenericErrorFunc(nullptr, IgnoreMessage);
  xmlSetStructuredErrorFunc(nullptr, IgnoreError);
}

struct XmlFreeString {
  void operator()(xmlChar* text) const { xmlFree(text); }
};

}  // namespace

void InitXml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

XmlDocument ParseXml(std::string_view data) {
  InitXml();
  SilenceThisThread();
  if (data.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  XmlDocument doc(
      xmlReadMemory(data.data(), static_cast<int>(data.size()), nullptr, nullptr, kParseOptions));
  if (!doc) return nullptr;
  // Our files never carry a DTD; one can only serve entity tricks.
  if (doc->intSubset != nullptr || doc->extSubset != nullptr) return nullptr;
  if (xmlDocGetRootElement(doc.get()) == nullptr) return nullptr;
  return doc;
}

Result<std::string> SerializeXml(xmlDoc* doc, const char* encoding) {
  InitXml();
  SilenceThisThread();
  xmlBuffer* buffer = xmlBufferCreate();
  if (buffer == nullptr) return Status(ERROR_NOT_ENOUGH_MEMORY, "xml buffer");
  std::unique_ptr<xmlBuffer, void (*)(xmlBuffer*)> owner(buffer, xmlBufferFree);
  xmlSaveCtxt* save = xmlSaveToBuffer(buffer, encoding, 0);
  if (save == nullptr) return Status(ERROR_NOT_SUPPORTED, std::string("xml encoding ") + encoding);
  const long written = xmlSaveDoc(save, doc);
  const int closed = xmlSaveClose(save);
  // The bytes may hold password digests: wiped before the buffer goes.
  const auto wipe = [buffer] {
    xmlChar* content = const_cast<xmlChar*>(xmlBufferContent(buffer));
    if (content != nullptr) explicit_bzero(content, static_cast<size_t>(xmlBufferLength(buffer)));
  };
  if (written < 0 || closed < 0) {
    wipe();
    return Status(ERROR_INVALID_DATA, "xml serialisation failed");
  }
  std::string bytes(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                    static_cast<size_t>(xmlBufferLength(buffer)));
  wipe();
  return bytes;
}

bool GetAttribute(xmlNode* element, const char* name, std::string& value) {
  if (xmlHasProp(element, reinterpret_cast<const xmlChar*>(name)) == nullptr) return false;
  std::unique_ptr<xmlChar, XmlFreeString> text(
      xmlGetProp(element, reinterpret_cast<const xmlChar*>(name)));
  value = text ? reinterpret_cast<const char*>(text.get()) : "";
  return true;
}

}  // namespace quensaria::store
