"""Test configurations: the shipped conf/korvantel.xml, edited in a few
readable lines and handed to the daemon.

    conf = (Config()
            .set("general/rule", timeout=1, cportrange=tls.port)     # first entry of a list
            .set("cache", icpport=port)                               # options of a section
            .clear("access/deny")                                     # drop every entry of a list
            .add("forward/rule", host="127.0.0.1", port=squid.port))  # new entry, other fields default
    with Proxy(config=conf) as p: ...

`where` names a section ("general") or one of its entry lists
("general/rule"). `set` changes fields that already exist (a misspelt name
fails the test); `add` appends an entry whose other fields take the
defaults that conf/section.xml gives the list's template.
"""
import os
import xml.etree.ElementTree as ET

SOURCE = os.environ.get("KORVANTEL_SOURCE_DIR", os.getcwd())
SECTION_XML = os.path.join(SOURCE, "conf", "section.xml")
CONFIG_XML = os.path.join(SOURCE, "conf", "korvantel.xml")


def _text(value):
    if value is True or value is False:
        return "true" if value else "false"
    return str(value)


class Config:
    def __init__(self, path=CONFIG_XML):
        self.root = ET.parse(path).getroot()
        self.definition = ET.parse(SECTION_XML).getroot()

    def _section(self, name):
        section = self.root.find(name)
        if section is None:
            section = ET.SubElement(self.root, name)
        return section

    def _entry(self, where, index):
        section, _, entry = where.partition("/")
        node = self._section(section)
        if entry:
            entries = node.findall(entry)
            if len(entries) <= index:
                raise KeyError("%s has no entry %d" % (where, index))
            node = entries[index]
        return node

    def set(self, where, index=0, **fields):
        """Sets fields of a section, or of the index-th entry of a list."""
        node = self._entry(where, index)
        for name, value in fields.items():
            field = node.find(name)
            if field is None:
                raise KeyError("%s has no field %s" % (where, name))
            field.text = _text(value)
        return self

    def get(self, where, field, index=0):
        """The text of a field of a section, or of the index-th entry of a list."""
        return self._entry(where, index).findtext(field)

    def clear(self, where):
        """Removes every entry of a list."""
        section, _, entry = where.partition("/")
        node = self._section(section)
        for old in node.findall(entry):
            node.remove(old)
        return self

    def add(self, where, active=(), **fields):
        """Appends an entry to a list; `active` names optional fields to
        switch on."""
        section, _, entry = where.partition("/")
        new = ET.SubElement(self._section(section), entry)
        for name, default, optional in self.template(section, entry):
            field = ET.SubElement(new, name)
            field.text = _text(fields.pop(name, default))
            if optional:
                field.set("active", "true" if name in active else "false")
        if fields:
            raise KeyError("%s has no fields %s" % (where, ", ".join(fields)))
        return self

    def template(self, section, entry):
        """[(field, default text, optional)] of a list's entries, in order."""
        definition = self.definition.find(section)
        name = definition.find("subsection/%s/template" % entry).text
        fields = sorted(definition.find("template/" + name), key=lambda f: int(f.get("n")))
        return [(f.tag, self._default(definition, f), (f.findtext("optional") or "") == "true")
                for f in fields]

    @staticmethod
    def _default(definition, field):
        value = field.findtext("value") or ""
        kind = field.findtext("type")
        if not kind.startswith("STRING_") or kind in ("STRING_LIST",):
            return value
        choices = definition.find("select/" + value)
        names = [c.tag for c in choices]
        chosen = [c.tag for c in choices if (c.findtext("value") or "") == "true"]
        if kind == "STRING_SELECT_ONE":
            return (chosen or names)[0]
        if kind == "STRING_SELECT_MANY":
            return ",".join(chosen)
        return "%s,%s" % (names[0], names[-1])  # STRING_RANGE

    def text(self):
        return ET.tostring(self.root, encoding="unicode")

    def __str__(self):
        return self.text()

    def write(self, path):
        with open(path, "w") as f:
            f.write(self.text())
        return path
