#pragma once

#include <string>
#include <vector>

namespace brivet {

// The pieces in order with `separator` between each two; empty when none.
inline std::string joined(const std::vector<std::string>& pieces, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) out += separator;
        out += pieces[i];
    }
    return out;
}

}  // namespace brivet
