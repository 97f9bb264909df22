#include "tests/support/store_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "tests/support/full_sets.h"
#include "tests/support/sandbox.h"

namespace {

bool IsSetName(const std::string& name)
{
    // "YYYYMMDD.RRR": eight digits, a dot, at least three digits.
    if (name.size() < 12 || name[8] != '.')
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (i != 8 && !isdigit(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Shown(const std::string& line)
{
    std::string shown;
    for (char c : line) shown += (c == '\0') ? std::string("\\0") : std::string(1, c);
    return "\"" + shown + "\"";
}

// Splits a bookkeeping file into lines; a NUL byte or a missing final line
// end (the tail of a torn write) is a problem.
std::vector<std::string> Lines(const std::string& file, const std::string& text,
                               std::vector<std::string>* pProblems)
{
    if (text.find('\0') != std::string::npos)
        pProblems->push_back(file + " holds a NUL byte");
    if (!text.empty() && text.back() != '\n')
        pProblems->push_back(file +
                             " ends inside a line: " + Shown(text.substr(text.rfind('\n') + 1)));
    std::vector<std::string> lines = PrefixedLines(text);
    lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
    return lines;
}

bool SplitEntry(const std::string& line, std::string* pKey, std::string* pValue)
{
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    *pKey = line.substr(0, eq);
    *pValue = line.substr(eq + 1);
    return true;
}

void ReadDefInfo(const std::string& path, StoreView* pView, std::vector<std::string>* pProblems)
{
    pView->bDefInfo = PathExists(path);
    if (!pView->bDefInfo)
        return;
    bool bInDates = false;
    for (const std::string& line : Lines("definfo.dat", ReadTextFile(path), pProblems)) {
        std::string key, value;
        if (line == "[DefDates]") {
            bInDates = true;
        } else if (bInDates && SplitEntry(line, &key, &value) &&
                   (key == "CurDefs" || key == "LastDefs") && IsSetName(value)) {
            std::string& slot = key == "CurDefs" ? pView->cur : pView->last;
            if (!slot.empty())
                pProblems->push_back("definfo.dat names " + key + " twice");
            slot = value;
        } else {
            pProblems->push_back("definfo.dat has a line the program never writes: " + Shown(line));
        }
    }
}

void ReadUsage(const std::string& path, const std::set<std::string>& appIds, StoreView* pView,
               std::vector<std::string>* pProblems)
{
    pView->bUsage = PathExists(path);
    if (!pView->bUsage)
        return;
    std::string section;
    for (const std::string& line : Lines("usage.dat", ReadTextFile(path), pProblems)) {
        std::string key, value;
        if (line.size() > 2 && line.front() == '[' && line.back() == ']' &&
            IsSetName(line.substr(1, line.size() - 2))) {
            section = line.substr(1, line.size() - 2);
            if (pView->members.count(section) != 0)
                pProblems->push_back("usage.dat has section [" + section + "] twice");
            pView->sections.push_back(section);
            pView->members[section];
        } else if (!section.empty() && SplitEntry(line, &key, &value) && value == "1" &&
                   appIds.count(key) != 0) {
            std::vector<std::string>& members = pView->members[section];
            if (std::find(members.begin(), members.end(), key) != members.end())
                pProblems->push_back("usage.dat lists " + key + " twice in [" + section + "]");
            else
                members.push_back(key);
            std::vector<std::string>& in = pView->appsIn[key];
            if (std::find(in.begin(), in.end(), section) == in.end())
                in.push_back(section);
        } else {
            pProblems->push_back("usage.dat has a line the program never writes: " + Shown(line));
        }
    }
}

// "" or the tag shared by every file in dir/names, each "<name> of <tag>\n".
std::string CommonTag(const std::string& dir, const std::vector<std::string>& names,
                      std::string* pProblem)
{
    std::string tag;
    for (const std::string& name : names) {
        if (!PathExists(dir + "/" + name)) {
            *pProblem = "lacks " + name;
            return "";
        }
        const std::string text = ReadTextFile(dir + "/" + name), prefix = name + " of ";
        if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0 ||
            text.back() != '\n') {
            *pProblem = "has a partial " + name + ": " + Shown(text);
            return "";
        }
        std::string own = text.substr(prefix.size(), text.size() - prefix.size() - 1);
        if (!tag.empty() && own != tag) {
            *pProblem = "mixes files of " + tag + " and " + own;
            return "";
        }
        tag = own;
    }
    return tag;
}

}  // namespace

std::string StoreView::RegisteredSet(const std::string& appId) const
{
    auto found = appsIn.find(appId);
    return found == appsIn.end() || found->second.empty() ? "" : found->second.front();
}

std::string SetProblem(const std::string& setDir)
{
    if (!IsDirectory(setDir))
        return "does not exist";
    if (!PathExists(setDir + "/catalog.dat"))
        return "lacks catalog.dat";
    bool bInFiles = false;
    for (const std::string& line : PrefixedLines(ReadTextFile(setDir + "/catalog.dat"))) {
        if (!line.empty() && line[0] == '[')
            bInFiles = line == "[Files]";
        else if (bInFiles && !line.empty() && !PathExists(setDir + "/" + line))
            return "lacks " + line + " (listed in its catalog)";
    }
    std::string tag, problem;
    if (!IsCompleteSet(setDir, &tag)) {
        std::vector<std::string> names = SetDataFiles();
        CommonTag(setDir, names, &problem);
        return problem.empty() ? "has a partial virscan1.dat" : problem;
    }
    const std::string name = setDir.substr(setDir.rfind('/') + 1);
    return tag == name ? "" : "holds the files of " + tag;
}

std::vector<std::string> ConsistencyProblems(const std::string& defsDir,
                                             const std::set<std::string>& appIds, StoreView* pView)
{
    StoreView view;
    std::vector<std::string> problems;
    ReadDefInfo(defsDir + "/definfo.dat", &view, &problems);
    ReadUsage(defsDir + "/usage.dat", appIds, &view, &problems);
    for (const char* key : {"CurDefs", "LastDefs"}) {
        const std::string& name = std::string(key) == "CurDefs" ? view.cur : view.last;
        std::string problem = name.empty() ? "" : SetProblem(defsDir + "/" + name);
        if (!problem.empty())
            problems.push_back(std::string(key) + " names " + name + ", which " + problem);
    }
    for (const auto& app : view.appsIn) {
        const std::string set = view.RegisteredSet(app.first);
        std::string problem = SetProblem(defsDir + "/" + set);
        if (!problem.empty())
            problems.push_back(app.first + " is registered with " + set + ", which " + problem);
    }
    if (pView != nullptr)
        *pView = view;
    return problems;
}

std::vector<std::string> LeftoverProblems(const std::string& defsDir, const StoreView& view)
{
    std::vector<std::string> problems;
    for (const auto& app : view.appsIn) {
        if (app.second.size() > 1)
            problems.push_back(app.first + " is registered in " +
                               std::to_string(app.second.size()) + " sections");
    }
    for (const auto& section : view.members) {
        if (section.second.empty())
            problems.push_back("usage.dat keeps the empty section [" + section.first + "]");
    }
    for (const std::string& name : ListDir(defsDir)) {
        if (!IsDirectory(defsDir + "/" + name))
            continue;
        if (name.compare(0, 3, "tmp") == 0)
            problems.push_back("temporary directory " + name + " left behind");
        if (IsSetName(name) && name != view.cur && name != view.last &&
            view.members.count(name) == 0)
            problems.push_back("set directory " + name + " left behind, named by nothing");
    }
    return problems;
}

std::vector<std::string> HubProblems(const std::string& defsDir, const std::string& defutilsConf)
{
    const struct {
        const char* key;
        const char* hub;
        std::vector<std::string> files;
    } hubs[] = {{"LastBinUpdate", "binhub", {"binlinux.dat", "bincommon.dat"}},
                {"LastTextUpdate", "texthub", {"texthub.dat"}}};
    std::vector<std::string> problems;
    for (const auto& hub : hubs) {
        char szValue[64] = "";
        GetPrivateProfileString("tvlxdata-shareddefs-microdefs", hub.key, "", szValue,
                                sizeof szValue, defutilsConf.c_str());
        if (std::string(szValue) != "1")
            continue;
        std::string problem;
        CommonTag(defsDir + "/" + hub.hub, hub.files, &problem);
        if (!problem.empty())
            problems.push_back(std::string(hub.hub) + ", marked good by " + hub.key + "=1, " +
                               problem);
    }
    return problems;
}
