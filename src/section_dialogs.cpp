// Web configuration dialogs: how a section renders its page and the form of
// one entry, how every field renders its input and reads it back from a
// submitted form, and how a form's action is applied to the section in
// memory. Changes reach the configuration file only through a save.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <iterator>
#include <string>

#include "field.h"
#include "filebuf.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "misc.h"
#include "regexp.h"
#include "section.h"
#include "xml.h"

namespace {

// Addf cuts long results, so texts of unbounded length go in with Add.
void put(Filebuf *page, const std::string &text) { page->Add(text.data(), (long long)text.size()); }

// Text for the tooltip's EnterContent('title', 'text') inside an attribute.
std::string tooltip(const std::string &text) { return html_escape(text, 1 | 4); }

void errors_show(Filebuf *page, const StringList &errors) {
    page->Addf("<tr><td colspan=\"2\"><ul style=\"color: rgb(102, 0, 0);\">\n");
    for (const std::string &message : errors) put(page, "<li>" + html_escape(message, 0) + "</li>\n");
    page->Addf("</ul></td></tr>\n");
}

// "id" as strtol reads it in base 10, or -1 for none.
bool form_id(const CGIMap &form, int *id) {
    std::string text = form.get("id");
    if (text.empty()) return false;
    *id = (int)strtol(text.c_str(), nullptr, 10);
    return true;
}

std::string key(int position) { return "F" + std::to_string(position); }

void select_options(Filebuf *page, const StringSelectVector &values) {
    for (const StringSelect &s : values)
        put(page, "<option value=\"" + html_escape(s.value, 0) + "\" " + (s.selected ? "selected" : "") + ">" +
                      html_escape(s.comment, 0) + "\n");
}

}  // namespace

// ---------------------------------------------------------------------------
// One field

void Field::dialog_display(Filebuf *page, const CGIMap &, int position, bool *odd) const {
    if (!enabled) return;
    const std::string k = key(position);
    put(page, std::string("<tr class=\"") + (*odd ? "entryfieldodd" : "entryfieldeven") +
                  "\"><td width=\"20%\" onMouseOver=\"EnterContent('" + tooltip(comment) + "', '" + tooltip(desc) +
                  "'); Activate();\" onMouseOut=\"deActivate();\" valign=\"top\" align=\"left\">" +
                  html_escape(comment, 0) + "</td><td>");
    *odd = !*odd;
    if (optional)
        put(page, "<input type=\"checkbox\" name=\"" + k + "_active\" " + (active ? "checked" : "") +
                      ">active &nbsp;&nbsp;&nbsp;");
    switch (type) {
        case FIELD_BOOL: {
            bool yes = string_value == "true";
            put(page, "Yes: <input type=\"radio\" name=\"" + k + "\" value=\"true\" " + (yes ? "checked" : "") + "> ");
            put(page, "No: <input type=\"radio\" name=\"" + k + "\" value=\"false\" " + (yes ? "" : "checked") + "> ");
            break;
        }
        case FIELD_STRING_SELECT_ONE:
            for (const StringSelect &s : select_vector)
                put(page, "<font onMouseOver=\"EnterContent('" + tooltip(s.comment) + "', '" + tooltip(s.desc) +
                              "'); Activate();\" onMouseOut=\"deActivate();\" valign=\"top\" align=\"left\">" +
                              html_escape(s.comment, 0) + ": </font><input type=\"radio\" name=\"" + k + "\" value=\"" +
                              html_escape(s.value, 0) + "\" " + (s.selected ? "checked" : "") + "> ");
            break;
        case FIELD_STRING_SELECT_MANY:
            page->Addf("<table class=\"checklist\" cellspacing=\"0\" cellpadding=\"0\" border=\"0\">\n");
            for (const StringSelect &s : select_vector)
                put(page, "<tr><td onMouseOver=\"EnterContent('" + tooltip(s.comment) + "', '" + tooltip(s.desc) +
                              "'); Activate();\" onMouseOut=\"deActivate();\" valign=\"top\" align=\"left\">" +
                              html_escape(s.comment, 0) + "</td><td><input type=\"checkbox\" name=\"" + k + "_" +
                              html_escape(s.value, 0) + "\" " + (s.selected ? "checked" : "") + "></td></tr>\n");
            page->Addf("</table>");
            break;
        case FIELD_STRING_RANGE:
            put(page, "<select name=\"" + k + "\">");
            select_options(page, select_vector);
            put(page, "</select>&nbsp;to <select name=\"" + k + "_2\">");
            select_options(page, select_vector2);
            page->Addf("</select>");
            break;
        case FIELD_INT_RANGE:
            page->Addf(
                "<input type=\"text\" name=\"%s\" size=\"%d\" value=\"%d\"> to <input type=\"input\" "
                "name=\"%s_2\" size=\"%d\" value=\"%d\">",
                k.c_str(), width, int_value, k.c_str(), width, int_value2);
            break;
        case FIELD_MULTILINE_STRING:
            put(page, "<textarea name=\"" + k + "\" cols=\"80\" rows=\"8\" wrap=\"virtual\">" +
                          html_escape(string_value, 0) + "</textarea>");
            break;
        default:
            put(page, "<input type=\"text\" name=\"" + k + "\" value=\"" + html_escape(string_value, 0) + "\" size=\"" +
                          std::to_string(width) + "\">");
            break;
    }
    page->Addf("</td></tr>\n");
}

