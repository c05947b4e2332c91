#include "section.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <tinyxml.h>

#include "filebuf.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "regexp.h"
#include "xml.h"

std::map<std::string, Section *> Section::map;
std::atomic<int> Item::count(0);

// ---------------------------------------------------------------------------
// Reading the section-definition document

// The text of a definition element: its first child node's value, or "".
static std::string element_text(TiXmlElement *element) {
    if (!element) return "";
    TiXmlNode *node = element->FirstChild();
    return node ? node->ValueStr() : "";
}

// A required child that must carry text; fatal (with the constructing
// function's name) when it is missing or empty.
static std::string required_text(TiXmlElement *parent, const char *child, const std::string &where,
                                 const char *function) {
    TiXmlElement *element = parent->FirstChildElement(child);
    if (!element || !element->FirstChild()) {
        putlog(LOG_ERROR, "section definition: %s has no %s", where.c_str(), child);
        fatal_assert("src/section", __LINE__, function);
    }
    return element->FirstChild()->ValueStr();
}

// An optional "true"/other flag: the default when absent or without text.
static bool flag_text(TiXmlElement *parent, const char *child, bool absent) {
    TiXmlElement *element = parent->FirstChildElement(child);
    if (!element || !element->FirstChild()) return absent;
    return strcasecmp(element->FirstChild()->Value(), "true") == 0;
}

void FieldVector::parse(TiXmlElement *definition, const SelectLists &lists) {
    if (!definition) return;
    int position = 0;
    for (TiXmlElement *child = definition->FirstChildElement(); child; child = child->NextSiblingElement()) {
        const std::string name = child->ValueStr();
        int n;
        if (child->QueryIntAttribute("n", &n) != TIXML_SUCCESS || n != position) {
            putlog(LOG_ERROR, "section definition: field %s must have n=\"%d\"", name.c_str(), position);
            fatal_assert("src/section", __LINE__, "parse");
        }
        std::string comment = required_text(child, "comment", "field " + name, "parse");
        TiXmlElement *value_element = child->FirstChildElement("value");
        TiXmlElement *desc_element = child->FirstChildElement("desc");
        if (!value_element || !desc_element) {
            putlog(LOG_ERROR, "section definition: field %s has no %s", name.c_str(), value_element ? "desc" : "value");
            fatal_assert("src/section", __LINE__, "parse");
        }
        std::string value = element_text(value_element);
        unsigned int type = Field::type_get(required_text(child, "type", "field " + name, "parse"));
        bool optional = flag_text(child, "optional", false);
        std::string desc = element_text(desc_element);
        bool enabled = flag_text(child, "enabled", true);

        if (Field::is_select(type)) {
            SelectLists::const_iterator list = lists.find(value);
            StringSelectVector values;
            if (list != lists.end()) values = list->second;
            if (type == FIELD_STRING_SELECT_MANY && values.size() > FIELD_SELECT_MANY_MAX) {
                putlog(LOG_ERROR, "section definition: field %s selects among %u values, at most %d are possible",
                       name.c_str(), (unsigned)values.size(), FIELD_SELECT_MANY_MAX);
                fatal_assert("src/section", __LINE__, "parse");
            }
            push_back(Field(enabled, name, comment, desc, values, type, optional));
        } else {
            try {
                push_back(Field(enabled, name, comment, desc, value, type, optional));
            } catch (const ConfigError &) {
                // Start-up cannot go on with a default its own type refuses.
                putlog(LOG_ERROR, "section definition: field %s of type %s cannot take the default value %s",
                       name.c_str(), Field::type_name(type), value.c_str());
                fatal_assert("src/section", __LINE__, "parse");
            }
        }
        position = n + 1;
    }
}

void FieldVector::display(Filebuf *page) const {
    bool odd = false;
    for (const Field &field : *this) field.display(page, &odd);
}

// ---------------------------------------------------------------------------
// Entries

