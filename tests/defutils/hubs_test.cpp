// The microdefs last-update flags.
#include <string>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

using HubsTest = SandboxTest;

TEST_F(HubsTest, LastUpdateValueIsTrueOnlyForOne)
{
    const std::string kSec = "[tvlxdata-shareddefs-microdefs]\n";
    const struct {
        const char* name;
        std::string conf;  // "": no configuration file
        DWORD nKind;
        bool bFound, bValue;
    } cases[] = {
        {"no_file", "", DU_BINARY, false, false},
        {"no_key", kSec + "LastTextUpdate=1\n", DU_BINARY, false, false},
        {"zero", kSec + "LastBinUpdate=0\n", DU_BINARY, true, false},
        {"one", kSec + "LastBinUpdate=1\n", DU_BINARY, true, true},
        {"ten", kSec + "LastBinUpdate=10\n", DU_BINARY, true, false},
        {"text_key", kSec + "LastBinUpdate=0\nLastTextUpdate=1\n", DU_TEXT, true, true},
        {"other_section", "[tvlxdata-other-microdefs]\nLastBinUpdate=1\n", DU_BINARY, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(sandbox.DefutilsConf());
        if (!c.conf.empty())
            sandbox.WriteDefutilsConf(c.conf);
        bool bValue = !c.bValue;
        EXPECT_EQ(c.bFound, CDefUtils().GetMicroDefLastUpdateValue(&bValue, c.nKind));
        EXPECT_EQ(c.bValue, bValue);
    }
}

}  // namespace
