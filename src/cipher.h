// Configuration password cipher: passwords the configuration must hold (the
// LDAP service account's) are stored enciphered under a per-installation
// key. The cipher text is RC4 (OpenSSL's legacy provider), written as base64
// symbols without padding, each symbol as two lower-case hexadecimal digits
// (its alphabet index plus one: "01" for "A", "40" for "/").
//
// The installation key is the text of the file "korvantel.key" beside the
// configuration document (its first line), created with 32 random
// hexadecimal digits and mode 0600 when missing. When neither works, the
// built-in key is used, which every such installation shares, and a warning
// says so. RC4 takes the key text's first 16 bytes, padded with zero bytes.
#ifndef KORVANTEL_CIPHER_H
#define KORVANTEL_CIPHER_H

#include <map>
#include <string>

class CGIMap;
class Filebuf;
struct CONNECTION_T;

// Enciphers length bytes of plain into out (capacity bytes, terminated when
// room is left). Returns the number of base64 symbols (the text has twice as
// many characters), or -1 for an empty input, a text that would not fit or
// a failure of the cipher library (logged). iv is passed to the library,
// which RC4 does not use; it may be null.
int korvantel_privatise(const unsigned char *plain, const unsigned char *key, const unsigned char *iv,
                        unsigned char *out, int length, int capacity);

// Deciphers length characters of text into out (capacity bytes, not
// terminated). Returns the number of plain bytes, or 0 when the text is not
// in the enciphered form, the result would not fit, or the library fails.
// Another key gives other bytes, not an error.
int korvantel_deprivatise(const unsigned char *text, const unsigned char *key, const unsigned char *iv,
                          unsigned char *out, int length, int capacity);

// Reads the key file, creating it when missing. main calls it before
// privileges are dropped, so a configuration directory that only root may
// write still gets its key; what it found is logged by
// installation_key_report once the log is set up.
void installation_key_prepare();
// Logs how the key was had, and a warning at every start while the built-in
// key shared by every installation without a key file is in use.
void installation_key_report();
// True while the built-in key is in use because no key file could be had.
bool installation_key_shared();
// The installation key text (read or created once).
std::string installation_key();
// Replaces the installation key (tests, and a key provisioned otherwise).
void installation_key_set(const std::string &key);
// Forgets the key; the next use reads (or creates) the file again.
void installation_key_forget();

// Deciphers a stored text with the installation key; false when it cannot
// be deciphered.
bool config_password(const std::string &stored, std::string *password);

// The body of the "/password" page for the form inputs "active" (key),
// "scode" and "scode1" (the password twice), appended to page.
void password_page(Filebuf *page, const std::map<std::string, std::string> &form);
// The web interface page (pages table).
void interface_page_password(Filebuf *page, CGIMap &form, CONNECTION_T *connection);

#endif
