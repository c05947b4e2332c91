// Configuration sections. Every configuration section is a class derived
// from Section; its constructor builds the section's options, select lists,
// entry templates and subsections from the section-definition document
// (`sectionxml`). Values live by position:
//   section option k    options[k]
//   field k of an entry item.fields[k]
//   entry list k        subsections[k].items
// all counted from 0 in definition order, always read under the section
// lock. A subclass names them in tables of bindings (FIELD_BIND below)
// rather than indexing them by hand.
//
// Invariants subclasses rely on: `options` keeps its size and storage for the
// whole run (loads assign into the existing fields, so the address of a value
// member may be kept); entries change only under the write lock, and every
// change is followed by update() before the lock is released.
#ifndef KORVANTEL_SECTION_H
#define KORVANTEL_SECTION_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <list>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "field.h"

class CGIMap;
class Filebuf;
class Item;
class Subsection;
class TiXmlDocument;
class TiXmlElement;
struct regex_posix_t;
struct CONNECTION_T;

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

    // Web forms: the inputs of every field, keyed by position ("F0", "F1",
    // ...; disabled fields count but show nothing); and every field read back
    // from a form, one message per refused field.
    void dialog_display(Filebuf *page, const CGIMap &form) const;
    StringList read(const CGIMap &form);
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
    // Reads the entry's fields from a web form; the messages of refused fields.
    StringList read(const CGIMap &form);
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

// ---------------------------------------------------------------------------
// Named fields: what a section class reads, declared once.
//
// A section class declares every option and every entry field in a table of
// bindings, one line per field of the definition: position, element name,
// type, and the member that takes the value. The same table drives the reads
// (fields_read) and the check against the definition document
// (section_fields_check, run at start-up and by the definition test), so the
// document and the code cannot drift apart unnoticed.
//
//     struct Rule {                  // one rule, built from one entry
//         bool enabled = false;      // initial values stay when the entry
//         std::string comment;       // lacks a field
//         StringList profiles;
//         int timeout = 60;
//         std::string pattern_text;
//         regex_posix_t *pattern = nullptr;
//     };
//     static const FIELD_BIND<Rule> rule_fields[] = {
//         FIELD_BIND_OF(Rule, 0, "enabled", FIELD_BOOL, enabled),
//         FIELD_BIND_OF(Rule, 1, "comment", FIELD_STRING, comment),
//         FIELD_BIND_OF(Rule, 2, "profiles", FIELD_STRING_LIST, profiles),
//         FIELD_BIND_OF(Rule, 3, "timeout", FIELD_INT, timeout),
//         FIELD_BIND_OF(Rule, 4, "pattern", FIELD_STRING, pattern_text),  // compiled after the read
//     };
//
//     struct Options {               // the section's options, read in place
//         const int *linelength;     // pointer members: bound once, they
//         const std::string *path;   // follow every later load and edit
//     };
//     static const FIELD_BIND<Options> option_fields[] = {
//         FIELD_BIND_OF(Options, 0, "linelength", FIELD_INT, linelength),
//         FIELD_BIND_OF(Options, 1, "path", FIELD_STRING, path),
//     };
//
//     MySection::MySection() : Section("mine", SECTION_RWLOCK) {
//         options_bind(option_fields, &opts);  // declares and binds the options
//         fields_declare(0, rule_fields);      // entry list 0 holds rules
//     }
//     void MySection::update() {             // write lock held
//         rules.clear();
//         for (const Item &item : subsections[0].items) {
//             Rule rule;
//             fields_read(rule_fields, item.fields, &rule);
//             rules.push_back(rule);
//         }
//     }
//     int MySection::linelength_get() { return atomic_read(opts.linelength); }
//
// A member takes what the field's type keeps (see field.h): a number member
// the integer value, or the unsigned, 64-bit or floating value for UINT and
// FILE_SIZE, LONG_FILE_SIZE, DOUBLE (so a BOOL, a select index or a select
// mask goes into bool, int or unsigned int); a std::string the text; a
// StringList, IpRangeList or PortRangeList the list. A member that is a
// pointer to one of these is pointed at the field's value instead (options
// keep their storage for the whole run), or at a static zero value when the
// definition lacks the field. A field the vector lacks leaves a value
// member as it was. The member's type must fit the field's type (a compile
// error otherwise).
//
// A field that needs more than a copy names a converter,
//     FIELD_BIND_BY(Rule, 5, "month", FIELD_STRING_RANGE, month_read),
// with `void month_read(Rule &rule, const Field &field)`, called only when the
// field is there. A field read by hand-written code is still declared, so
// that the check covers it:
//     FIELD_BIND_HAND(Rule, 6, "extra", FIELD_STRING),  // read by ...
// Converted values (a compiled pattern, an enum) are best built after
// fields_read from the plain members, where copies can rebuild them too.

