// The configuration document: the XML file (root element "korvantel") that
// holds the values of every section, one element per section named after it,
// one element per option, and one element per entry named after its
// subsection. Loaded into the sections, rebuilt from them and written back.
//
// Lock order: documentlock before any section lock; nothing takes
// documentlock while it holds a section lock.
#ifndef KORVANTEL_XML_H
#define KORVANTEL_XML_H

#include <pthread.h>
#include <time.h>

#include <string>

#include <tinyxml.h>

#include "section.h"

// The section-definition document (root "section"), loaded at start-up; a
// module's own definition stands in for it while the module loads.
extern TiXmlDocument *sectionxml;

// The current configuration document, or null before the first successful
// load. Guarded by documentlock, as is documentsynctime.
extern TiXmlDocument *document;
extern pthread_mutex_t documentlock;
// Time of the last change of the configuration (file load on a master, web
// action, synchronisation): the export's Last-Modified.
extern time_t documentsynctime;

// Deepest element nesting a document may have. The parser recurses once per
// level, and documents are also parsed on worker threads with small stacks.
#define XML_DEPTH_MAX 256

// How deeply the elements of an XML text nest, counted without parsing
// (comments, CDATA, declarations and quoted attribute values skipped); the
// count stops early once it passes limit.
int xml_nesting_depth(const char *text, size_t length, int limit = XML_DEPTH_MAX);

// The one way to parse an XML text from outside (a file, a master, a URL, a
// scanner's answer): false with the reason (and the parser's line and
// column) in *why when the text nests too deeply, holds a NUL byte, or does
// not parse.
bool xml_text_parse(TiXmlDocument *doc, const std::string &text, std::string *why);
// The same for a configuration or definition document, which must also have
// the element `root` at its top.
bool xml_document_parse(TiXmlDocument *doc, const std::string &text, const char *root, std::string *why);

// The element of a section in a configuration document; ConfigError when the
// root has none. A document without a "korvantel" root is fatal.
TiXmlElement *section_select(TiXmlDocument *document, const std::string &section);

// Cursor through which fields read the document.
class XmlElement {
public:
    // On the section's element (ConfigError when the document has none).
    XmlElement(TiXmlDocument *document, const std::string &section);
    // On the first child element of the section's element with that name,
    // or on nothing.
    XmlElement(TiXmlDocument *document, const std::string &section, const std::string &element);

    bool full() const { return current != nullptr; }
    // To the next sibling with the same element name; false at the end.
    bool next();
    std::string section_get() const { return section; }
    std::string element_get() const { return element; }
    // Text of the first child element of that name; "" when it, or its
    // first node, is missing.
    std::string string_read(const std::string &name) const;
    // Its "active" attribute: absent or "true" (any case) true, "false" false,
    // anything else or no such element ConfigError.
    bool check_active(const std::string &name) const;

private:
    TiXmlElement *current;
    std::string section;
    std::string element;
};

// Loads the document named by name (a URL when it holds ":" with text on
// both sides, else a file) into every section in map order; clear empties
// every entry list before refilling it. 1 on success; 0 when the document
// cannot be read, fetched or parsed, has no "korvantel" root, or holds a
// value that a field refuses (or an entry pattern that does not compile),
// and then nothing changes. At start-up (starting) such a value ends the
// program with its "flawed XML file" line instead.
int config_load(int clear, const char *name, bool starting = false);
int config_url_load(const char *url_text, int clear, bool starting = false);
// Rebuilds the document from every section and writes it to path through a
// temporary file renamed over it, so a failed save leaves the old file whole.
// False when there is no document or the file cannot be written.
bool config_save(const char *path);
// Rebuilds the document from every section; the caller holds documentlock.
// Does nothing while there is no document.
void config_xml_build();

#endif
