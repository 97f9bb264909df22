// Fixture of the update client tests: a sandbox store, the stand-in "java"
// first on PATH, and the process environment put back after every test
// (the launcher changes this process's own environment).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

class UpdateClientTest : public SandboxTest {
protected:
    void SetUp() override
    {
        for (const char* pszName : kTouched) {
            const char* pszValue = getenv(pszName);
            m_saved[pszName] = pszValue != nullptr ? std::make_pair(true, std::string(pszValue))
                                                   : std::make_pair(false, std::string());
        }
        for (const char* pszName : kTouched) unsetenv(pszName);
        setenv("PATH", (std::string(QDU_FAKE_JAVA_DIR) + ":/usr/bin:/bin").c_str(), 1);
        m_record = sandbox.Path("java-record.txt");
        setenv("FAKE_JAVA_RECORD", m_record.c_str(), 1);
    }

    void TearDown() override
    {
        for (const auto& entry : m_saved) {
            if (entry.second.first)
                setenv(entry.first.c_str(), entry.second.second.c_str(), 1);
            else
                unsetenv(entry.first.c_str());
        }
    }

    // A store whose newest set is `date`.
    std::string MakeStoreWithNewest(const SetDate& date)
    {
        std::string setDir = sandbox.DefsDir() + "/" + date.DirName();
        WriteSet(setDir, date);
        WriteTextFile(sandbox.DefsDir() + "/definfo.dat",
                      DefInfoText(date.DirName(), date.DirName()));
        return setDir;
    }

    std::string JarPath() const { return sandbox.BaseDir() + "/Skyfetcher/jsf.jar"; }

    bool ClientRan() const { return PathExists(m_record); }

    // The argument vector the stand-in received (without argv[0]).
    std::vector<std::string> ClientArgs() const
    {
        std::vector<std::string> args;
        std::istringstream in(ReadTextFile(m_record));
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 4, "arg ") == 0)
                args.push_back(line.substr(4));
        }
        return args;
    }

    // The value the stand-in saw for a variable; "<unset>" when absent.
    std::string ClientEnv(const std::string& name) const
    {
        std::istringstream in(ReadTextFile(m_record));
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 4 + name.size() + 1, "env " + name + "=") == 0)
                return line.substr(4 + name.size() + 1);
        }
        return "<unset>";
    }

    // Names of temporary update directories left in the store.
    std::vector<std::string> TempDirsLeft() const
    {
        std::vector<std::string> left;
        for (const std::string& name : ListDir(sandbox.DefsDir())) {
            if (name.compare(0, 3, "tmp") == 0)
                left.push_back(name);
        }
        return left;
    }

    std::string m_record;

private:
    static constexpr const char* kTouched[] = {
        "PATH",           "CLASSPATH",       "JSFDEBUG",         "QORDEFSDIR",
        "HUBDELTADIR",    "CURDELTADIR",     "FAKE_JAVA_RECORD", "FAKE_JAVA_COPY_FROM",
        "FAKE_JAVA_EXIT", "FAKE_JAVA_SIGNAL"};
    std::map<std::string, std::pair<bool, std::string>> m_saved;
};

// Splits text at blanks the way the shell splits an unquoted command.
inline std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}