enum { FIELD_OPTIONS = -1 };  // list of a table that binds the section's options

template <typename T>
struct FIELD_BIND {
    int position;       // in the definition, from 0
    const char *name;   // its element name in the definition
    unsigned int type;  // FIELD_* it must have
    // Reads the field into the object; null when the field is missing from
    // the vector. Null itself for a field read by hand.
    void (*read)(T &object, const Field *field);
};

// What a member of type M can take from a field of a type.
template <typename M>
constexpr bool field_fits(unsigned int type) {
    if (std::is_same<M, std::string>::value) return true;  // the text of any type
    if (std::is_same<M, StringList>::value) return type == FIELD_STRING_LIST || type == FIELD_STRING_SELECT_MANY;
    if (std::is_same<M, IpRangeList>::value) return type == FIELD_IP_RANGE_LIST;
    if (std::is_same<M, PortRangeList>::value) return type == FIELD_PORT_RANGE_LIST;
    if (std::is_arithmetic<M>::value || std::is_enum<M>::value)
        return type == FIELD_INT || type == FIELD_UINT || type == FIELD_BOOL || type == FIELD_STRING_SELECT_ONE ||
               type == FIELD_STRING_SELECT_MANY || type == FIELD_STRING_RANGE || type == FIELD_INT_RANGE ||
               type == FIELD_FILE_SIZE || type == FIELD_LONG_FILE_SIZE || type == FIELD_DOUBLE;
    return false;
}

// What a pointer member of type const M * can point at.
template <typename M>
constexpr bool field_fits_pointer(unsigned int type) {
    if (std::is_same<M, int>::value)
        return type == FIELD_INT || type == FIELD_BOOL || type == FIELD_STRING_SELECT_ONE ||
               type == FIELD_STRING_SELECT_MANY || type == FIELD_STRING_RANGE || type == FIELD_INT_RANGE;
    if (std::is_same<M, uint32_t>::value) return type == FIELD_UINT || type == FIELD_FILE_SIZE;
    if (std::is_same<M, uint64_t>::value) return type == FIELD_LONG_FILE_SIZE;
    if (std::is_same<M, double>::value) return type == FIELD_DOUBLE;
    if (std::is_arithmetic<M>::value) return false;
    return field_fits<M>(type);
}

template <typename M>
struct field_member {
    static constexpr bool fits(unsigned int type) { return field_fits<M>(type); }
};
template <typename M>
struct field_member<const M *> {
    static constexpr bool fits(unsigned int type) { return field_fits_pointer<M>(type); }
};

// Copies of a field's value into a member, by the field's type.
template <typename M>
inline void field_value_get(const Field &field, M *member) {
    switch (field.type) {
        case FIELD_UINT:
        case FIELD_FILE_SIZE: *member = (M)field.uint_value; break;
        case FIELD_LONG_FILE_SIZE: *member = (M)field.ulonglong_value; break;
        case FIELD_DOUBLE: *member = (M)field.double_value; break;
        default: *member = (M)field.int_value; break;
    }
}
inline void field_value_get(const Field &field, bool *member) { *member = field.int_value != 0; }
inline void field_value_get(const Field &field, std::string *member) { *member = field.string_value; }
inline void field_value_get(const Field &field, StringList *member) { *member = field.string_list; }
inline void field_value_get(const Field &field, IpRangeList *member) { *member = field.ip_range_list; }
inline void field_value_get(const Field &field, PortRangeList *member) { *member = field.port_range_list; }

