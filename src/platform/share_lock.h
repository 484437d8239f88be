// Share modes (what other opens of a file may do) for POSIX file descriptors.
// Internal to platform/.
//
// Each open announces what it does and what it forbids with shared open-file-description
// locks on four bytes far past any data: "has read access", "has write access",
// "denies read", "denies write". OFD locks belong to the open file description, so two
// opens conflict whether they live in one process or in two.
//
// An open with access A and share S conflicts with an existing open (A', S') when A needs
// something S' denies, or A' holds something S denies.
#ifndef DEMBASE_PLATFORM_SHARE_LOCK_H_
#define DEMBASE_PLATFORM_SHARE_LOCK_H_

#include "platform/env.h"

namespace dembase::platform {

// Takes the share locks of a new open on fd; false when an existing open of the same
// file conflicts or the file system cannot lock. Released when fd is closed.
// REQUIRES: fd is open for reading (a shared lock needs read access) and holds no share
// locks yet.
[[nodiscard]] bool AcquireShareLocks(int fd, Access access, Share share);

}  // namespace dembase::platform

#endif  // DEMBASE_PLATFORM_SHARE_LOCK_H_
