#include "defutils/input_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One value per class of byte each check must refuse, and the limits; the
// hardening suite runs the same values through the program, but only as root.
TEST(InputChecks, RefuseWhatCouldBreakAFileOrAShell)
{
    using Check = const char* (*)(const char*);
    const std::string kAppId(DU_MAX_APPID_LENGTH, 'a'), kType(DU_MAX_CONTENT_TYPE_LENGTH, 't');
    const struct {
        const char* name;
        Check check;
        std::vector<std::string> accepted, refused;
    } rows[] = {
        {"AppId",
         [](const char* psz) { return DuAppIdProblem(psz); },
         {"My App (x86) v2.0/1", kAppId},
         {kAppId + "a", "", "[evil", "evil]", "a=b", "a\n[x]", "a\x7f", " app", "app "}},
        {"ContentType",
         [](const char* psz) { return DuContentTypeProblem(psz); },
         {"a.b", kType},
         {kType + "t", ".", "..", "a/b", "a]b", "a=b", "a\rb", "type "}},
        {"Shell",
         [](const char* psz) { return DuShellValueProblem(psz); },
         {"a-b_c.d,e:f+g@h%i/j=k \xc3\xa4"},
         {"x$(touch y)", "x`id`", "x;id", "x|id", "x>y", "x*", "x\"y", "x'y", "x\\y", "x\ny"}},
        {"Quoted",
         [](const char* psz) { return DuShellValueProblem(psz, true); },
         {"\"Quoted Prod\""},
         {"\"$(id)\""}},
    };
    for (const auto& row : rows) {
        for (const std::string& value : row.accepted)
            EXPECT_EQ(nullptr, row.check(value.c_str())) << row.name << " " << value;
        for (const std::string& value : row.refused)
            EXPECT_NE(nullptr, row.check(value.c_str())) << row.name << " " << value;
    }
    EXPECT_NE(nullptr, DuAppIdProblem(nullptr));
}

TEST(InputChecks, PrintableValueEscapesAndCuts)
{
    EXPECT_EQ("a\\x0a[x]\\x5c", DuPrintableValue("a\n[x]\\"));
    EXPECT_EQ(std::string(64, 'z') + "...", DuPrintableValue(std::string(65, 'z').c_str()));
    EXPECT_EQ(std::string(64, 'z'), DuPrintableValue(std::string(64, 'z').c_str()));
}

}  // namespace
