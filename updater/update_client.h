// Launcher of the online update client: a Java program ("jsf.jar" in the
// Skyfetcher directory below the store's base directory) started through
// "/bin/sh -c" with a "java" interpreter found on PATH.
//
// Calling order: construct a CUpdateClient (it holds nothing) and call
// RunDefUpdate (the full update: store pre-update step, client, post-update
// step) or RunMicroDefUpdate (the microdefs download; the caller runs the
// microdefs pre- and post-update steps around it). Each run forks once and
// blocks until the child ends. CClientEnvironment puts the client's jar at
// the front of CLASSPATH when constructed; the runs construct one
// themselves.
//
// Ownership: the environment entries put here (CLASSPATH, QORDEFSDIR,
// HUBDELTADIR, CURDELTADIR) stay in the process environment for the rest of
// the run, so their storage is never released while environ refers to it
// (see client_environment.cpp). Buffers are the caller's; every string
// built into one is cut to fit and stays terminated.
//
// Errors come back as command result codes (command_result.h). No message
// is written and nothing is thrown here; the store manager of a full update
// keeps its own debug log. Before the client starts, the child ends with
// status 1 (no interpreter on PATH), 2 (no argument group: the newest set
// has no date) or 3 (the shell could not be started); the parent reports
// each as kCmdUpdateClientFailed.
#pragma once

#include <cstddef>

#include "defutils/defutils.h"
#include "updater/command_result.h"

// Names and settings of the update client, exported as they are.
extern const char* const JAVA;
extern const char* const JSFJAR;
extern const char* const SKYFETCHER;
extern const char* const CLASSPATH;
extern const char* const PATH;
extern const char* const PATHSEP;
extern const char* const LISTSEP;
// The shipped configuration file's name. Code reads the configuration
// through TarvolixConfPath(), which the test build redirects.
extern const char* const CONFIGFILE;
extern const char* const TARVOLIX_SHARED_SECTION;
extern const char* const BASE_DIRECTORY;
extern const char* const SFPRODUCT;
extern const char* const SFVERSION;
extern const char* const LANGUAGE;
extern const char* const DEFUPDATE;
extern const char* const QORDEFSDIR;
extern const char* const HUBDELTADIR;
extern const char* const CURDELTADIR;

// Exit statuses of the child before the client runs.
constexpr int UPDATE_CHILD_NO_JAVA = 1;
constexpr int UPDATE_CHILD_NO_ARGUMENTS = 2;
constexpr int UPDATE_CHILD_NO_SHELL = 3;

// Sizes of the buffers the runs use (terminator included).
constexpr size_t UPDATE_CLIENT_PATH_SIZE = 4095;      // client dir, jar, PATH candidate, stamp
constexpr size_t UPDATE_ARGUMENTS_SIZE = 1024;        // argument group of a full update
constexpr size_t UPDATE_JAVA_PATH_SIZE = 4096;        // interpreter, full update
constexpr size_t UPDATE_MICRO_JAVA_PATH_SIZE = 8190;  // interpreter, microdefs
constexpr size_t UPDATE_ENV_ENTRY_SIZE = 4115;        // "QORDEFSDIR=<dir>" and the like

class CClientEnvironment {
public:
    // Puts the client jar at the front of CLASSPATH (SetClassPath).
    CClientEnvironment();
    // Releases the CLASSPATH entry unless the environment still refers to
    // it.
    ~CClientEnvironment();
    CClientEnvironment(const CClientEnvironment&) = delete;
    CClientEnvironment& operator=(const CClientEnvironment&) = delete;

    // "<BaseDir>/Skyfetcher", or the empty string when BaseDir is not
    // configured. A null buffer is left alone.
    void GetClientDir(char* pszBuffer, size_t nSize);
    // CLASSPATH becomes "<jar>" or "<jar>:<old value>"; unchanged when
    // BaseDir is unknown or the old value already contains the jar path.
    void SetClassPath();
    // True for an existing regular file or directory (links followed).
    bool PathExists(const char* pszPath);
    // The first "<PATH entry>/java" that exists, or the empty string. Empty
    // PATH entries are skipped; the candidate is not tested for being
    // executable.
    void FindJava(char* pszBuffer, size_t nSize);

private:
    char* m_pszClassPathEntry;  // "CLASSPATH=..." as given to putenv, or null
};

class CUpdateClient {
public:
    CUpdateClient() {}
    ~CUpdateClient() {}

    // Ten digits "YYYYMMDDRR" of the newest set (revision capped at 99), or
    // the empty string when the newest set has no date.
    void GetNewestDefsStamp(char* pszBuffer, size_t nSize);
    // "[ -p <product> -v <version> -l <language> -z <stamp> -t VirusDef ]",
    // preceded by " -d " when JSFDEBUG is set (to any value, even empty);
    // the empty string when there is no stamp.
    void BuildClientArguments(char* pszBuffer, size_t nSize);
    // The full update. pszValue (may be null) goes between the class name
    // and the argument group. pObserver, when given, receives the store
    // manager's log lines (the command line shows copy progress from them).
    // Returns kCmdOk, kCmdAppInitFailed, kCmdPreUpdateFailed,
    // kCmdUpdateClientFailed or kCmdPostUpdateFailed.
    int RunDefUpdate(const char* pszValue, CDefUtils::CLogCallback* pObserver = nullptr);
    // The microdefs download into the two patch directories, with the
    // argument groups built by the microdefs command. Returns kCmdOk or
    // kCmdUpdateClientFailed.
    int RunMicroDefUpdate(const char* pszHubPatchDir, const char* pszDirectPatchDir,
                          const char* pszArguments);
};