// Index of the first possible value equal to value (exactly), or -1.
static int select_exact(StringSelectVector &values, const std::string &value) {
    for (size_t i = 0; i < values.size(); i++)
        if (values[i].value == value) return (int)i;
    return -1;
}

void Field::read(const CGIMap &form, int position) {
    if (!enabled) return;
    const std::string k = key(position);
    const std::string value = form.get(k);
    if (optional) {
        active = form.get(k + "_active") == "on";
        if (!active) return;
    }
    switch (type) {
        case FIELD_INT:
            string_value = value;
            int_value = string_to_int(value);
            break;
        case FIELD_UINT:
            string_value = value;
            uint_value = string_to_uint(value);
            break;
        case FIELD_FILE_SIZE:
            string_value = value;
            uint_value = string_to_filesize(value);
            break;
        case FIELD_LONG_FILE_SIZE:
            string_value = value;
            ulonglong_value = string_to_longfilesize(value);
            break;
        case FIELD_DOUBLE:
            string_value = value;
            double_value = string_to_double(value);
            break;
        case FIELD_BOOL:
            // Only these two texts load again from the document.
            int_value = value == "true" ? 1 : 0;
            string_value = int_value ? "true" : "false";
            break;
        case FIELD_STRING: string_value = value; break;
        case FIELD_MULTILINE_STRING:
            string_list.clear();
            string_value = value;
            break;
        case FIELD_STRING_SELECT_ONE: {
            string_value = value;
            select_vector.reset();
            int index = select_exact(select_vector, value);
            if (index >= 0) {
                select_vector[index].selected = true;
                int_value = index;
            }
            break;
        }
        case FIELD_STRING_SELECT_MANY:
            string_value.clear();
            string_list.clear();
            int_value = 0;
            select_vector.reset();
            for (size_t i = 0; i < select_vector.size(); i++) {
                if (form.get(k + "_" + select_vector[i].value) != "on") continue;
                select_vector[i].selected = true;
                int_value |= 1 << i;
                string_list.push_back(select_vector[i].value);
                if (!string_value.empty()) string_value += ",";
                string_value += select_vector[i].value;
            }
            break;
        case FIELD_STRING_LIST:
            string_value = value;
            string_list.clear();
            string_list.parse(value, ",");
            break;
        case FIELD_IP_RANGE_LIST:
            string_value = value;
            ip_range_list.clear();
            ip_range_list.parse(value);
            break;
        case FIELD_PORT_RANGE_LIST:
            string_value = value;
            port_range_list.clear();
            port_range_list.parse(value);
            break;
        case FIELD_STRING_RANGE: {
            // A member outside the possible values would make a document that
            // no longer loads.
            const std::string second = form.get(k + "_2");
            int first_index = select_exact(select_vector, value);
            int second_index = select_exact(select_vector2, second);
            if (first_index < 0 || second_index < 0) throw ConfigError();
            select_vector.reset();
            select_vector2.reset();
            select_vector[first_index].selected = true;
            select_vector2[second_index].selected = true;
            int_value = first_index;
            int_value2 = second_index;
            string_value = value + "," + second;
            break;
        }
        case FIELD_INT_RANGE: {
            const std::string second = form.get(k + "_2");
            int first_value = string_to_int(value);
            int second_value = string_to_int(second);
            if (first_value < low || first_value > high || second_value < low || second_value > high)
                throw ConfigError();
            int_value = first_value;
            int_value2 = second_value;
            string_value = value + "," + second;
            break;
        }
        default: break;
    }
}

