#include "sim/umockdev/UnprivilegedFileAccess.hpp"

#include <sys/fsuid.h>

namespace tavik::sim {

namespace {
constexpr unsigned nobody = 65534;
}

// setfsuid() and setfsgid() return the previous id whether or not they change it (an
// unprivileged process may not); the group goes first, while the thread may still change it.
UnprivilegedFileAccess::UnprivilegedFileAccess() {
    previousGroup_ = static_cast<unsigned>(setfsgid(nobody));
    previousUser_ = static_cast<unsigned>(setfsuid(nobody));
}

UnprivilegedFileAccess::~UnprivilegedFileAccess() {
    setfsuid(previousUser_);
    setfsgid(previousGroup_);
}

}  // namespace tavik::sim
