// Checks a whole mirror directory as a client would see it, and more: the
// trust chain from a given root, every target's presence, length and
// SHA-256, and that each product's set record, set files and packages
// agree with one another. Returns one line per problem found (none: the
// mirror is sound); *summary says what was checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publisher/publisher.h"

namespace publisher {

std::vector<std::string> VerifyMirror(const std::string& mirror, const std::string& rootBytes,
                                      int64_t now, const ProgressFn& progress,
                                      std::string* summary);

}  // namespace publisher
