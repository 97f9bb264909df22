#include "defutils/input_checks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Row {
    const char* name;
    std::string value;
    bool accepted;
};

TEST(InputChecks, AppIds)
{
    const Row rows[] = {
        {"ordinary", "app1", true},
        {"inner blanks and punctuation", "My App (x86) v2.0/1", true},
        {"at the limit", std::string(DU_MAX_APPID_LENGTH, 'a'), true},
        {"one over", std::string(DU_MAX_APPID_LENGTH + 1, 'a'), false},
        {"empty", "", false},
        {"opens a section", "[evil", false},
        {"closes a section", "evil]", false},
        {"key separator", "a=b", false},
        {"newline and header", "a\n[x]", false},
        {"tab", "a\tb", false},
        {"delete character", "a\x7f", false},
        {"leading blank", " app", false},
        {"trailing blank", "app ", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.accepted, DuAppIdProblem(row.value.c_str()) == nullptr) << row.name;
    EXPECT_NE(nullptr, DuAppIdProblem(nullptr));
}

TEST(InputChecks, ContentTypes)
{
    const Row rows[] = {
        {"ordinary", "SharedDefs", true},
        {"dots inside", "a.b", true},
        {"at the limit", std::string(DU_MAX_CONTENT_TYPE_LENGTH, 't'), true},
        {"one over", std::string(DU_MAX_CONTENT_TYPE_LENGTH + 1, 't'), false},
        {"dot", ".", false},
        {"dot-dot", "..", false},
        {"slash", "a/b", false},
        {"climbs out", "../../x", false},
        {"section bracket", "a]b", false},
        {"equals", "a=b", false},
        {"control", "a\rb", false},
        {"trailing blank", "type ", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.accepted, DuContentTypeProblem(row.value.c_str()) == nullptr) << row.name;
}

TEST(InputChecks, ShellValues)
{
    const Row rows[] = {
        {"product words", "Tarvolix Endpoint 2.1", true},
        {"allowed punctuation", "a-b_c.d,e:f+g@h%i/j=k", true},
        {"eight-bit bytes", "Produkt \xc3\xa4", true},
        {"command substitution", "x$(touch y)", false},
        {"backquotes", "x`id`", false},
        {"separator", "x;id", false},
        {"pipe", "x|id", false},
        {"redirection", "x>y", false},
        {"glob", "x*", false},
        {"quote", "x\"y", false},
        {"single quote", "x'y", false},
        {"backslash", "x\\y", false},
        {"newline", "x\ny", false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.accepted, DuShellValueProblem(row.value.c_str()) == nullptr) << row.name;
    EXPECT_EQ(nullptr, DuShellValueProblem("\"Quoted Prod\"", true)) << "quotes where allowed";
    EXPECT_NE(nullptr, DuShellValueProblem("\"$(id)\"", true));
}

TEST(InputChecks, PrintableValueEscapesAndCuts)
{
    EXPECT_EQ("a\\x0a[x]\\x5c", DuPrintableValue("a\n[x]\\"));
    EXPECT_EQ(std::string(64, 'z') + "...", DuPrintableValue(std::string(65, 'z').c_str()));
    EXPECT_EQ(std::string(64, 'z'), DuPrintableValue(std::string(64, 'z').c_str()));
}

}  // namespace