// ---------------------------------------------------------------------------
// Field vectors and entries

void FieldVector::dialog_display(Filebuf *page, const CGIMap &form) const {
    bool odd = false;
    for (size_t k = 0; k < size(); k++) (*this)[k].dialog_display(page, form, (int)k, &odd);
}

StringList FieldVector::read(const CGIMap &form) {
    StringList errors;
    for (size_t k = 0; k < size(); k++) {
        Field &field = (*this)[k];
        try {
            field.read(form, (int)k);
        } catch (const ConfigError &) {
            errors.push_back(field.comment + " must be " + field.nature());
        }
    }
    return errors;
}

StringList Item::read(const CGIMap &form) { return fields.read(form); }

// ---------------------------------------------------------------------------
// Section pages

void Section::interface(Filebuf *page, const CGIMap &form, CONNECTION_T *, const StringList &errors) {
    SectionReadLock lock(this);
    const std::string matchname = form.get("matchname");
    const std::string matchvalue = form.get("matchvalue");
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\">\n");
    put(page, "<tr><td><table class=\"sectiondesc\" width=\"100%\"><tr class=\"listhead1\"><td>" +
                  html_escape(name, 0) + " section</td></tr>\n<tr><td>" + html_escape(desc, 1) +
                  "</td></tr></table></td></tr>\n");

    if (!options.empty() && matchname.empty() && matchvalue.empty()) {
        page->Addf(
            "<tr><td align=\"center\"><table class=\"entryeditdialog\">\n"
            "<tr class=\"entryeditdialoghead\"><td>Option</td><td>Value</td></tr>\n");
        if (!errors.empty()) errors_show(page, errors);
        put(page, "<form action=\"config\" method=\"POST\">\n<input type=\"hidden\" name=\"section\" value=\"" +
                      html_escape(name, 0) + "\">\n<input type=\"hidden\" name=\"action\" value=\"global\">\n");
        options.dialog_display(page, form);
        page->Addf(
            "<tr class=\"entryeditdialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" "
            "value=\"Submit\"></td></tr>\n</form></table></td></tr>\n");
    }

    regex_posix_t *name_pattern = matchname.empty() ? nullptr : reg_compile(matchname.c_str(), 1);
    regex_posix_t *value_pattern = matchvalue.empty() ? nullptr : reg_compile(matchvalue.c_str(), 1);
    for (const Subsection &subsection : subsections) {
        if (!subsection.enabled) continue;
        put(page,
            "<tr><td><br><table class=\"subsectionheader\" width=\"100%\"><tr class=\"listhead\">"
            "<td onMouseOver=\"EnterContent('" +
                tooltip(subsection.comment) + "', '" + tooltip(subsection.desc) +
                "'); Activate();\" onMouseOut=\"deActivate();\"><b>" + html_escape(subsection.comment, 0) +
                "</b></td><td align=\"right\"><a href=\"config?section=" + html_escape(name, 0) + "&amp;subsection=" +
                html_escape(subsection.name, 0) + "&amp;dialog=show\">Add</a></td></tr></table></td></tr>\n");
        for (const Item &item : subsection.items) {
            if (!item.match(name_pattern, value_pattern)) continue;
            page->Addf("<tr><td align=\"center\"><table class=\"entrydialog\">\n");
            item.display(page, true);
            page->Addf("</table></td></tr>\n");
        }
    }
    if (name_pattern) reg_free(name_pattern);
    if (value_pattern) reg_free(value_pattern);
    page->Addf("</table>\n");
}

