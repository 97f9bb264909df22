// Test sandbox: a temporary directory holding the machine configuration
// files and a base directory, wired to the sandbox build through the
// QORDEFUTIL_SANDBOX_* variables and removed again afterwards (kept when
// QDU_KEEP_SANDBOX is set). One per test, so tests run in parallel; the
// store group is the caller's effective group, which it may always chown to.
// The file helpers report write failures as gtest failures.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

void WriteTextFile(const std::string& path, const std::string& contents, mode_t mode = 0644);
std::string ReadTextFile(const std::string& path);
bool PathExists(const std::string& path);  // lstat: a dangling link exists
void MakeDirs(const std::string& path, mode_t mode = 0755);
void RemoveTree(const std::string& path);
// Copies a tree of directories and regular files, keeping their modes.
void CopyTree(const std::string& from, const std::string& to);
// Mode bits (07777) of a path, or -1 when it cannot be examined.
int PathMode(const std::string& path);
// Sorted names in a directory, without "." and "..".
std::vector<std::string> ListDir(const std::string& path);
// The lines of text that start with prefix, each without it (all lines for "").
std::vector<std::string> PrefixedLines(const std::string& text, const std::string& prefix = "");
// The words of text, split at white space.
std::vector<std::string> Words(const std::string& text);

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& Root() const { return m_root; }
    // BaseDir of "Tarvolix Shared" and the default content's store in it.
    const std::string& BaseDir() const { return m_baseDir; }
    std::string DefsDir() const { return m_baseDir + "/virusdefs"; }
    const std::string& TarvolixConf() const { return m_tarvolixConf; }
    const std::string& DefutilsConf() const { return m_defutilsConf; }
    const std::string& GroupName() const { return m_group; }
    gid_t GroupId() const { return m_gid; }

    void WriteTarvolixConf(const std::string& text) const { WriteTextFile(m_tarvolixConf, text); }
    void WriteDefutilsConf(const std::string& text) const { WriteTextFile(m_defutilsConf, text); }
    // Another store group name, for example one that does not exist.
    void SetGroupName(const std::string& name);
    std::string Path(const std::string& relative) const { return m_root + "/" + relative; }
    // Keeps a copy of the store (the base directory and the utility's
    // configuration file, which holds the hubs' state) in dir, and puts it
    // back, so that a test can run many commands against the same store.
    void SaveStore(const std::string& dir) const;
    void RestoreStore(const std::string& dir) const;

private:
    std::string m_root, m_baseDir, m_tarvolixConf, m_defutilsConf, m_group;
    gid_t m_gid;
};

class SandboxTest : public ::testing::Test {
protected:
    Sandbox sandbox;
};
