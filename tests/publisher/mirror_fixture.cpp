#include "tests/publisher/mirror_fixture.h"

#include <random>

#include "publisher/crypto.h"
#include "publisher/defset.h"

namespace pubtest {

using namespace publisher;

std::string SetHeader(uint32_t revision, int month, int day, int yearByte)
{
    std::string h(32, 'Z');
    for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(revision >> (8 * i));
    h[8] = static_cast<char>(month);
    h[9] = static_cast<char>(day);
    h[10] = static_cast<char>(yearByte);
    return h;
}

std::map<std::string, std::string> DataFiles(int count, size_t size, unsigned seed, int edits)
{
    std::map<std::string, std::string> out;
    for (int i = 0; i < count; ++i) {
        std::mt19937 base(1000 + i), change(seed * 7919 + i);
        std::string& data = out["defs00" + std::to_string(i) + ".dat"];
        for (size_t k = 0; k < size; ++k) data += static_cast<char>(base());
        for (int e = 0; e < edits; ++e) {
            size_t at = change() % (size - 64);
            for (size_t k = 0; k < 64; ++k) data[at + k] = static_cast<char>(change());
        }
    }
    return out;
}

void WriteSetDir(const std::string& dir, const SetFiles& set)
{
    ::MakeDirs(dir);
    WriteTextFile(dir + "/virscan1.dat",
                  SetHeader(set.revision, set.month, set.day, set.year - 1900) + "main");
    std::string all = "virscan1.dat\ncatalog.dat\n", text;
    for (const auto& [name, data] : set.files) {
        WriteTextFile(dir + "/" + name, data);
        all += name + "\n";
        if (Lower(name).compare(0, 4, "text") == 0)
            text += name + "\n";
    }
    std::string hub = set.hubIsWholeSet ? all : "virscan1.dat\ncatalog.dat\n";
    WriteTextFile(dir + "/catalog.dat", "[Files]\n" + all + "[Binary Hub Files - Linux]\n" + hub +
                                            "[Binary Hub Files - Common]\n" +
                                            (text.empty() ? "" : "[Text Hub Files]\n" + text) +
                                            set.catalogExtra);
}

std::map<std::string, std::string> ReadDirFiles(const std::string& dir)
{
    std::map<std::string, std::string> out;
    for (const std::string& name : ::ListDir(dir)) out[name] = ReadTextFile(dir + "/" + name);
    return out;
}

std::string DirDigest(const std::string& dir)
{
    std::vector<FileRecord> files;
    for (const auto& [name, data] : ReadDirFiles(dir))
        files.push_back({name, data.size(), Sha256Hex(data)});
    return SetDigest(files);
}

void MirrorTest::Init(int rootKeys, int threshold)
{
    InitOptions options;
    options.rootKeys = rootKeys;
    options.rootThreshold = threshold;
    options.deltas = 2;
    Status st = Publisher::Init(repo, mirror, options, kT0);
    ASSERT_TRUE(st.ok()) << st.message;
}

Status MirrorTest::TryAdd(const std::string& setDir, int64_t now, const std::string& product,
                          const std::string& contentType)
{
    Publisher pub;
    Status st = Publisher::Open(repo, now, &pub);
    return st.ok() ? pub.Add(AddRequest{product, contentType, setDir}) : st;
}

json MirrorTest::Signed(const std::string& relative) const
{
    json out;
    std::string why;
    EXPECT_TRUE(ParseCanonical(ReadTextFile(MirrorFile(relative)), out, &why)) << why;
    return out["signed"];
}

}  // namespace pubtest
