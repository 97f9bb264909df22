#include "tests/support/store_check.h"

#include <algorithm>
#include <regex>
#include <sstream>

#include "tests/support/cli_runner.h"

namespace {

const std::string kSetName = "[0-9]{8}\\.[0-9]{3,}";

// The non-empty lines; a NUL byte or an unended last line (torn write) is a problem.
Strings Lines(const std::string& defsDir, const std::string& file, Strings* pProblems)
{
    const std::string text = ReadTextFile(defsDir + "/" + file);
    if (text.find('\0') != std::string::npos)
        pProblems->push_back(file + " holds a NUL byte");
    if (!text.empty() && text.back() != '\n')
        pProblems->push_back(file + " ends inside a line: " +
                             ::testing::PrintToString(text.substr(text.rfind('\n') + 1)));
    Strings lines = PrefixedLines(text);
    lines.erase(std::remove(lines.begin(), lines.end(), std::string()), lines.end());
    return lines;
}

// "" when every dir/name reads "<name> of <tag>\n", all with one tag.
std::string MixProblem(const std::string& dir, const Strings& names)
{
    std::string tag;
    for (const std::string& name : names) {
        const std::string text = ReadTextFile(dir + "/" + name);
        std::smatch m;
        if (!std::regex_match(text, m, std::regex(name + " of (.+)\n")))
            return PathExists(dir + "/" + name)
                       ? "has a partial " + name + ": " + ::testing::PrintToString(text)
                       : "lacks " + name;
        if (!tag.empty() && m[1] != tag)
            return "mixes files of " + tag + " and " + m[1].str();
        tag = m[1];
    }
    return "";
}

// "" when dir is a complete set holding the files of the set it is named after.
std::string SetProblem(const std::string& dir)
{
    std::string tag,
        problem = PathExists(dir + "/.") ? MixProblem(dir, SetDataFiles()) : "does not exist";
    if (problem.empty() && !IsCompleteSet(dir, &tag))
        problem = "lacks catalog.dat, or its virscan1.dat is partial or of another set";
    return !problem.empty() || dir.substr(dir.rfind('/') + 1) == tag ? problem
                                                                     : "holds the files of " + tag;
}

}  // namespace

SetDate ScriptSet(char name)
{
    const int n = static_cast<int>(std::string("ZAB").find(name)) + 1;
    return SetDate{2024, n, 1, static_cast<uint32_t>(n)};
}

std::vector<Strings> Commands(const std::string& script, const std::string& srcDir)
{
    std::vector<Strings> commands;
    std::istringstream list(script);
    for (std::string command; std::getline(list, command, ';');) {
        commands.emplace_back();
        for (const std::string& word : Words(command))
            commands.back().push_back(word[0] == '{' ? srcDir + "/" + word[1] : word);
    }
    return commands;
}

void BuildStore(const Sandbox& sandbox, const std::string& script)
{
    for (char set : {'Z', 'A', 'B'})
        WriteSet(sandbox.Path(std::string("src/") + set), ScriptSet(set));
    for (const Strings& args : Commands(script, sandbox.Path("src"))) {
        if (args[0] == "incoming") {
            WriteSet(sandbox.DefsDir() + "/incoming", ScriptSet('B'));
            continue;
        }
        CliResult r = RunCli(args);
        ASSERT_EQ(r.status, 0) << ::testing::PrintToString(args) << ": " << r.err;
    }
    sandbox.SaveStore(sandbox.Path("template"));
}

std::string StoreView::RegisteredSet(const std::string& appId) const
{
    auto found = appsIn.find(appId);
    return found == appsIn.end() || found->second.empty() ? "" : found->second.front();
}

Strings ConsistencyProblems(const std::string& defsDir, const std::set<std::string>& appIds,
                            StoreView* pView)
{
    static const std::regex kDate("(CurDefs|LastDefs)=(" + kSetName + ")"),
        kSection("\\[(" + kSetName + ")\\]"), kMember("(.+)=1");
    StoreView view;
    Strings problems;
    bool bInDates = false;
    std::smatch m;
    for (const std::string& line : Lines(defsDir, "definfo.dat", &problems)) {
        if (line == "[DefDates]") {
            bInDates = true;
        } else if (bInDates && std::regex_match(line, m, kDate)) {
            std::string& slot = m[1] == "CurDefs" ? view.cur : view.last;
            if (!slot.empty())
                problems.push_back("definfo.dat names " + m[1].str() + " twice");
            slot = m[2];
        } else {
            problems.push_back("definfo.dat has a line the program never writes: " +
                               ::testing::PrintToString(line));
        }
    }
    std::string section;
    for (const std::string& line : Lines(defsDir, "usage.dat", &problems)) {
        if (std::regex_match(line, m, kSection)) {
            section = m[1];
            if (view.members.count(section) != 0)
                problems.push_back("usage.dat has section [" + section + "] twice");
            view.members[section];
        } else if (!section.empty() && std::regex_match(line, m, kMember) &&
                   appIds.count(m[1]) != 0) {
            Strings &members = view.members[section], &in = view.appsIn[m[1]];
            if (std::count(members.begin(), members.end(), m[1].str()) != 0)
                problems.push_back("usage.dat lists " + m[1].str() + " twice in [" + section + "]");
            members.push_back(m[1]);
            if (std::count(in.begin(), in.end(), section) == 0)
                in.push_back(section);
        } else {
            problems.push_back("usage.dat has a line the program never writes: " +
                               ::testing::PrintToString(line));
        }
    }
    std::map<std::string, std::string> named = {{"CurDefs", view.cur}, {"LastDefs", view.last}};
    for (const auto& app : view.appsIn) named["the set of " + app.first] = app.second.front();
    for (const auto& name : named) {
        const std::string problem =
            name.second.empty() ? "" : SetProblem(defsDir + "/" + name.second);
        if (!problem.empty())
            problems.push_back(name.first + " is " + name.second + ", which " + problem);
    }
    if (pView != nullptr)
        *pView = view;
    return problems;
}

Strings LeftoverProblems(const std::string& defsDir, const StoreView& view)
{
    static const std::regex kSet(kSetName);
    Strings problems;
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
        if (!PathExists(defsDir + "/" + name + "/."))
            continue;
        if (name.compare(0, 3, "tmp") == 0)
            problems.push_back("temporary directory " + name + " left behind");
        if (std::regex_match(name, kSet) && name != view.cur && name != view.last &&
            view.members.count(name) == 0)
            problems.push_back("set directory " + name + " left behind, named by nothing");
    }
    return problems;
}

Strings HubProblems(const std::string& defsDir, const std::string& defutilsConf)
{
    Strings problems;
    for (const std::string key : {"LastBinUpdate", "LastTextUpdate"}) {
        char szValue[64] = "";
        GetPrivateProfileString("tvlxdata-shareddefs-microdefs", key.c_str(), "", szValue,
                                sizeof szValue, defutilsConf.c_str());
        const bool bBin = key == "LastBinUpdate";
        const std::string hub = bBin ? "binhub" : "texthub";
        const std::string problem =
            std::string(szValue) != "1"
                ? ""
                : MixProblem(defsDir + "/" + hub, bBin ? Strings{"binlinux.dat", "bincommon.dat"}
                                                       : Strings{"texthub.dat"});
        if (!problem.empty())
            problems.push_back(hub + ", marked good by " + key + "=1, " + problem);
    }
    return problems;
}