Item::Item(const Subsection &subsection, XmlElement *cursor)
    : id(count.fetch_add(1)),
      section_name(subsection.section_name),
      subsection_name(subsection.name),
      fields(subsection.templ) {
    if (!cursor) return;
    for (Field &field : fields) {
        try {
            field.load(*cursor);
        } catch (const ConfigError &) {
            // The field keeps the template's state; the others still load.
        }
    }
}

Item::Item(const Item &other)
    : id(count.fetch_add(1)),
      section_name(other.section_name),
      subsection_name(other.subsection_name),
      fields(other.fields) {}

bool Item::match(const regex_posix_t *name_pattern, const regex_posix_t *value_pattern) const {
    for (const Field &field : fields) {
        if (name_pattern && reg_exec(name_pattern, field.name.c_str()) != 0) continue;
        if (value_pattern && reg_exec(value_pattern, field.string_value.c_str()) != 0) continue;
        return true;
    }
    return false;
}

void Item::display(Filebuf *page, bool with_moves) const {
    page->Addf("<tr class=\"entrydialoghead\"><td>Option</td><td>Value</td></tr>\n");
    fields.display(page);
    page->Addf(
        "<tr><td colspan=\"2\" align=\"center\"><table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" "
        "width=\"100%%\">\n");
    const char *section = section_name.c_str();
    const char *subsection = subsection_name.c_str();
    page->Addf("<tr class=\"entrydialogfoot\">");
    page->Addf("<td><a href=\"config?section=%s&amp;subsection=%s&amp;dialog=show&amp;id=%d\">Edit</a></td>", section,
               subsection, id);
    page->Addf("<td><a href=\"config?section=%s&amp;subsection=%s&amp;action=delete&amp;id=%d\">Delete</a></td>",
               section, subsection, id);
    page->Addf("<td><a href=\"config?section=%s&amp;subsection=%s&amp;action=clone&amp;id=%d\">Clone</a></td>", section,
               subsection, id);
    if (with_moves) {
        page->Addf(
            "<td><a href=\"config?section=%s&amp;subsection=%s&amp;action=shift&amp;id=%d&amp;"
            "direction=up\">Up</a> <a href=\"config?section=%s&amp;subsection=%s&amp;action=shift&amp;"
            "id=%d&amp;direction=down\">Down</a></td>",
            section, subsection, id, section, subsection, id);
        page->Addf(
            "<td><a href=\"config?section=%s&amp;subsection=%s&amp;action=shift&amp;id=%d&amp;"
            "direction=top\">Top</a> <a href=\"config?section=%s&amp;subsection=%s&amp;action=shift&amp;"
            "id=%d&amp;direction=bottom\">Bottom</a></td>",
            section, subsection, id, section, subsection, id);
    }
    page->Addf("</tr>\n");
    page->Addf("</table></td></tr>\n");
}

// ---------------------------------------------------------------------------
// Sections