void Section::interface_dialog(Filebuf *page, const CGIMap &form, CONNECTION_T *, const StringList &errors) {
    SectionReadLock lock(this);
    int id = -1;
    bool with_id = form_id(form, &id);
    Subsection *subsection = subsection_get(form.get("subsection"));
    if (subsection && !subsection->enabled) return;
    page->Addf(
        "<table class=\"entryeditdialog\">\n"
        "<tr class=\"entryeditdialoghead\"><td>Option</td><td>Value</td></tr>\n");
    if (!errors.empty()) {
        errors_show(page, errors);
        page->Addf("</table>\n");
        return;
    }
    const Item *item = nullptr;
    if (with_id && subsection) {
        for (const Item &candidate : subsection->items)
            if (candidate.id == id) item = &candidate;
    }
    if (!subsection || (with_id && !item)) {
        StringList missing;
        missing.push_back(subsection ? "Entry ID doesn't exist" : "Subsection doesn't exist");
        errors_show(page, missing);
        page->Addf("</table>\n");
        return;
    }
    put(page, "<form action=\"config\" method=\"POST\">\n<input type=\"hidden\" name=\"section\" value=\"" +
                  html_escape(name, 0) + "\">\n<input type=\"hidden\" name=\"subsection\" value=\"" +
                  html_escape(subsection->name, 0) + "\">\n");
    if (item)
        page->Addf(
            "<input type=\"hidden\" name=\"action\" value=\"edit\">\n"
            "<input type=\"hidden\" name=\"id\" value=\"%d\">\n",
            id);
    else page->Addf("<input type=\"hidden\" name=\"action\" value=\"add\">\n");
    (item ? item->fields : subsection->templ).dialog_display(page, form);
    page->Addf(
        "<tr class=\"entryeditdialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" "
        "value=\"Submit\"></td></tr>\n</form></table>\n");
}

// Moves the entry at position within list as a "shift" action asks.
static void entry_shift(ItemList &list, ItemList::iterator position, const std::string &direction) {
    if (direction == "up" || direction == "down") {
        bool up = direction == "up";
        if (up ? position == list.begin() : std::next(position) == list.end()) return;
        ItemList::iterator other = up ? std::prev(position) : std::next(position);
        Item moved(*position);  // a new id
        *position = *other;     // the neighbour keeps its id
        *other = moved;
    } else if (direction == "top") {
        if (position == list.begin()) return;
        list.push_front(Item(*position));
        list.erase(position);
    } else if (direction == "bottom") {
        if (std::next(position) == list.end()) return;
        list.push_back(Item(*position));
        list.erase(position);
    }
}

// An entry pattern that does not compile would leave its rule without that
// condition (and the saved file could not be loaded again): it is refused
// like any other value the entry's field cannot take.
void Section::patterns_refuse(const Subsection &subsection, const FieldVector &fields, StringList *errors) const {
    const Field *fault = pattern_fault((size_t)(&subsection - subsections.data()), fields);
    if (fault)
        errors->push_back(fault->comment + " must be a valid regular expression: the pattern " + fault->string_value +
                          " does not compile");
}

StringList Section::interface_action(Filebuf *, const CGIMap &form, CONNECTION_T *) {
    StringList errors;
    {
        SectionWriteLock lock(this);
        int id = -1;
        bool with_id = form_id(form, &id);
        const std::string subsection_name = form.get("subsection");
        Subsection *subsection = subsection_get(subsection_name);
        const std::string action = form.get("action");
        if ((subsection && !subsection->enabled) || action.empty()) return errors;

        if (action == "add") {
            if (!subsection) {
                errors.push_back("Subsection doesn't exist");
                return errors;
            }
            Item entry(*subsection);
            errors = entry.read(form);
            if (errors.empty()) patterns_refuse(*subsection, entry.fields, &errors);
            if (errors.empty()) subsection->items.push_back(Item(entry));
        } else if (!with_id) {
            FieldVector copy = options;
            errors = copy.read(form);
            // Into the same fields: readers keep pointers to their members.
            if (errors.empty())
                for (size_t k = 0; k < options.size(); k++) options[k] = copy[k];
        } else {
            ItemList::iterator position;
            bool found = false;
            if (subsection) {
                for (position = subsection->items.begin(); position != subsection->items.end(); ++position)
                    if (position->id == id) {
                        found = true;
                        break;
                    }
            }
            if (!found) {
                errors.push_back("Entry ID doesn't exist");
                return errors;
            }
            ItemList &list = subsection->items;
            if (action == "delete") {
                list.erase(position);
            } else if (action == "edit") {
                FieldVector copy = position->fields;
                errors = copy.read(form);
                if (errors.empty()) patterns_refuse(*subsection, copy, &errors);
                if (errors.empty()) position->fields = copy;
            } else if (action == "clone") {
                patterns_refuse(*subsection, position->fields, &errors);
                if (errors.empty()) list.insert(position, Item(*position));
            } else if (action == "shift") {
                entry_shift(list, position, form.get("direction"));
            }
        }
        update();
    }

    // Every change moves the stamp, also within one second, so a slave that
    // took the export a moment earlier still sees the change.
    {
        MutexLock held(&documentlock);
        time_t now = time(nullptr);
        documentsynctime = now > documentsynctime ? now : documentsynctime + 1;
    }
    return errors;
}
