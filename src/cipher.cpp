#include "cipher.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include "base64block.h"
#include "filebuf.h"
#include "interface.h"
#include "log.h"
#include "misc.h"
#include "settings.h"

#define CIPHER_KEY_LENGTH 16
#define CIPHER_FIELD_MAX 1024
#define KEY_SHARED_WARNING                                                                       \
    "no installation key file: passwords in the configuration are enciphered with the built-in key " \
    "that every installation without a key file shares"

// RC4 lives in the legacy provider; loading it explicitly stops the default
// provider from loading on its own, so both are loaded here, once.
// They stay loaded for the life of the process.
static OSSL_PROVIDER *legacy = nullptr;
static OSSL_PROVIDER *fallback = nullptr;

static bool legacy_loaded() {
    static std::once_flag once;
    static bool loaded = false;
    std::call_once(once, [] {
        legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        fallback = OSSL_PROVIDER_load(nullptr, "default");
        loaded = legacy && fallback;
        if (!loaded) putlog(LOG_ERROR, "security: the cipher provider \"legacy\" cannot be loaded");
    });
    return loaded;
}

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};

// One RC4 pass; false when the library fails.
static bool rc4(bool encrypt, const unsigned char *key_text, const unsigned char *iv, const unsigned char *in,
                int length, unsigned char *out, int *produced) {
    if (!legacy_loaded()) return false;
    unsigned char key[CIPHER_KEY_LENGTH] = {0};
    if (key_text) memcpy(key, key_text, strnlen((const char *)key_text, CIPHER_KEY_LENGTH));
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
    if (!context) return false;
    int n = 0, last = 0;
    bool ok;
    if (encrypt)
        ok = EVP_EncryptInit(context.get(), EVP_rc4(), key, iv) == 1 &&
             EVP_EncryptUpdate(context.get(), out, &n, in, length) == 1 &&
             EVP_EncryptFinal(context.get(), out + n, &last) == 1;
    else
        ok = EVP_DecryptInit(context.get(), EVP_rc4(), key, iv) == 1 &&
             EVP_DecryptUpdate(context.get(), out, &n, in, length) == 1 &&
             EVP_DecryptFinal(context.get(), out + n, &last) == 1;
    OPENSSL_cleanse(key, sizeof key);
    *produced = n;
    return ok;
}

static const char hexdigits[] = "0123456789abcdef";

int korvantel_privatise(const unsigned char *plain, const unsigned char *key, const unsigned char *iv,
                        unsigned char *out, int length, int capacity) {
    if (!plain || !out || length <= 0) return -1;
    int symbols = length / 3 * 4 + (length % 3 ? length % 3 + 1 : 0);
    if (2 * symbols > capacity) return -1;
    std::string cipher((size_t)length, '\0');
    int produced = 0;
    if (!rc4(true, key, iv, plain, length, (unsigned char *)&cipher[0], &produced) || produced != length) {
        putlog(LOG_ERROR, "security: the password cannot be enciphered");
        return -1;
    }
    int written = 0;
    for (int i = 0; i < length; i += 3) {
        unsigned char in[3] = {0, 0, 0};
        int len = length - i < 3 ? length - i : 3;
        memcpy(in, cipher.data() + i, (size_t)len);
        unsigned char letters[4];
        encodeblock(in, letters, len);
        for (int k = 0; k < len + 1; k++) {
            int index = base64block_value(letters[k]) + 1;
            out[written++] = (unsigned char)hexdigits[index >> 4];
            out[written++] = (unsigned char)hexdigits[index & 0xf];
        }
    }
    if (written < capacity) out[written] = 0;
    return symbols;
}

// The symbol index of a pair of lower-case hexadecimal digits, or -1.
static int pair_value(unsigned char high, unsigned char low) {
    const char *h = high ? strchr(hexdigits, high) : nullptr;
    const char *l = low ? strchr(hexdigits, low) : nullptr;
    if (!h || !l) return -1;
    int value = (int)(h - hexdigits) * 16 + (int)(l - hexdigits);
    return value >= 1 && value <= 64 ? value - 1 : -1;
}

int korvantel_deprivatise(const unsigned char *text, const unsigned char *key, const unsigned char *iv,
                          unsigned char *out, int length, int capacity) {
    if (!text || !out || length <= 0 || length % 2) return 0;
    std::string cipher;
    unsigned char group[4];
    int count = 0;
    for (int i = 0; i < length; i += 2) {
        int value = pair_value(text[i], text[i + 1]);
        if (value < 0) return 0;
        group[count++] = (unsigned char)value;
        if (count == 4) {
            unsigned char bytes[3];
            decodeblock(group, bytes);
            cipher.append((const char *)bytes, 3);
            count = 0;
        }
    }
    if (count == 1) return 0;  // six bits make no byte
    if (count > 1) {
        for (int k = count; k < 4; k++) group[k] = 0;
        unsigned char bytes[3];
        decodeblock(group, bytes);
        cipher.append((const char *)bytes, (size_t)(count - 1));
    }
    if (cipher.empty() || (int)cipher.size() > capacity) return 0;
    int produced = 0;
    if (!rc4(false, key, iv, (const unsigned char *)cipher.data(), (int)cipher.size(), out, &produced)) return 0;
    return produced;
}

