// Character stepping shared by the pattern matcher, the profile engine and
// the path helpers.
//
// The next character starts after as many bytes as mblen reports for the
// current position (examining at most 16 bytes); a length below 1 counts as
// one byte, and at the terminating NUL the position does not move. The
// process never changes its locale, so in practice every byte is one
// character, but the stepping is kept so the rules stay in one place.
#pragma once

#include <cstddef>

// Bytes taken by the character at p: 0 at the terminator, otherwise at least 1.
size_t CharLen(const char* p);

// The position of the next character (p itself at the terminator).
const char* NextChar(const char* p);
char* NextChar(char* p);
