#include "defutils/input_checks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// One row per class of byte each check must refuse, and the limits; the
// hardening suite runs the same values through the program, but only as root.
TEST(InputChecks, RefuseWhatCouldBreakAFileOrAShell)
{
    using Check = const char* (*)(const char*);
    const Check AppId = [](const char* psz) { return DuAppIdProblem(psz); };
    const Check Type = [](const char* psz) { return DuContentTypeProblem(psz); };
    const Check Shell = [](const char* psz) { return DuShellValueProblem(psz); };
    const Check Quoted = [](const char* psz) { return DuShellValueProblem(psz, true); };
    const std::string kMaxAppId(DU_MAX_APPID_LENGTH, 'a'),
        kMaxType(DU_MAX_CONTENT_TYPE_LENGTH, 't');
    const struct {
        Check check;
        std::string value;
        bool accepted;
    } rows[] = {
        {AppId, "My App (x86) v2.0/1", true},
        {AppId, kMaxAppId, true},
        {AppId, kMaxAppId + "a", false},
        {AppId, "", false},
        {AppId, "[evil", false},
        {AppId, "evil]", false},
        {AppId, "a=b", false},
        {AppId, "a\n[x]", false},
        {AppId, "a\x7f", false},
        {AppId, " app", false},
        {AppId, "app ", false},
        {Type, "a.b", true},
        {Type, kMaxType, true},
        {Type, kMaxType + "t", false},
        {Type, ".", false},
        {Type, "..", false},
        {Type, "a/b", false},
        {Type, "a]b", false},
        {Type, "a=b", false},
        {Type, "a\rb", false},
        {Type, "type ", false},
        {Shell, "a-b_c.d,e:f+g@h%i/j=k \xc3\xa4", true},
        {Shell, "x$(touch y)", false},
        {Shell, "x`id`", false},
        {Shell, "x;id", false},
        {Shell, "x|id", false},
        {Shell, "x>y", false},
        {Shell, "x*", false},
        {Shell, "x\"y", false},
        {Shell, "x'y", false},
        {Shell, "x\\y", false},
        {Shell, "x\ny", false},
        {Quoted, "\"Quoted Prod\"", true},
        {Quoted, "\"$(id)\"", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.accepted, row.check(row.value.c_str()) == nullptr) << row.value;
    EXPECT_NE(nullptr, DuAppIdProblem(nullptr));
}

TEST(InputChecks, PrintableValueEscapesAndCuts)
{
    EXPECT_EQ("a\\x0a[x]\\x5c", DuPrintableValue("a\n[x]\\"));
    EXPECT_EQ(std::string(64, 'z') + "...", DuPrintableValue(std::string(65, 'z').c_str()));
    EXPECT_EQ(std::string(64, 'z'), DuPrintableValue(std::string(64, 'z').c_str()));
}

}  // namespace
