// Placeholder: an ordered list of ANSI strings with an index for exact lookup.
#pragma once
#include <string>
#include <vector>
namespace pv {
class StringList {
public:
    std::vector<std::string> items;
};
} // namespace pv
