#include "runtime/Log.hpp"

#include <cstdio>

namespace tavik {

void StandardOutputLog::write(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace tavik