Section::Section(const std::string &name, int lock_type) : lock_type(lock_type), name(name) {
    map[name] = this;
    if (lock_type) pthread_mutex_init(&mutex, nullptr);
    else pthread_rwlock_init(&rwlock, nullptr);

    putlog(LOG_DEBUG, "Validating Section: %s", name.c_str());

    TiXmlElement *root = sectionxml ? sectionxml->FirstChildElement("section") : nullptr;
    TiXmlElement *element = root ? root->FirstChildElement(name.c_str()) : nullptr;
    if (!element) {
        putlog(LOG_ERROR, "section definition: no element for section %s", name.c_str());
        fatal_assert("src/section", __LINE__, "Section");
    }
    comment = required_text(element, "comment", "section " + name, "Section");
    desc = required_text(element, "desc", "section " + name, "Section");

    SelectLists lists;
    if (TiXmlElement *select = element->FirstChildElement("select")) {
        for (TiXmlElement *list = select->FirstChildElement(); list; list = list->NextSiblingElement()) {
            StringSelectVector values;
            for (TiXmlElement *value = list->FirstChildElement(); value; value = value->NextSiblingElement()) {
                TiXmlElement *label = value->FirstChildElement("comment");
                std::string text = label && label->FirstChild() ? element_text(label) : value->ValueStr();
                values.push_back(StringSelect(value->ValueStr(), text, element_text(value->FirstChildElement("desc")),
                                              flag_text(value, "value", false)));
            }
            lists[list->ValueStr()] = values;
        }
    }

    TiXmlElement *global = element->FirstChildElement("global");
    if (!global) {
        putlog(LOG_ERROR, "section definition: section %s has no global", name.c_str());
        fatal_assert("src/section", __LINE__, "Section");
    }
    options.parse(global, lists);

    std::map<std::string, FieldVector> templates;
    if (TiXmlElement *templ = element->FirstChildElement("template")) {
        for (TiXmlElement *t = templ->FirstChildElement(); t; t = t->NextSiblingElement())
            templates[t->ValueStr()] = FieldVector(t, lists);
    }

    if (TiXmlElement *subsection = element->FirstChildElement("subsection")) {
        for (TiXmlElement *s = subsection->FirstChildElement(); s; s = s->NextSiblingElement()) {
            std::string where = "subsection " + s->ValueStr();
            std::string sub_comment = required_text(s, "comment", where, "Section");
            std::string templ_name = required_text(s, "template", where, "Section");
            std::string sub_desc = required_text(s, "desc", where, "Section");
            bool enabled = flag_text(s, "enabled", true);
            std::map<std::string, FieldVector>::const_iterator t = templates.find(templ_name);
            subsections.push_back(Subsection(enabled, name, s->ValueStr(), sub_comment, sub_desc,
                                             t != templates.end() ? t->second : FieldVector()));
        }
    }
}

Section::~Section() {
    std::map<std::string, Section *>::iterator entry = map.find(name);
    if (entry != map.end() && entry->second == this) map.erase(entry);
    if (lock_type) pthread_mutex_destroy(&mutex);
    else pthread_rwlock_destroy(&rwlock);
}

void Section::read_lock() {
    if (lock_type) pthread_mutex_lock(&mutex);
    else pthread_rwlock_rdlock(&rwlock);
}

void Section::write_lock() {
    if (lock_type) pthread_mutex_lock(&mutex);
    else pthread_rwlock_wrlock(&rwlock);
}

void Section::unlock() {
    if (lock_type) pthread_mutex_unlock(&mutex);
    else pthread_rwlock_unlock(&rwlock);
}

void Section::mutex_lock() {
    if (!lock_type) fatal_assert("src/section", __LINE__, "mutex_lock");
    pthread_mutex_lock(&mutex);
}

int Section::cond_wait(pthread_cond_t *condition) {
    if (!lock_type) fatal_assert("src/section", __LINE__, "cond_wait");
    return pthread_cond_wait(condition, &mutex);
}

int Section::cond_timedwait(pthread_cond_t *condition, const struct timespec *deadline) {
    if (!lock_type) fatal_assert("src/section", __LINE__, "cond_timedwait");
    return pthread_cond_timedwait(condition, &mutex, deadline);
}

template <typename T>
T Section::read_value(const T *value) {
    SectionReadLock lock(this);
    return *value;
}

int Section::atomic_read(const int *value) { return read_value(value); }
unsigned int Section::atomic_read(const unsigned int *value) { return read_value(value); }
long Section::atomic_read(const long *value) { return read_value(value); }
unsigned long Section::atomic_read(const unsigned long *value) { return read_value(value); }

int Section::pattern_kind(size_t, size_t) const { return PATTERN_NONE; }

const Field *Section::pattern_fault(size_t subsection, const FieldVector &fields) const {
    for (size_t position = 0; position < fields.size(); position++) {
        const Field &field = fields[position];
        if (!field.enabled || field.string_value.empty()) continue;
        int kind = pattern_kind(subsection, position);
        if (kind == PATTERN_MATCH) {
            regex_posix_t *compiled = reg_compile(field.string_value.c_str(), 1);
            if (!compiled) return &field;
            reg_free(compiled);
        } else if (kind == PATTERN_SUB) {
            regex_sub_t *compiled = reg_sub_compile(field.string_value.c_str(), 15);
            if (!compiled) return &field;
            reg_sub_free(compiled);
        }
    }
    return nullptr;
}

