// Argument groups and console progress of the microdefs command; the whole
// command runs end to end in microdefs_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cli/console_progress.h"
#include "cli/microdefs_command.h"

namespace {

TEST(BuildArguments, OnlyALeadingQuoteMarksAQuotedProduct)
{
    const struct {
        const char* product;
        const char* channel;
        const char* expected;
    } kCases[] = {
        {"Guard\"", "C", " [ -p \"Guard\"\" -v \"C\" -l \"TvlAllLanguages\" -t \"T\" -z \"1\" ] "},
        {"\"P\"", "\"X\"", " [ -p \"P\" -v \"\"X\"\" -l \"TvlAllLanguages\" -t \"T\" -z \"1\" ] "},
    };
    for (const auto& c : kCases) {
        char buf[4095];
        BuildMicroDefArguments(c.product, c.channel, "T", "1", buf, sizeof buf);
        EXPECT_STREQ(buf, c.expected);
    }
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
    const struct {
        double value;
        const char* line;
    } rows[] = {
        {0, "0.000000%\n"},
        {250, "250.000000%\n"},
        {33.3333333333, "33.333332%\n"},
        {4294967295.0, "4294967296.000000%\n"},
    };
    for (const auto& row : rows) {
        bool cancel = false;
        testing::internal::CaptureStdout();
        static_cast<CDefUtils::CProgress&>(progress).OnProgress(row.value, &cancel);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.line);
        EXPECT_FALSE(cancel);
    }
}

}  // namespace
