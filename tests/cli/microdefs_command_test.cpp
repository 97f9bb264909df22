// Argument groups, sequence numbers and console progress of the microdefs
// command.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cli/console_progress.h"
#include "cli/microdefs_command.h"

namespace {

struct GroupCase {
    const char* name;
    const char* product;
    const char* channel;
    const char* content;
    const char* sequence;
    const char* expected;
};

class BuildArgumentsTest : public ::testing::TestWithParam<GroupCase> {};

TEST_P(BuildArgumentsTest, QuotesEverythingButAQuotedProduct)
{
    const GroupCase& c = GetParam();
    char buf[4095];
    BuildMicroDefArguments(c.product, c.channel, c.content, c.sequence, buf, sizeof buf);
    EXPECT_STREQ(buf, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BuildArgumentsTest,
    ::testing::Values(
        GroupCase{"PlainProduct", "Mail Guard", "MicroDefsB.Mar", "HubDefs", "90315012",
                  " [ -p \"Mail Guard\" -v \"MicroDefsB.Mar\" -l \"TvlAllLanguages\" -t "
                  "\"HubDefs\" -z \"90315012\" ] "},
        GroupCase{"QuotedProductKept", "\"Mail Guard\"", "MicroDefsB.CurDefs", "CurDefs", "0",
                  " [ -p \"Mail Guard\" -v \"MicroDefsB.CurDefs\" -l \"TvlAllLanguages\" -t "
                  "\"CurDefs\" -z \"0\" ] "},
        // Only a leading quote marks a product as quoted.
        GroupCase{"TrailingQuoteOnly", "Guard\"", "C", "CurDefs", "1",
                  " [ -p \"Guard\"\" -v \"C\" -l \"TvlAllLanguages\" -t \"CurDefs\" -z \"1\" ] "},
        GroupCase{"ChannelQuotedAgain", "P", "\"X\"", "CurDefs", "1",
                  " [ -p \"P\" -v \"\"X\"\" -l \"TvlAllLanguages\" -t \"CurDefs\" -z \"1\" ] "}),
    [](const ::testing::TestParamInfo<GroupCase>& info) { return info.param.name; });

TEST(BuildArguments, CutAtBufferSizeMinusOne)
{
    std::string product(5000, 'p');
    char buf[4095];
    memset(buf, 'X', sizeof buf);
    BuildMicroDefArguments(product.c_str(), "c", "t", "0", buf, sizeof buf);
    EXPECT_EQ(strlen(buf), 4094u);
    EXPECT_EQ(std::string(buf, 7), " [ -p \"");
    char small[10];
    BuildMicroDefArguments("P", "c", "t", "0", small, sizeof small);
    EXPECT_STREQ(small, " [ -p \"P\"");
}

TEST(ArgumentText, ThreeGroupsRunTogether)
{
    char text[MICRODEF_ARGUMENT_TEXT_SIZE];
    BuildMicroDefArgumentText("P", "MicroDefsB.Mar", "1", "2", text, sizeof text);
    EXPECT_STREQ(text,
                 " [ -p \"P\" -v \"MicroDefsB.Mar\" -l \"TvlAllLanguages\" -t \"HubDefs\" -z \"1\" ] "
                 " [ -p \"P\" -v \"MicroDefsB.Mar\" -l \"TvlAllLanguages\" -t \"CurDefs\" -z \"2\" ] "
                 " [ -p \"P\" -v \"MicroDefsB.CurDefs\" -l \"TvlAllLanguages\" -t \"CurDefs\" -z "
                 "\"2\" ] ");
}

TEST(ArgumentText, LongGroupsAreCutAt8189Characters)
{
    // Each group alone fits its 4095-byte buffer; the three together do not.
    std::string product(3000, 'p');
    char text[MICRODEF_ARGUMENT_TEXT_SIZE + 16];
    memset(text, 'X', sizeof text);
    BuildMicroDefArgumentText(product.c_str(), "c", "0", "0", text, MICRODEF_ARGUMENT_TEXT_SIZE);
    EXPECT_EQ(strlen(text), 8189u);
    EXPECT_EQ(text[MICRODEF_ARGUMENT_TEXT_SIZE], 'X');
    char group[4095];
    BuildMicroDefArguments(product.c_str(), "c", "HubDefs", "0", group, sizeof group);
    EXPECT_EQ(std::string(text, strlen(group)), group);
}

TEST(ConsoleProgress, PrintsSinglePrecisionPercentAndNeverCancels)
{
    CQorDefUtilProgress progress;
    CDefUtils::CProgress& reporter = progress;
    const struct {
        double value;
        const char* line;
    } rows[] = {
        {50, "50.000000%\n"},
        {0, "0.000000%\n"},
        {250, "250.000000%\n"},
        {33.3333333333, "33.333332%\n"},
        {4294967295.0, "4294967296.000000%\n"},
    };
    for (const auto& row : rows) {
        bool cancel = false;
        testing::internal::CaptureStdout();
        reporter.OnProgress(row.value, &cancel);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.line);
        EXPECT_FALSE(cancel);
    }
}

}  // namespace
