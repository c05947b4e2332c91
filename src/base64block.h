// Base64 one block at a time (RFC 4648 alphabet, "=" as pad letter), and a
// text decoder built on it. The category cache file and the configuration
// password cipher frame their texts with these; HTTP authentication headers
// use the separate coder of base64.h.
#ifndef KORVANTEL_BASE64BLOCK_H
#define KORVANTEL_BASE64BLOCK_H

#include <string>

// Encodes one block: in holds three bytes of which the first len (1 to 3)
// are data, the rest zero; out receives four letters, the last one or two
// "=" for a short block.
void encodeblock(const unsigned char in[3], unsigned char out[4], int len);

// Decodes one block of four six-bit values (0 to 63, not letters) into three
// bytes.
void decodeblock(const unsigned char in[4], unsigned char out[3]);

// The value of a letter of the alphabet, or -1 for anything else ("=",
// blanks, line ends, bytes outside the alphabet).
int base64block_value(unsigned char c);

// Decodes a whole text and appends it to out as text: each group stops at its
// first zero byte; characters that are not letters are skipped. Returns the
// new length of out, or -1 (logged) for an empty text.
int decode64(const char *text, std::string *out);

// The base64 text of bytes, three at a time, the last group padded with "=".
std::string encode64(const std::string &bytes);

#endif
