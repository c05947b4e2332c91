// Configuration sections. Every configuration section is a class derived
// from Section; its constructor builds the section's options, select lists,
// entry templates and subsections from the section-definition document
// (`sectionxml`), and the subclass reads its values by position:
//   section option k    options[k]
//   field k of an entry item.fields[k]
//   entry list k        subsections[k].items
// all counted from 0 in definition order, always under the section lock.
//
// Invariants subclasses rely on: `options` keeps its size and storage for the
// whole run (loads assign into the existing fields, so the address of a value
// member may be kept); entries change only under the write lock, and every
// change is followed by update() before the lock is released.
#ifndef KORVANTEL_SECTION_H
#define KORVANTEL_SECTION_H

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "field.h"

class Filebuf;
class Item;
class Subsection;
class TiXmlDocument;
class TiXmlElement;
struct regex_posix_t;

typedef std::map<std::string, StringSelectVector> SelectLists;

// An ordered vector of fields: a section's options, an entry's fields, a
// subsection's template.
class FieldVector : public std::vector<Field> {
public:
    FieldVector() {}
    // Builds the fields from the children of a definition element.
    FieldVector(TiXmlElement *definition, const SelectLists &lists) { parse(definition, lists); }
    // Appends one field per child element of a definition ("global" or a
    // template): each child's "n" attribute must equal its position; a select
    // type draws on the named list (an undeclared name gives no values).
    // Definition faults are fatal.
    void parse(TiXmlElement *definition, const SelectLists &lists);
    // Appends the rows of the fields that have something to show.
    void display(Filebuf *page) const;
    // Appends one element per field to parent (see xml.h).
    void save(TiXmlElement *parent) const;
};

typedef std::list<Item> ItemList;

// One entry of a subsection.
class Item {
public:
    // Next id; every constructed or copied entry takes one, so ids are never
    // reused, also when sections create entries concurrently.
    static std::atomic<int> count;

    int id;
    std::string section_name;
    std::string subsection_name;
    FieldVector fields;

    // A new entry from the subsection's template; with a cursor its fields are
    // then loaded from the cursor's element (a field that fails keeps the
    // template's state and the next one is loaded).
    explicit Item(const Subsection &subsection, XmlElement *cursor = nullptr);
    // A copy of the names and fields under a new id.
    Item(const Item &other);
    // Assignment copies everything, the id included.
    Item &operator=(const Item &other) = default;

    int id_get() const { return id; }
    // True when one field (enabled or not) has a name matching name_pattern
    // and a text matching value_pattern (patterns from reg_compile); a null
    // pattern matches everything; an entry without fields never matches.
    bool match(const regex_posix_t *name_pattern, const regex_posix_t *value_pattern) const;
    // Appends the entry's rows: a head row, the fields, and the links Edit,
    // Delete, Clone (and with moves Up, Down, Top, Bottom) to the "config" page.
    void display(Filebuf *page, bool with_moves) const;
};

class Subsection {
public:
    bool enabled;  // a disabled one is neither shown nor edited, but loaded and saved
    std::string section_name;
    std::string name;     // element name of its entries; the forms' "subsection" key
    std::string comment;  // title of the entry list
    std::string desc;     // its tooltip
    ItemList items;
    FieldVector templ;  // the fields a new entry starts from

    Subsection(bool enabled, const std::string &section_name, const std::string &name, const std::string &comment,
               const std::string &desc, const FieldVector &templ)
        : enabled(enabled), section_name(section_name), name(name), comment(comment), desc(desc), templ(templ) {}
};

// Lock kinds of Section(name, kind).
enum { SECTION_RWLOCK = 0, SECTION_MUTEX = 1 };

class Section {
public:
    int lock_type;  // 0 read-write lock, any other value mutex
    pthread_rwlock_t rwlock;
    pthread_mutex_t mutex;
    std::string name;     // element name in both documents, key in Section::map
    std::string comment;  // title in the interface's list of sections
    std::string desc;     // text at the top of the section's page
    FieldVector options;
    std::vector<Subsection> subsections;

    // Every section by name, in byte order of the names; loading, saving and
    // synchronisation walk it in this order.
    static std::map<std::string, Section *> map;

    // Builds the section from its element in `sectionxml` and enters it in
    // the map (replacing an earlier section of that name). A missing required
    // definition element is fatal; an unparsable default throws ConfigError.
    Section(const std::string &name, int lock_type);
    virtual ~Section();
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;

    // The subclass's rebuild from its current options and entries. Called by
    // the framework with the write lock held; must not lock nor throw.
    virtual void update() = 0;

    void read_lock();
    void write_lock();
    void unlock();
    // Mutex kind only (fatal otherwise): lock the mutex, wait on a condition
    // of the subclass with it. The waits return what pthreads returns.
    void mutex_lock();
    int cond_wait(pthread_cond_t *condition);
    int cond_timedwait(pthread_cond_t *condition, const struct timespec *deadline);

    // One value read under the read lock (or the mutex).
    int atomic_read(const int *value);
    unsigned int atomic_read(const unsigned int *value);
    long atomic_read(const long *value);
    unsigned long atomic_read(const unsigned long *value);

    std::string name_get();
    std::string comment_get();
    // The subsection of that exact name, or null.
    Subsection *subsection_get(const std::string &name);
    // Finds the entry with that id, subsections in order; false when none.
    bool item_iterator_get(int id, Subsection **subsection, ItemList::iterator *position);
    Item *item_get(int id);

    // Configuration document (see xml.h). load throws ConfigError when the
    // document has no element for the section, or an optional option has no
    // element or a wrong "active" attribute.
    void load(TiXmlDocument *document, int clear);
    void save(TiXmlDocument *document);

private:
    template <typename T> T read_value(const T *value);
};

// Declaring what a section class reads by position, so that the definition
// document and the code cannot drift apart unnoticed: each section class
// lists every option and entry field it reads with the type it expects, and
// the class registry below names every built-in section class.
enum { READ_OPTION = 0, READ_ENTRY = 1 };

struct FIELD_READ {
    int kind;          // READ_OPTION: section option; READ_ENTRY: field of an entry
    int subsection;    // READ_ENTRY: index of the subsection (entry list)
    int position;      // position of the field
    unsigned int type; // FIELD_* the code expects there
};

struct SECTION_CLASS {
    const char *name;            // section name, its element in the definition
    Section *(*construct)();     // builds the section from `sectionxml`
    const FIELD_READ *reads;     // what the class reads
    int read_count;
};

// Every built-in section class in construction order, ended by an entry
// whose name is null. A new section class adds its line there.
extern const SECTION_CLASS section_classes[];

// Checks a constructed section against what its class reads; appends one
// line per mismatch to problems and returns whether there was none.
bool section_reads_check(const Section *section, const FIELD_READ *reads, int read_count,
                         std::vector<std::string> *problems);

#endif
