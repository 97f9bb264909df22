#include <algorithm>
#include <cstdlib>

#include "defutils/defutils.h"
#include "tests/support/sandbox.h"

namespace {

using PathHelpersTest = SandboxTest;

TEST_F(PathHelpersTest, ReadCatalogSectionGrowsTheBufferUpToOneMegabyte)
{
    // 2046 bytes look cut at the first buffer size and take one more read.
    for (size_t nBytes : {2046, 1048576 - 3, 1048576 - 2}) {
        // One item taking the odd bytes, then items of 11 bytes with their NUL.
        std::string list = "a=" + std::string(nBytes % 11 + 8, 'v') + '\0';
        for (int i = 1000000; list.size() < nBytes; ++i)
            list += std::to_string(i) + "=vv" + '\0';
        std::string file = sandbox.Path(std::to_string(nBytes));
        std::string items = list;
        std::replace(items.begin(), items.end(), '\0', '\n');
        WriteTextFile(file, "[Other]\nx=1\n[Files]\n" + items + "[After]\ny=2\n");
        char* pList = reinterpret_cast<char*>(1);
        bool bFits = nBytes < 1048576 - 2;
        EXPECT_EQ(bFits ? DU_S_OK : DU_E_FILE_FORMAT,
                  CDefUtils::ReadCatalogSection(file.c_str(), "Files", &pList)) << nBytes;
        // The whole list and its terminating extra NUL.
        std::string got = pList == nullptr ? "<null>" : std::string(pList, bFits ? nBytes + 1 : 0);
        EXPECT_EQ(bFits ? list + '\0' : "<null>", got) << nBytes;
        free(pList);
    }
}

}  // namespace
