#include "tests/support/JUnitCheck.h"

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include <cstdarg>
#include <cstdio>

namespace zav::test {

namespace {
void Collect(void* ctx, const char* format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  *static_cast<std::string*>(ctx) += buf;
}
}  // namespace

std::string JUnitProblems(const std::string& xml) {
  std::string problems;
  xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(ZAV_JUNIT_SCHEMA);
  xmlSchemaPtr schema = parser ? xmlSchemaParse(parser) : nullptr;
  xmlDocPtr doc = xmlReadMemory(xml.data(), int(xml.size()), "report.xml", nullptr, XML_PARSE_NONET);
  if (schema == nullptr) {
    problems = "cannot load the schema " ZAV_JUNIT_SCHEMA;
  } else if (doc == nullptr) {
    problems = "not well-formed XML";
  } else {
    xmlSchemaValidCtxtPtr valid = xmlSchemaNewValidCtxt(schema);
    xmlSchemaSetValidErrors(valid, Collect, Collect, &problems);
    if (xmlSchemaValidateDoc(valid, doc) != 0 && problems.empty()) problems = "invalid";
    xmlSchemaFreeValidCtxt(valid);
  }
  if (doc) xmlFreeDoc(doc);
  if (schema) xmlSchemaFree(schema);
  if (parser) xmlSchemaFreeParserCtxt(parser);
  return problems;
}

}  // namespace zav::test
