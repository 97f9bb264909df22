// Command line of qordefutil: option table, parser and dispatch.
//
// QorDefUtilMain parses at most the first two arguments, prints help or the
// version when asked, otherwise runs the handler of every option seen in a
// fixed order and turns the last handler's result into "Command failed: ..."
// and the exit status. Handlers come in through CommandHandlers so tests can
// observe the dispatch with doubles; the shipped program passes
// DefaultCommandHandlers().
#pragma once

#include <cstdint>

extern const char g_szProgramName[];
extern const char g_szVersion[];
extern const char g_szVersionCopyright[];
extern const char g_copyRight[];
extern const char g_szUsage[];

enum ArgMode : uint32_t {
    ARG_REQUIRED = 0,
    ARG_OPTIONAL = 1,
    ARG_NONE = 2,
};

struct OptionEntry {
    const char* pszShort;
    uint32_t nShortSize;
    const char* pszLong;
    uint32_t nLongSize;
    uint32_t nArgMode;
};

constexpr int OPTION_COUNT = 12;
extern const OptionEntry g_aOptions[OPTION_COUNT];

// Parses the argument under *pppCursor (null: nothing left). ppszStop is the
// last argument the parser may examine. Returns the matched row or null;
// moves the cursor past what it consumed. With bReport set, writes the parse
// error messages to standard error.
const OptionEntry* ParseOption(char*** pppCursor, char** ppszStop, bool bReport, char** ppszValue,
                               int* pnStatus);

struct CommandHandlers {
    int (*getCurrentDefs)(const char* pszAppId, const char* pszContentType);
    int (*install)(const char* pszSourceDir, const char* pszContentType);
    int (*uninstall)(const char* pszAppId, const char* pszContentType);
    int (*skyfetcher)(const char* pszValue);
    int (*newest)(const char* pszAppId, const char* pszContentType);
    int (*microDefs)(const char* pszProduct, const char* pszContentType);
    int (*restoreLastDefs)(const char* pszContentType);
    int (*registerProduct)(const char* pszProduct);
    int (*unregisterProduct)();
};

const CommandHandlers& DefaultCommandHandlers();

int QorDefUtilMain(int argc, char** argv, const CommandHandlers& handlers);
