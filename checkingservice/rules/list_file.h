// Plain list files for bulk import: one entry a line. Blank lines and lines starting with "#"
// are skipped, as is anything after a "#" that follows a blank. A line may name its kind
// ("domain:example.com", "prefix:example.com/games/"); otherwise the import's default kind
// applies.
#pragma once

#include <istream>
#include <string>
#include <utility>
#include <vector>

#include "checkingservice/rules/address.h"

namespace pv::check {

struct ListFileProblem {
    size_t line = 0;
    std::string message;
};

struct ListFile {
    std::vector<std::pair<RuleKind, std::string>> entries; // normalised keys
    std::vector<ListFileProblem> problems;                 // lines that were skipped
    size_t lines = 0;
};

ListFile ReadListFile(std::istream& in, RuleKind defaultKind);

} // namespace pv::check
