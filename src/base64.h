// Standard Base64 (RFC 4648 alphabet, "=" padding) for HTTP Basic and NTLM
// credentials and the ICAP client's authenticated-user header.
#ifndef KORVANTEL_BASE64_H
#define KORVANTEL_BASE64_H

#include <stddef.h>

// Encodes n bytes into out: 4 characters per 3 bytes, "=" padding, NUL
// terminated. out must hold 4 * ceil(n / 3) + 1 bytes.
void to64frombits(unsigned char *out, const unsigned char *in, size_t n);

// Decodes Base64 text into out, which holds capacity bytes. A leading "+ " is
// skipped; decoding stops after a group with padding, at the end of the text
// or at a carriage return. Returns the number of bytes written (0 for a text
// starting with a carriage return), or -1 for text that is not Base64 or
// whose decoded form would not fit in capacity bytes. out is not terminated.
int from64tobits(char *out, const char *in, size_t capacity);

#endif
