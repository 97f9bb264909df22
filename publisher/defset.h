// What the publisher needs to know about one definition set: its date,
// name and sequence number, the lower-case names it is published under,
// the hub file lists and cleanup patterns of its catalog, and the set
// digests that let a client match a package's source before fetching it.
//
// A set reaches these functions already imported into a flat directory
// with lower-case names (publish_add.cpp does that), so every lookup here
// is by lower-case name, as the store's own copies are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publisher/canonical_json.h"
#include "publisher/status.h"

namespace publisher {

struct SetDate {
    int year = 0;
    int month = 0;
    int day = 0;
    uint32_t revision = 0;

    // "YYYYMMDD.RRR", the store's directory name for the set.
    std::string Name() const;
    uint64_t Sequence() const;
};

// Decodes the 32-byte header of virscan1.dat; false when out of range or
// shorter than the fields it must hold.
bool ParseSetHeader(const std::string& header, SetDate* out);

struct FileRecord {
    std::string name;
    uint64_t size = 0;
    std::string sha256;
};

// SHA-256 over the sorted lines "name size sha256\n".
std::string SetDigest(std::vector<FileRecord> files);

std::string Lower(std::string text);
// Names a set file may be published under (already lower case).
bool IsPublishableName(const std::string& name);
bool IsValidProductName(const std::string& product);
// The path segments of a product and of a content type ("" = default).
bool ProductSlug(const std::string& product, std::string* slug);
bool ContentSegment(const std::string& contentType, std::string* segment);

// Cleanup patterns are matched as the store deletes them: as written,
// case-sensitive, "*.*" meaning "*".
bool MatchesCleanup(const std::vector<std::string>& patterns, const std::string& name);

struct SetInfo {
    SetDate date;
    std::vector<FileRecord> files;                        // every published file, sorted by name
    std::vector<std::string> binhub, texthub, installed;  // sorted names
    bool hasBinhub = false, hasTexthub = false;
    std::string digest, installedDigest, binhubDigest, texthubDigest;

    // The binary hub holds every published file, so what a hub package
    // produces is a complete set the store can integrate.
    bool BinhubIsWholeSet() const;
    std::vector<FileRecord> Select(const std::vector<std::string>& names) const;
};

// Describes a set from its imported directory and file records. Refused
// (Exit::kRefused) when virscan1.dat or catalog.dat is missing, the date is
// invalid, or a listed hub file does not exist.
Status DescribeSet(const std::string& dir, const std::vector<FileRecord>& files, SetInfo* out);

// The repository's record of a set and back.
json SetInfoToJson(const SetInfo& info);
bool SetInfoFromJson(const json& j, SetInfo* out);

}  // namespace publisher