std::string Section::name_get() {
    SectionReadLock lock(this);
    return name;
}

std::string Section::comment_get() {
    SectionReadLock lock(this);
    return comment;
}

Subsection *Section::subsection_get(const std::string &wanted) {
    for (Subsection &subsection : subsections)
        if (subsection.name == wanted) return &subsection;
    return nullptr;
}

bool Section::item_iterator_get(int id, Subsection **subsection, ItemList::iterator *position) {
    for (Subsection &s : subsections) {
        for (ItemList::iterator it = s.items.begin(); it != s.items.end(); ++it) {
            if (it->id == id) {
                if (subsection) *subsection = &s;
                if (position) *position = it;
                return true;
            }
        }
    }
    return false;
}

Item *Section::item_get(int id) {
    ItemList::iterator position;
    if (!item_iterator_get(id, nullptr, &position)) return nullptr;
    return &*position;
}

// ---------------------------------------------------------------------------
// What section classes declare, against their definitions

static std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
static std::string format(const char *pattern, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, pattern);
    vsnprintf(line, sizeof line, pattern, arguments);
    va_end(arguments);
    return line;
}

static const char *type_text(unsigned int type) {
    const char *name = Field::type_name(type);
    return name ? name : "?";
}

// Where a field sits, for the messages: "option 3" or "entry list 0 (rule)
// field 3".
static std::string place(const Section *section, int list, int position) {
    if (list == FIELD_OPTIONS) return format("option %d", position);
    return format("entry list %d (%s) field %d", list, section->subsections[list].name.c_str(), position);
}

bool section_fields_check(const Section *section, std::vector<std::string> *problems) {
    const size_t before = problems->size();
    const char *name = section->name.c_str();
    // Which positions of each field vector some table declares.
    std::map<int, std::vector<bool>> covered;
    for (const FIELD_TABLE &table : section->declared) {
        const FieldVector *fields;
        if (table.list == FIELD_OPTIONS) {
            fields = &section->options;
        } else if (table.list >= 0 && (size_t)table.list < section->subsections.size()) {
            fields = &section->subsections[table.list].templ;
        } else {
            problems->push_back(format("%s: entry list %d does not exist", name, table.list));
            continue;
        }
        std::vector<bool> &seen = covered[table.list];
        seen.resize(fields->size(), false);
        std::vector<bool> here(fields->size(), false);
        for (const FIELD_DECL &decl : table.fields) {
            const std::string where = place(section, table.list, decl.position);
            if (decl.position < 0 || (size_t)decl.position >= fields->size()) {
                problems->push_back(format("%s: %s does not exist, the code reads it as %s", name, where.c_str(),
                                           type_text(decl.type)));
                continue;
            }
            const Field &field = (*fields)[decl.position];
            if (here[decl.position])
                problems->push_back(format("%s: %s (%s) is declared twice", name, where.c_str(), decl.name));
            here[decl.position] = seen[decl.position] = true;
            if (field.type != decl.type)
                problems->push_back(format("%s: %s (%s) is %s, the code reads it as %s", name, where.c_str(),
                                           field.name.c_str(), type_text(field.type), type_text(decl.type)));
            if (field.name != decl.name)
                problems->push_back(format("%s: %s is named %s, the code reads it as %s", name, where.c_str(),
                                           field.name.c_str(), decl.name));
        }
    }
    // Every defined field is declared, so that the check covers it.
    for (int list = FIELD_OPTIONS; list < (int)section->subsections.size(); list++) {
        const FieldVector &fields = list == FIELD_OPTIONS ? section->options : section->subsections[list].templ;
        const std::vector<bool> &seen = covered[list];
        for (size_t position = 0; position < fields.size(); position++) {
            if (position < seen.size() && seen[position]) continue;
            problems->push_back(format("%s: %s (%s) is not declared by the code", name,
                                       place(section, list, (int)position).c_str(), fields[position].name.c_str()));
        }
    }
    return problems->size() == before;
}
