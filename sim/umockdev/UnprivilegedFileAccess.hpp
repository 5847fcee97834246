#pragma once

namespace tavik::sim {

// While it lives, the calling thread's file accesses are checked as those of the unprivileged
// user nobody (file-system user and group id 65534), so that a process running as root is
// refused a file only root may open: the node of a unit plugged with `accessDenied`, which
// libusb_open() then reports as LIBUSB_ERROR_ACCESS. Linux keeps the file-system ids per thread:
// other threads keep their rights. A process that does not run as root is refused such a node
// anyway, and this changes nothing. Make and destroy it on the same thread.
class UnprivilegedFileAccess {
  public:
    UnprivilegedFileAccess();
    UnprivilegedFileAccess(const UnprivilegedFileAccess&) = delete;
    UnprivilegedFileAccess& operator=(const UnprivilegedFileAccess&) = delete;
    ~UnprivilegedFileAccess();

  private:
    unsigned previousUser_;
    unsigned previousGroup_;
};

}  // namespace tavik::sim