static std::mutex key_lock;
static std::string key_text;
static bool key_ready = false;
// Set when no key file could be read or created: the key in use is then the
// built-in one, which every such installation shares.
static bool key_shared = false;
// What the last load found, for the log (the log may not be open yet when
// the key is read, before privileges are dropped).
static std::vector<std::pair<int, std::string>> key_notes;

static std::string key_path() {
    std::string directory = ".";
    const char *slash = strrchr(configfile, '/');
    if (slash) directory.assign(configfile, (size_t)(slash - configfile));
    if (directory.empty()) directory = "/";
    return directory + "/korvantel.key";
}

static void key_note(int category, const std::string &text) { key_notes.emplace_back(category, text); }

static bool key_create(const std::string &path, std::string *key) {
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1) {
        errno = EIO;
        return false;
    }
    for (unsigned char b : random) {
        key->push_back(hexdigits[b >> 4]);
        key->push_back(hexdigits[b & 0xf]);
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::string line = *key + "\n";
    bool written = write(fd, line.data(), line.size()) == (ssize_t)line.size();
    int saved = errno;
    if (close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (written) return true;
    unlink(path.c_str());
    errno = saved ? saved : EIO;
    return false;
}

// Reads the key file, creating it when missing. Called under key_lock.
static std::string key_load() {
    key_notes.clear();
    key_shared = false;
    // A slave started without a configuration file has no directory of its
    // own for the key; it must not leave one in whatever the working
    // directory is.
    if (!configfile[0]) {
        key_note(LOG_ERROR, "security: no configuration file, so no installation key file beside it");
        key_shared = true;
        return PRODUCT_NAME;
    }
    std::string path = key_path();
    FILE *file = fopen(path.c_str(), "re");
    if (file) {
        struct stat st;
        if (fstat(fileno(file), &st) == 0 && (st.st_mode & S_IROTH))
            key_note(LOG_WARNING, "security: the installation key file " + path + " can be read by every user");
        char line[512] = "";
        bool got = fgets(line, sizeof line, file) != nullptr;
        fclose(file);
        line[strcspn(line, "\r\n")] = 0;
        if (got && line[0]) return line;
        key_note(LOG_ERROR, "security: the installation key file " + path + " is empty");
    } else if (errno == ENOENT) {
        std::string key;
        if (key_create(path, &key)) {
            key_note(LOG_ADVICE, "security: created the installation key file " + path);
            return key;
        }
        key_note(LOG_ERROR, "security: cannot create the installation key file " + path + ": " + strerror(errno));
    } else {
        key_note(LOG_ERROR, "security: cannot read the installation key file " + path + ": " + strerror(errno));
    }
    key_shared = true;
    return PRODUCT_NAME;
}

static void key_notes_log() {
    for (const auto &note : key_notes) putlog(note.first, "%s", note.second.c_str());
    key_notes.clear();
    if (key_shared)
        putlog(LOG_WARNING, "security: %s", KEY_SHARED_WARNING);
}

// Loads the key unless it is at hand. Called under key_lock.
static void key_ensure() {
    if (key_ready) return;
    key_text = key_load();
    key_ready = true;
}

void installation_key_prepare() {
    std::lock_guard<std::mutex> guard(key_lock);
    key_ready = false;
    key_ensure();
}

void installation_key_report() {
    std::lock_guard<std::mutex> guard(key_lock);
    key_ensure();
    key_notes_log();
}

bool installation_key_shared() {
    std::lock_guard<std::mutex> guard(key_lock);
    return key_ready && key_shared;
}

std::string installation_key() {
    std::lock_guard<std::mutex> guard(key_lock);
    if (!key_ready) {
        key_ensure();
        key_notes_log();
    }
    return key_text;
}

void installation_key_set(const std::string &key) {
    std::lock_guard<std::mutex> guard(key_lock);
    key_text = key;
    key_ready = true;
    key_shared = false;
}

void installation_key_forget() {
    std::lock_guard<std::mutex> guard(key_lock);
    key_text.clear();
    key_ready = false;
    key_shared = false;
}

bool config_password(const std::string &stored, std::string *password) {
    std::string key = installation_key();
    std::string out(stored.size() + 1, '\0');
    int n = korvantel_deprivatise((const unsigned char *)stored.data(), (const unsigned char *)key.c_str(), nullptr,
                                  (unsigned char *)&out[0], (int)stored.size(), (int)out.size());
    if (n <= 0) return false;
    password->assign(out.data(), (size_t)n);
    return true;
}

static bool word_characters(const std::string &text) {
    for (unsigned char c : text)
        if (!(isalnum(c) || c == '_')) return false;
    return true;
}

static std::string form_get(const std::map<std::string, std::string> &form, const char *name) {
    auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
}

void password_page(Filebuf *page, const std::map<std::string, std::string> &form) {
    std::string key = form_get(form, "active"), scode = form_get(form, "scode"), scode1 = form_get(form, "scode1");
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td align=\"center\">\n");
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Generate Encrypted Password</td></tr>\n");
    page->Addf("<tr class=\"entryfieldeven\"><td colspan=\"2\">");
    page->Addf(
        "Some sections of the configuration need passwords, such as the LDAP service account's. This tool "
        "enciphers a password so that the configuration files do not reveal it; paste the result into the "
        "configuration. The proxy deciphers it itself with the installation key, which is shown below by "
        "default. A password for another installation must be enciphered with that installation's key.");
    page->Addf("</td></tr>\n");
    if (key.empty() || scode.empty() || scode1.empty()) {
        char *shown = string_to_html(installation_key().c_str(), 0);
        if (installation_key_shared())
            page->Addf(
                "<tr class=\"entryfieldodd\"><td colspan=\"2\"><b>Warning: %s.</b> Give the proxy a "
                "korvantel.key file beside its configuration (see the README).</td></tr>\n",
                KEY_SHARED_WARNING);
        page->Addf("<form action=\"password\" method=\"POST\">\n");
        page->Addf(
            "<tr><td colspan=\"2\">The key of this installation is filled in. Change it only to encipher a "
            "password for another installation.</td></tr>\n");
        page->Addf("<tr><td>Installation key: </td><td><input type=\"text\" name=\"active\" value=\"");
        page->Add(shown, (long long)strlen(shown));
        page->Addf("\" size=\"80\"></td></tr>\n");
        free(shown);
        page->Addf(
            "<tr> <td colspan=\"2\" class=\"entryfieldodd\"><b>Password</b><br>Please use only <B>Alpahnumeric "
            "Characters</B></td> </tr>");
        page->Addf(
            "<tr><td>Password To Encrypt: </td><td><input type=\"password\" name=\"scode\" value=\"\" "
            "size=\"80\">\n");
        page->Addf(
            "<tr> <td colspan=\"2\" class=\"entryfieldodd\"><b>Please be sure that you are entering here the "
            "same password, that you have entered above.</b></td> </tr>");
        page->Addf(
            "<tr><td>Re-enter the Password: </td><td><input type=\"password\" name=\"scode1\" value=\"\" "
            "size=\"80\">\n");
        page->Addf(
            "<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input "
            "type=\"submit\" value=\"Submit\"></td></tr>\n");
        page->Addf("</form></table>\n");
        page->Addf("</td></tr></table>\n");
        return;
    }
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr><td align=\"center\">\n");
    // The hint asks this of the password; the key may be any text.
    if (!word_characters(scode) || !word_characters(scode1)) {
        page->Addf(
            "Please use only <font><B>Alphanumeric Characters.</b></font>\n<BR><a href=\"/password\">Click "
            "here to try again.</a>\n");
        return;
    }
    if (scode != scode1) {
        page->Addf(
            "The Entered <font><B>\"Password\"</b></font> and the <font><B>\"Confirm Password\"</b></font> "
            "fields do not match or, are empty.<BR><a href=\"/password\">Click here to try again.</a>\n");
        return;
    }
    unsigned char out[CIPHER_FIELD_MAX];
    int symbols = korvantel_privatise((const unsigned char *)scode.data(), (const unsigned char *)key.c_str(), nullptr,
                                      out, (int)scode.size(), (int)sizeof out);
    if (symbols <= 0) {
        page->Addf(
            "The password could not be enciphered (it may be too long).<BR><a href=\"/password\">Click here "
            "to try again.</a>\n");
        return;
    }
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr><td align=\"center\">\n");
    page->Addf("<tr class=\"%s\"><td align=\"center\" width=\"25%%\">%.*s</td></tr>\n", "listeven", 2 * symbols,
               (const char *)out);
    page->Addf("</table></td></tr>\n");
}

void interface_page_password(Filebuf *page, CGIMap &form, CONNECTION_T *) { password_page(page, form); }
