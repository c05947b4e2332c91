#include "xml.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compat.h"
#include "fetch.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "protocol.h"
#include "settings.h"

TiXmlDocument *sectionxml = nullptr;
TiXmlDocument *document = nullptr;
pthread_mutex_t documentlock = PTHREAD_MUTEX_INITIALIZER;
time_t documentsynctime = 0;

// ---------------------------------------------------------------------------
// Parsing with bounds

int xml_nesting_depth(const char *text, size_t length, int limit) {
    int depth = 0, deepest = 0;
    size_t i = 0;
    auto skip_past = [&](const char *end) {
        size_t n = strlen(end);
        while (i + n <= length && memcmp(text + i, end, n) != 0) i++;
        i = i + n <= length ? i + n : length;
    };
    while (i < length && deepest <= limit) {
        if (text[i] != '<') {
            i++;
            continue;
        }
        if (length - i >= 4 && memcmp(text + i, "<!--", 4) == 0) {
            skip_past("-->");
        } else if (length - i >= 9 && memcmp(text + i, "<![CDATA[", 9) == 0) {
            skip_past("]]>");
        } else if (length - i >= 2 && (text[i + 1] == '?' || text[i + 1] == '!')) {
            skip_past(">");
        } else if (length - i >= 2 && text[i + 1] == '/') {
            if (depth > 0) depth--;
            skip_past(">");
        } else {
            // An opening tag: to its '>' outside quotes; "/>" closes it too.
            char quote = 0;
            bool empty = false;
            for (i++; i < length; i++) {
                char c = text[i];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    empty = text[i - 1] == '/';
                    break;
                }
            }
            i++;
            if (!empty && ++depth > deepest) deepest = depth;
        }
    }
    return deepest;
}

bool xml_text_parse(TiXmlDocument *doc, const std::string &text, std::string *why) {
    char line[160];
    if (xml_nesting_depth(text.data(), text.size()) > XML_DEPTH_MAX) {
        snprintf(line, sizeof line, "elements nested deeper than %d", XML_DEPTH_MAX);
        *why = line;
        return false;
    }
    // Line ends as the file loader gives them: CR LF and lone CR become LF.
    std::string normal;
    normal.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\r') normal += text[i];
        else if (i + 1 >= text.size() || text[i + 1] != '\n') normal += '\n';
    }
    // The parser steps over a multi-byte sequence by its lead byte alone: a
    // sequence cut at the end would take it past the terminator, into the
    // padding rather than beyond the buffer.
    normal.append(8, '\0');
    doc->Parse(normal.c_str());
    if (doc->Error()) {
        snprintf(line, sizeof line, "%s (line %d, column %d)", doc->ErrorDesc() ? doc->ErrorDesc() : "parse error",
                 doc->ErrorRow(), doc->ErrorCol());
        *why = line;
        return false;
    }
    if (strlen(text.c_str()) != text.size()) {
        *why = "NUL byte in the document";
        return false;
    }
    return true;
}