// Where in a field a pointer member points.
inline const int *field_value_at(const Field &field, const int *) { return &field.int_value; }
inline const uint32_t *field_value_at(const Field &field, const uint32_t *) { return &field.uint_value; }
inline const uint64_t *field_value_at(const Field &field, const uint64_t *) { return &field.ulonglong_value; }
inline const double *field_value_at(const Field &field, const double *) { return &field.double_value; }
inline const std::string *field_value_at(const Field &field, const std::string *) { return &field.string_value; }
inline const StringList *field_value_at(const Field &field, const StringList *) { return &field.string_list; }
inline const IpRangeList *field_value_at(const Field &field, const IpRangeList *) { return &field.ip_range_list; }
inline const PortRangeList *field_value_at(const Field &field, const PortRangeList *) { return &field.port_range_list; }

template <typename M>
inline void field_member_read(const Field *field, M *member) {
    if (field) field_value_get(*field, member);
}
template <typename M>
inline void field_member_read(const Field *field, const M **member) {
    static const M none{};
    *member = field ? field_value_at(*field, (const M *)nullptr) : &none;
}

#define FIELD_BIND_OF(Class, position, name, type, member)                                                             \
    FIELD_BIND<Class> {                                                                                                \
        position, name, type, [](Class &object, const Field *field) {                                                  \
            static_assert(field_member<decltype(Class::member)>::fits(type), "member " #member " cannot take " #type); \
            field_member_read(field, &object.member);                                                                  \
        }                                                                                                              \
    }
#define FIELD_BIND_BY(Class, position, name, type, converter)         \
    FIELD_BIND<Class> {                                               \
        position, name, type, [](Class &object, const Field *field) { \
            if (field) converter(object, *field);                     \
        }                                                             \
    }
#define FIELD_BIND_HAND(Class, position, name, type) \
    FIELD_BIND<Class> { position, name, type, nullptr }

// Reads every bound field of the table from a vector (an entry's fields, or
// the section's options) into the object.
template <typename T, size_t N>
void fields_read(const FIELD_BIND<T> (&table)[N], const FieldVector &fields, T *object) {
    for (const FIELD_BIND<T> &bind : table) {
        if (!bind.read) continue;
        const bool present = bind.position >= 0 && (size_t)bind.position < fields.size();
        bind.read(*object, present ? &fields[bind.position] : nullptr);
    }
}

// Rebuilds rules from one entry list (null: none): one rule per entry in
// order, read with the table and then handed to made(rule, item).
template <typename T, size_t N, typename Container, typename Made>
void rules_read(const Subsection *list, const FIELD_BIND<T> (&table)[N], Container *rules, Made made) {
    rules->clear();
    if (!list) return;
    for (const Item &item : list->items) {
        rules->emplace_back();
        fields_read(table, item.fields, &rules->back());
        made(rules->back(), item);
    }
}

template <typename T, size_t N, typename Container>
void rules_read(const Subsection *list, const FIELD_BIND<T> (&table)[N], Container *rules) {
    rules_read(list, table, rules, [](T &, const Item &) {});
}

// A table as the check sees it.
struct FIELD_DECL {
    int position;
    const char *name;
    unsigned int type;
};
struct FIELD_TABLE {
    int list;  // FIELD_OPTIONS, or the index of the entry list
    std::vector<FIELD_DECL> fields;
};

// Kinds of pattern fields (Section::pattern_kind).
enum {
    PATTERN_NONE = 0,
    PATTERN_MATCH = 1,  // reg_compile(text, 1)
    PATTERN_SUB = 2,    // reg_sub_compile(text, 15)
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
    // For update(): rebuilds rules from entry list `list`, one Rule(item)
    // per entry in order; left empty when the section has no such list.
    template <typename Container>
    void entries_build(size_t list, Container *rules) const {
        rules->clear();
        if (list >= subsections.size()) return;
        for (const Item &item : subsections[list].items) rules->emplace_back(item);
    }
    // Entry list `list`, or null when the section has no such list.
    const Subsection *subsection_at(size_t list) const {
        return list < subsections.size() ? &subsections[list] : nullptr;
    }

    // Entry fields that hold a regular expression: how field `position` of
    // the entries of entry list `subsection` is compiled (PATTERN_*). A load
    // refuses an entry whose pattern does not compile as it refuses any
    // flawed value, so a broken rule never runs with a condition missing.
    virtual int pattern_kind(size_t subsection, size_t position) const;
    // The first of an entry's fields whose pattern does not compile, or null.
    const Field *pattern_fault(size_t subsection, const FieldVector &fields) const;
    // Appends to *errors the form's complaint about such a field of an entry
    // of that subsection (one of this section's).
    void patterns_refuse(const Subsection &subsection, const FieldVector &fields, StringList *errors) const;

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
    // Whether load() would take the document without a value that a field
    // refuses or an entry pattern that does not compile; false with the
    // complaint in *why. Changes nothing (it loads into copies). A document
    // without the section's element, or one at which load() stops early
    // (an optional option's element missing), passes for this section.
    bool load_check(TiXmlDocument *document, std::string *why);
    void save(TiXmlDocument *document);

    // What the class reads, declared in its constructor (see FIELD_BIND).
    std::vector<FIELD_TABLE> declared;
    // Declares the table of entry list `list`, or of the options with
    // FIELD_OPTIONS; a table may serve several lists.
    template <typename T, size_t N>
    void fields_declare(int list, const FIELD_BIND<T> (&table)[N]) {
        FIELD_TABLE declaration{list, {}};
        for (const FIELD_BIND<T> &bind : table) declaration.fields.push_back({bind.position, bind.name, bind.type});
        declared.push_back(declaration);
    }
    // Declares the options' table and reads the options into the object:
    // pointer members then follow the options for the whole run.
    template <typename T, size_t N>
    void options_bind(const FIELD_BIND<T> (&table)[N], T *object) {
        fields_declare(FIELD_OPTIONS, table);
        fields_read(table, options, object);
    }

    // Web configuration. interface: the section's page (description, option
    // form, entry lists filtered by the form's "matchname"/"matchvalue"),
    // errors shown above the option form. interface_dialog: the form of the
    // entry named by "subsection" and "id" (a new one without "id"), or only
    // the errors when there are any. interface_action: applies the form's
    // "action" (global, add, edit, delete, clone, shift) and returns the
    // messages; empty means success. An applied action runs update() and
    // records the change time.
    void interface(Filebuf *page, const CGIMap &form, CONNECTION_T *connection, const StringList &errors);
    void interface_dialog(Filebuf *page, const CGIMap &form, CONNECTION_T *connection, const StringList &errors);
    StringList interface_action(Filebuf *page, const CGIMap &form, CONNECTION_T *connection);

private:
    template <typename T>
    T read_value(const T *value);
};

// Every built-in section class in construction order, ended by an entry
// whose name is null. A new section class adds its line there.
struct SECTION_CLASS {
    const char *name;         // section name, its element in the definition
    Section *(*construct)();  // builds the section from `sectionxml`
};
extern const SECTION_CLASS section_classes[];

// Checks a constructed section against the fields its class declares (see
// FIELD_BIND): every declared field must be in the definition at its
// position with its name and type, and every field of the definition must be
// declared. Appends one line per mismatch to problems; true when none.
bool section_fields_check(const Section *section, std::vector<std::string> *problems);

#endif
