#include "modules.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "compat.h"
#include "log.h"
#include "settings.h"
#include "xml.h"

namespace {

// The module name of a directory entry, or "" when the entry is no module:
// the name must end in exactly ".so" after its last dot.
std::string module_name(const char *file) {
    const char *dot = strrchr(file, '.');
    if (!dot || strcmp(dot, ".so") != 0) return "";
    std::string name(file, (size_t)(dot - file));
    if (name.compare(0, 3, "lib") == 0) name.erase(0, 3);
    return name;
}

// A module runs with the daemon's rights: only a regular file that no one
// but its owner can change is loaded.
bool loadable(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        putlog(LOG_MODULE, "error: %s is not a regular file, not loaded", path.c_str());
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        putlog(LOG_MODULE, "error: %s is writable by others than its owner, not loaded", path.c_str());
        return false;
    }
    return true;
}

bool definitions_load(TiXmlDocument *doc, const char *path, std::string *why) {
    FILE *file = s_fopen(path, "rb");
    if (!file) {
        *why = strerror(errno);
        return false;
    }
    std::string text;
    char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
    fclose(file);
    return xml_document_parse(doc, text, "section", why);
}

}  // namespace

bool module_load(const char *name, const char *library, const char *definitions) {
    void *handle = dlopen(library, RTLD_LAZY | RTLD_GLOBAL);
    if (!handle) {
        putlog(LOG_MODULE, "error: %s failed to load %s", dlerror(), library);
        return false;
    }
    std::string entry_name = std::string(name) + "_load";
    dlerror();
    void *entry = dlsym(handle, entry_name.c_str());
    const char *error = dlerror();
    if (error || !entry) {
        putlog(LOG_MODULE, "error: %s loading %s ", error ? error : "no entry point", library);
        dlclose(handle);
        return false;
    }

    TiXmlDocument *kept = sectionxml;
    TiXmlDocument *own = new TiXmlDocument();
    std::string why;
    if (!definitions_load(own, definitions, &why)) {
        putlog(LOG_ERROR, "module: Error: %s when parsing %s", why.c_str(), definitions);
        delete own;
        dlclose(handle);
        return false;
    }
    sectionxml = own;
    bool (*load)() = reinterpret_cast<bool (*)()>(entry);
    bool accepted = load();
    if (accepted) {
        putlog(LOG_MODULE, "loaded %s", library);
    } else {
        // Not unloaded: it may have registered sections or callbacks before
        // it refused, and their code must stay where the registries point.
        putlog(LOG_MODULE, "error: failed to load %s", library);
    }
    sectionxml = kept;
    delete own;
    return accepted;
}

void modules_load() {
    DIR *directory = s_opendir(moduledir);
    if (!directory) {
        putlog(LOG_MODULE, "error: cannot read module directory %s", moduledir);
        return;
    }
    while (struct dirent *entry = readdir(directory)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        std::string name = module_name(entry->d_name);
        if (name.empty()) continue;
        std::string library = std::string(moduledir) + entry->d_name;
        std::string definitions = std::string(moduledir) + name + ".xml";
        if (!loadable(library)) continue;
        module_load(name.c_str(), library.c_str(), definitions.c_str());
    }
    closedir(directory);
}