bool xml_document_parse(TiXmlDocument *doc, const std::string &text, const char *root, std::string *why) {
    char line[160];
    if (!xml_text_parse(doc, text, why)) return false;
    if (!doc->RootElement() || strcmp(doc->RootElement()->Value(), root) != 0) {
        snprintf(line, sizeof line, "the top element is not \"%s\"", root);
        *why = line;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Cursor

TiXmlElement *section_select(TiXmlDocument *doc, const std::string &section) {
    TiXmlElement *root = doc ? doc->FirstChildElement("korvantel") : nullptr;
    if (!root) fatal_assert("src/xml", __LINE__, "section_select");
    TiXmlElement *element = root->FirstChildElement(section.c_str());
    if (!element) throw ConfigError();
    return element;
}

XmlElement::XmlElement(TiXmlDocument *doc, const std::string &section)
    : current(section_select(doc, section)), section(section) {}

XmlElement::XmlElement(TiXmlDocument *doc, const std::string &section, const std::string &element)
    : current(nullptr), section(section), element(element) {
    TiXmlElement *parent = section_select(doc, section);
    current = parent->FirstChildElement(element.c_str());
}

bool XmlElement::next() {
    if (!current) return false;
    current = current->NextSiblingElement(element.c_str());
    return current != nullptr;
}

std::string XmlElement::string_read(const std::string &name) const {
    if (!current) return "";
    TiXmlElement *child = current->FirstChildElement(name.c_str());
    if (!child) return "";
    TiXmlNode *node = child->FirstChild();
    return node ? node->ValueStr() : "";
}

bool XmlElement::check_active(const std::string &name) const {
    if (!current) throw ConfigError();
    TiXmlElement *child = current->FirstChildElement(name.c_str());
    if (!child) throw ConfigError();
    const char *active = child->Attribute("active");
    if (!active || strcasecmp(active, "true") == 0) return true;
    if (strcasecmp(active, "false") == 0) return false;
    throw ConfigError();
}

// ---------------------------------------------------------------------------
// Fields

std::string Field::flaw(const XmlElement &cursor) const {
    return "flawed XML file, section " + cursor.section_get() + ", element " + cursor.element_get() + ": " + name +
           " must be " + nature() + ", but it is given value " + string_value;
}

void Field::error_log(const XmlElement &cursor) const {
    putlog(LOG_ERROR, "%s", flaw(cursor).c_str());
    fatal_assert("src/section", __LINE__, "error_log");
}

// Selects the value at index (and no other) in a select list.
static void select_only(StringSelectVector &values, int index) {
    for (size_t i = 0; i < values.size(); i++) values[i].selected = (int)i == index;
}

void Field::load(XmlElement &cursor) {
    if (!load_value(cursor)) error_log(cursor);
}

bool Field::load_value(XmlElement &cursor) {
    if (!enabled) return true;
    string_value = cursor.string_read(name);
    if (optional) {
        active = cursor.check_active(name);
        if (!active) return true;
    }
    try {
        switch (type) {
            case FIELD_INT: int_value = string_to_int(string_value); break;
            case FIELD_UINT: uint_value = string_to_uint(string_value); break;
            case FIELD_BOOL:
                if (string_value == "true" || string_value == "TRUE") int_value = 1;
                else if (string_value == "false" || string_value == "FALSE") int_value = 0;
                else throw ConfigError();
                break;
            case FIELD_STRING_SELECT_ONE:
                for (size_t i = 0; i < select_vector.size(); i++) {
                    select_vector[i].selected = select_vector[i].value == string_value;
                    if (select_vector[i].selected) int_value = (int)i;
                }
                break;
            case FIELD_STRING_SELECT_MANY: {
                string_list.clear();
                string_list.parse(string_value, ",");
                unsigned int mask = 0;
                for (size_t i = 0; i < select_vector.size(); i++) {
                    select_vector[i].selected = string_list.has(select_vector[i].value);
                    if (select_vector[i].selected && i < FIELD_SELECT_MANY_MAX) mask |= 1u << i;
                }
                int_value = (int)mask;
                break;
            }
            case FIELD_STRING_LIST:
                string_list.clear();
                string_list.parse(string_value, ",");
                break;
            case FIELD_IP_RANGE_LIST: {
                IpRangeList ranges(string_value);
                ip_range_list = ranges;
                break;
            }
            case FIELD_PORT_RANGE_LIST: {
                PortRangeList ranges(string_value);
                port_range_list = ranges;
                break;
            }
            case FIELD_STRING_RANGE: {
                Couple pair(string_value);
                int first = select_vector.case_indexof(pair.first());
                int second = select_vector2.case_indexof(pair.second());
                int_value = first;
                int_value2 = second;
                select_only(select_vector, first);
                select_only(select_vector2, second);
                break;
            }
            case FIELD_INT_RANGE: {
                Couple pair(string_value);
                int first = string_to_int(pair.first());
                int second = string_to_int(pair.second());
                if (first < low || first > high || second < low || second > high) throw ConfigError();
                int_value = first;
                int_value2 = second;
                break;
            }
            case FIELD_FILE_SIZE: uint_value = string_to_filesize(string_value); break;
            case FIELD_LONG_FILE_SIZE: ulonglong_value = string_to_longfilesize(string_value); break;
            case FIELD_DOUBLE: double_value = string_to_double(string_value); break;
            default:  // STRING, MULTILINE_STRING, code 9: the text alone
                break;
        }
    } catch (const ConfigError &) {
        return false;
    }
    return true;
}

void Field::save(TiXmlElement *parent) const {
    TiXmlElement *element = new TiXmlElement(name.c_str());
    if (optional) element->SetAttribute("active", active ? "true" : "false");
    if (!element->LinkEndChild(new TiXmlText(string_value.c_str()))) fatal_assert("src/section", __LINE__, "save");
    if (!parent->LinkEndChild(element)) fatal_assert("src/section", __LINE__, "save");
}

void FieldVector::save(TiXmlElement *parent) const {
    for (const Field &field : *this) field.save(parent);
}

// ---------------------------------------------------------------------------
// Sections

// The complaint about an entry whose pattern does not compile.
static std::string pattern_flaw(const std::string &section, const std::string &element, const Field &field) {
    return "flawed XML file, section " + section + ", element " + element + ": " + field.name +
           " must be a valid regular expression, but it is given value " + field.string_value;
}

void Section::load(TiXmlDocument *doc, int clear) {
    XmlElement cursor(doc, name);
    SectionWriteLock lock(this);
    for (Field &option : options) option.load(cursor);
    for (size_t index = 0; index < subsections.size(); index++) {
        Subsection &subsection = subsections[index];
        XmlElement entry(doc, name, subsection.name);
        if (clear) subsection.items.clear();
        for (; entry.full(); entry.next()) {
            subsection.items.emplace_back(subsection, &entry);
            const Field *fault = pattern_fault(index, subsection.items.back().fields);
            if (!fault) continue;
            putlog(LOG_ERROR, "%s", pattern_flaw(name, subsection.name, *fault).c_str());
            fatal_assert("src/section", __LINE__, "load");
        }
    }
    update();
}

bool Section::load_check(TiXmlDocument *doc, std::string *why) {
    try {
        XmlElement cursor(doc, name);
        FieldVector values;
        {
            SectionReadLock lock(this);
            values = options;
        }
        for (Field &option : values) {
            if (option.load_value(cursor)) continue;
            *why = option.flaw(cursor);
            return false;
        }
    } catch (const ConfigError &) {
        return true;  // load() would keep the section, or stop before its entries
    }
    // Templates and subsection names never change after construction.
    for (size_t index = 0; index < subsections.size(); index++) {
        const Subsection &subsection = subsections[index];
        for (XmlElement entry(doc, name, subsection.name); entry.full(); entry.next()) {
            FieldVector fields = subsection.templ;
            for (Field &field : fields) {
                try {
                    if (field.load_value(entry)) continue;
                    *why = field.flaw(entry);
                    return false;
                } catch (const ConfigError &) {
                    // As in the load: that field keeps the template's state.
                }
            }
            const Field *fault = pattern_fault(index, fields);
            if (!fault) continue;
            *why = pattern_flaw(name, subsection.name, *fault);
            return false;
        }
    }
    return true;
}

void Section::save(TiXmlDocument *doc) {
    SectionReadLock lock(this);
    TiXmlElement *element;
    try {
        element = section_select(doc, name);
    } catch (const ConfigError &) {
        TiXmlElement *root = doc->FirstChildElement("korvantel");
        element = root->LinkEndChild(new TiXmlElement(name.c_str()))->ToElement();
        if (!element) fatal_assert("src/section", __LINE__, "save");
    }
    element->Clear();
    options.save(element);
    for (const Subsection &subsection : subsections) {
        for (const Item &item : subsection.items) {
            TiXmlElement *entry = new TiXmlElement(subsection.name.c_str());
            item.fields.save(entry);
            if (!element->LinkEndChild(entry)) fatal_assert("src/section", __LINE__, "save");
        }
    }
}

// ---------------------------------------------------------------------------
// The document

void config_xml_build() {
    if (!document) return;
    for (std::map<std::string, Section *>::iterator it = Section::map.begin(); it != Section::map.end(); ++it)
        it->second->save(document);
}

// Puts a freshly parsed document in place of the current one and loads every
// section from it; the caller holds documentlock. A document whose root is
// not "korvantel" is refused (a later save or export could not use it).
// Every section is checked before any is loaded, so a refused document
// leaves the whole running configuration as it was; only at start-up does
// a refused value end the program.
static bool document_install(TiXmlDocument *fresh, const char *origin, int clear, bool starting) {
    LoadingScope loading_now;
    TiXmlElement *root = fresh->RootElement();
    if (!root || root->ValueStr() != "korvantel") {
        putlog(LOG_ERROR, "configuration %s: the root element must be korvantel", origin);
        delete fresh;
        return false;
    }
    for (std::map<std::string, Section *>::iterator it = Section::map.begin(); it != Section::map.end(); ++it) {
        std::string why;
        if (it->second->load_check(fresh, &why)) continue;
        putlog(LOG_ERROR, "%s", why.c_str());
        if (starting) fatal_assert("src/section", __LINE__, "error_log");
        putlog(LOG_ERROR, "configuration %s not loaded: the running configuration stays", origin);
        delete fresh;
        return false;
    }
    delete document;
    document = fresh;
    for (std::map<std::string, Section *>::iterator it = Section::map.begin(); it != Section::map.end(); ++it) {
        try {
            it->second->load(document, clear);
        } catch (const ConfigError &) {
            // That section keeps what it had; the others still load.
        }
    }
    return true;
}

int config_load(int clear, const char *name, bool starting) {
    if (!name) return 0;
    char **pieces = string_break(name, ':');
    int count = array_length(pieces);
    array_free(pieces);
    if (count >= 2) return config_url_load(name, clear, starting);

    MutexLock held(&documentlock);
    if (TiXmlBase::IsWhiteSpaceCondensed()) TiXmlBase::SetCondenseWhiteSpace(false);
    FILE *file = s_fopen(name, "rb");
    if (!file) {
        putlog(LOG_ERROR, "cannot read configuration file %s: %s", name, strerror(errno));
        return 0;
    }
    std::string text;
    char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
    bool failed = ferror(file) != 0;
    fclose(file);
    TiXmlDocument *fresh = new TiXmlDocument(name);
    std::string why = failed ? strerror(errno) : "";
    if (failed || !xml_document_parse(fresh, text, "korvantel", &why)) {
        putlog(LOG_ERROR, "flawed XML file %s: %s", name, why.c_str());
        delete fresh;
        return 0;
    }
    if (!document_install(fresh, name, clear, starting)) return 0;
    if (!slave) documentsynctime = time(nullptr);
    return 1;
}

int config_url_load(const char *url_text, int clear, bool starting) {
    LoadingScope loading_now;
    // The whole URL: a cut one would fetch another document.
    const std::string text = url_text ? url_text : "";
    const char *buffer = text.c_str();
    URL *url = url_parse(buffer);
    if (!url) return 0;
    std::string body;
    int status = config_fetch(url, &body);
    url_free(url);
    if (status != 200) return 0;

    MutexLock held(&documentlock);
    if (TiXmlBase::IsWhiteSpaceCondensed()) TiXmlBase::SetCondenseWhiteSpace(false);
    TiXmlDocument *fresh = new TiXmlDocument();
    std::string why;
    if (!xml_document_parse(fresh, body, "korvantel", &why)) {
        putlog(LOG_ERROR, "flawed XML file %s: %s", buffer, why.c_str());
        delete fresh;
        return 0;
    }
    return document_install(fresh, buffer, clear, starting) ? 1 : 0;
}

// Removes the temporary files of earlier saves of target that never ended
// (the process was killed while writing): "<name>.XXXXXX" as mkostemp makes
// them, six letters or digits after the dot.
static void leftovers_remove(const std::string &target) {
    size_t slash = target.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string base = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".";
    DIR *listing = opendir(directory.c_str());
    if (!listing) return;
    while (struct dirent *entry = readdir(listing)) {
        const char *name = entry->d_name;
        if (strlen(name) != base.size() + 6 || strncmp(name, base.c_str(), base.size()) != 0) continue;
        bool generated = true;
        for (const char *p = name + base.size(); *p; p++)
            generated = generated && (isalnum((unsigned char)*p) != 0);
        if (!generated) continue;
        std::string path = directory + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(path.c_str()) == 0)
            putlog(LOG_WARNING, "removed %s, left by a save that did not end", path.c_str());
    }
    closedir(listing);
}

// Writes the document to a temporary file beside path and renames it over
// path; any failure removes the temporary file and leaves path untouched.
static bool document_write(TiXmlDocument *doc, const char *path) {
    if (!path || !*path) return false;
    // Write beside the real file, so that a symbolic link stays a link.
    char real[PATH_MAX];
    const char *target = realpath(path, real) ? real : path;
    leftovers_remove(target);
    std::string temporary = std::string(target) + ".XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd == -1) {
        putlog(LOG_ERROR, "cannot save configuration to %s: %s", path, strerror(errno));
        return false;
    }
    // The new file takes the place of the old one: same owner and mode.
    struct stat old;
    if (stat(target, &old) == 0) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not permitted: the file stays ours.
        }
        fchmod(fd, old.st_mode & 07777);
    } else {
        fchmod(fd, 0640);
    }
    FILE *file = fdopen(fd, "w");
    if (!file) {
        close(fd);
        unlink(name.data());
        return false;
    }
    bool written = doc->SaveFile(file);
    written = written && !ferror(file) && fflush(file) == 0 && fsync(fd) == 0;
    int saved_errno = errno;
    if (fclose(file) != 0) written = false;
    if (written && rename(name.data(), target) != 0) {
        saved_errno = errno;
        written = false;
    }
    if (!written) {
        putlog(LOG_ERROR, "cannot save configuration to %s: %s", path, strerror(saved_errno));
        unlink(name.data());
        return false;
    }
    // Make the rename itself durable.
    std::string directory(target);
    size_t slash = directory.rfind('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
    int dirfd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd != -1) {
        fsync(dirfd);
        close(dirfd);
    }
    return true;
}

bool config_save(const char *path) {
    MutexLock held(&documentlock);
    if (!document) return false;
    config_xml_build();
    return document_write(document, path);
}
