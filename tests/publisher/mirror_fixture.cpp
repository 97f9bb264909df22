#include "tests/publisher/mirror_fixture.h"

#include <random>

#include "publisher/crypto.h"
#include "publisher/defset.h"
#include "publisher/fs_util.h"

namespace pubtest {

using namespace publisher;

std::map<std::string, std::string> DataFiles(int count, size_t size, unsigned seed, int edits)
{
    std::map<std::string, std::string> out;
    for (int i = 0; i < count; ++i) {
        std::mt19937 base(1000 + i), change(seed * 7919 + i);
        std::string data(size, '\0');
        for (char& c : data) c = static_cast<char>(base());
        for (int e = 0; e < edits && size > 64; ++e) {
            size_t at = change() % (size - 64);
            for (size_t k = 0; k < 64; ++k) data[at + k] = static_cast<char>(change());
        }
        char name[32];
        snprintf(name, sizeof name, "defs%03d.dat", i);
        out[name] = data;
    }
    return out;
}

void WriteSetDir(const std::string& dir, const SetFiles& set)
{
    ::MakeDirs(dir);
    std::string header(32, 'Z');
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>(set.revision >> (8 * i));
    header[8] = static_cast<char>(set.month);
    header[9] = static_cast<char>(set.day);
    header[10] = static_cast<char>(set.year - 1900);
    WriteTextFile(dir + "/virscan1.dat", header + "main");
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

std::string DirDigest(const std::string& dir)
{
    std::vector<DirEntry> entries;
    std::vector<FileRecord> files;
    EXPECT_TRUE(ListDir(dir, &entries).ok()) << dir;
    for (const DirEntry& e : entries) {
        if (!e.isRegular)
            continue;
        FileRecord r;
        r.name = e.name;
        EXPECT_TRUE(HashFile(dir + "/" + e.name, &r.size, &r.sha256).ok());
        files.push_back(r);
    }
    return SetDigest(files);
}

std::map<std::string, std::string> ReadDirFiles(const std::string& dir)
{
    std::map<std::string, std::string> out;
    for (const std::string& name : ::ListDir(dir)) out[name] = ReadTextFile(dir + "/" + name);
    return out;
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
    if (st.ok())
        st = pub.Add(AddRequest{product, contentType, setDir});
    return st;
}

void MirrorTest::Add(const std::string& setDir, int64_t now, const std::string& product,
                     const std::string& contentType)
{
    Status st = TryAdd(setDir, now, product, contentType);
    ASSERT_TRUE(st.ok()) << st.message;
}

std::string MirrorTest::MirrorFile(const std::string& relative) const
{
    return mirror + "/" + relative;
}

json MirrorTest::Envelope(const std::string& relative) const
{
    json out;
    std::string why;
    EXPECT_TRUE(ParseCanonical(ReadTextFile(MirrorFile(relative)), out, &why)) << why;
    return out;
}

void MirrorTest::WriteEnvelope(const std::string& relative, const json& envelope) const
{
    WriteTextFile(MirrorFile(relative), Canonical(envelope));
}

std::string MirrorTest::RootBytes(int version) const
{
    return ReadTextFile(MirrorFile(RootPath(version)));
}

std::vector<std::string> MirrorTest::RoleKeyIds(const json& rootSigned,
                                                const std::string& role) const
{
    return rootSigned["roles"][role]["keyids"].get<std::vector<std::string>>();
}

json MirrorTest::SignWithKeys(const json& signedPart, const std::vector<std::string>& keyids) const
{
    std::vector<SigningKey> keys(keyids.size());
    std::vector<const SigningKey*> pointers;
    for (size_t i = 0; i < keyids.size(); ++i) {
        Status st = SigningKey::LoadPem(repo + "/keys/" + keyids[i] + ".pem", &keys[i]);
        EXPECT_TRUE(st.ok()) << st.message;
        pointers.push_back(&keys[i]);
    }
    json out;
    EXPECT_TRUE(SignEnvelope(signedPart, pointers, &out));
    return out;
}

json MirrorTest::Sign(const json& signedPart, const std::string& role, size_t count) const
{
    uint64_t version = 1;
    while (::PathExists(MirrorFile(RootPath(version + 1)))) ++version;
    std::vector<std::string> ids = RoleKeyIds(Envelope(RootPath(version))["signed"], role);
    if (ids.size() > count)
        ids.resize(count);
    return SignWithKeys(signedPart, ids);
}

void MirrorTest::ResignTimestampFor(const std::string& snapshotBytes,
                                    uint64_t snapshotVersion) const
{
    json ts = Envelope(kTimestampPath)["signed"];
    ts["meta"]["snapshot.json"] = MetaEntry(snapshotBytes, snapshotVersion);
    ts["version"] = ts["version"].get<uint64_t>() + 1;
    WriteEnvelope(kTimestampPath, Sign(ts, "timestamp"));
}

void MirrorTest::ResignChainForTargets(const std::string& targetsBytes,
                                       uint64_t targetsVersion) const
{
    json ts = Envelope(kTimestampPath)["signed"];
    uint64_t snapVersion = ts["meta"]["snapshot.json"]["version"].get<uint64_t>();
    json snap = Envelope(SnapshotPath(snapVersion))["signed"];
    snap["meta"]["targets.json"] = MetaEntry(targetsBytes, targetsVersion);
    std::string bytes = Canonical(Sign(snap, "snapshot"));
    WriteTextFile(MirrorFile(SnapshotPath(snapVersion)), bytes);
    ResignTimestampFor(bytes, snapVersion);
}

}  // namespace pubtest
