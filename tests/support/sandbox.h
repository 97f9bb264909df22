// Test sandbox: a temporary directory holding both machine configuration
// files and a base directory, wired to the sandbox build through the
// QORDEFUTIL_SANDBOX_* variables, and removed again afterwards.
//
// Every test process gets its own sandbox, so tests run in parallel without
// seeing each other's stores. The store group is the caller's effective
// group, which the caller may always chown to.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& Root() const { return m_root; }
    // <root>/base: BaseDir of "Tarvolix Shared".
    const std::string& BaseDir() const { return m_baseDir; }
    // <root>/base/virusdefs: the default content's definitions directory.
    std::string DefsDir() const { return m_baseDir + "/virusdefs"; }
    const std::string& TarvolixConf() const { return m_tarvolixConf; }
    const std::string& DefutilsConf() const { return m_defutilsConf; }
    const std::string& GroupName() const { return m_group; }
    gid_t GroupId() const { return m_gid; }

    // Replaces the whole Tarvolix configuration file.
    void WriteTarvolixConf(const std::string& contents) const;
    // Creates or replaces the defutils configuration file.
    void WriteDefutilsConf(const std::string& contents) const;
    // Points the sandbox at another group name (for example one that does
    // not exist).
    void SetGroupName(const std::string& name);

    // Path below the root.
    std::string Path(const std::string& relative) const { return m_root + "/" + relative; }

private:
    std::string m_root;
    std::string m_baseDir;
    std::string m_tarvolixConf;
    std::string m_defutilsConf;
    std::string m_group;
    gid_t m_gid;
};

// A fixture that gives every test a fresh sandbox.
class SandboxTest : public ::testing::Test {
protected:
    Sandbox sandbox;
};

// Small file helpers for tests.
void WriteTextFile(const std::string& path, const std::string& contents, mode_t mode = 0644);
std::string ReadTextFile(const std::string& path);
bool PathExists(const std::string& path);
void MakeDirs(const std::string& path, mode_t mode = 0755);
void RemoveTree(const std::string& path);
// Mode bits (07777) of a path, or -1 when it cannot be examined.
int PathMode(const std::string& path);
// Sorted names in a directory, without "." and "..".
std::vector<std::string> ListDir(const std::string& path);
