// Checks of the values a command line hands the store: AppIds, content
// types, and the product names and option values that reach /bin/sh.
//
// Why: an AppId becomes a key in usage.dat, a content type a directory name
// below tvlxdata and part of a section name, and a product name part of a
// shell command; each of "[", "=", "/", "..", a line break or "$(" would
// let one caller corrupt everyone's registrations or run commands as root.
// The store manager refuses such values itself (InitWindowsApp,
// InitInstallApp, ContentTypeExists, InitBase, the update client's runs);
// the command handlers ask first so that they can say why.
//
// Each check returns null for an acceptable value, else a short reason in
// English ("it contains '='"). Pure functions: no state, no I/O.
#pragma once

#include <cstddef>
#include <string>

// An AppId must fit one usage.dat line as the profile engine reads it:
// "<AppId>=1" and its line feed within 254 bytes. A longer entry reads as
// two lines, and removing it leaves an empty line that ends its section
// early, hiding the registrations after it.
constexpr size_t DU_MAX_APPID_LENGTH = 251;
// A content type names one directory and is part of a section name.
constexpr size_t DU_MAX_CONTENT_TYPE_LENGTH = 128;

// 1 to 251 bytes; no '[', ']', '=', control character, or leading or
// trailing blank.
const char* DuAppIdProblem(const char* pszAppId);
// 1 to 128 bytes; no '/', '[', ']', '=', control character, or leading or
// trailing blank; not "." or "..".
const char* DuContentTypeProblem(const char* pszContentType);
// Only ASCII letters, digits, blanks, bytes 0x80 to 0xff and - _ . , : + @ %
// / =; nothing the shell would expand, split on or redirect. With
// bAllowQuotes also '"': a product name may arrive already quoted, and
// among the other allowed characters a quote changes no meaning.
const char* DuShellValueProblem(const char* pszValue, bool bAllowQuotes = false);

// The value as it can be shown in one message line: printable ASCII as it
// is, every other byte as \xNN, cut after 64 bytes of input with "...".
std::string DuPrintableValue(const char* pszValue);
