// replication_xml.h: small owners and helpers around libxml2 shared by the
// metadata export and import. Internal to metadata/.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>

// Owns an xmlDoc: xmlFreeDoc on every path.
struct XmlDocFree {
  void operator()(xmlDoc *doc) const {
    if (doc) xmlFreeDoc(doc);
  }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

// Owns a buffer allocated by libxml2 (node contents, dumped documents).
struct XmlBufferFree {
  void operator()(xmlChar *p) const {
    if (p) xmlFree(p);
  }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlBufferFree>;

inline const char *xmlText(const xmlChar *s) { return reinterpret_cast<const char *>(s); }
inline const xmlChar *xmlName(const char *s) { return reinterpret_cast<const xmlChar *>(s); }

// First element child of parent named name, or null.
inline xmlNode *xmlChildElement(xmlNode *parent, const char *name) {
  if (!parent) return nullptr;
  for (xmlNode *c = parent->children; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE && strcmp(xmlText(c->name), name) == 0) return c;
  return nullptr;
}
