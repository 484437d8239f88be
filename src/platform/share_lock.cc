#include "platform/share_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

namespace dembase::platform {
namespace {

// Far past any data file yet below the largest off_t.
constexpr off_t kLockBase = off_t{1} << 62;

enum LockByte : int { kHasRead = 0, kHasWrite = 1, kDeniesRead = 2, kDeniesWrite = 3, kLockByteCount = 4 };

// Announce-then-check needs no mutex (a mutex byte would need an exclusive lock, which a
// read-only descriptor cannot take). Two racing conflicting opens can then both see each
// other and back off; a few retries with jitter let one of them win.
constexpr int kMaxAttempts = 8;

struct flock LockRecord(short type, off_t start, off_t len) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  fl.l_pid = 0;  // required for OFD locks
  return fl;
}

int Fcntl(int fd, int cmd, struct flock* fl) {
  int rc;
  do {
    rc = fcntl(fd, cmd, fl);
  } while (rc == -1 && errno == EINTR);
  return rc;
}

bool Announce(int fd, LockByte byte) {
  struct flock fl = LockRecord(F_RDLCK, kLockBase + byte, 1);
  return Fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

void Withdraw(int fd) {
  struct flock fl = LockRecord(F_UNLCK, kLockBase, kLockByteCount);
  (void)Fcntl(fd, F_OFD_SETLK, &fl);
}

// Whether another open file description holds any lock on byte. GETLK skips the locks of
// fd's own description. A failed query counts as held, so errors never grant access.
bool HeldByOther(int fd, LockByte byte) {
  struct flock fl = LockRecord(F_WRLCK, kLockBase + byte, 1);
  if (Fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;
  return fl.l_type != F_UNLCK;
}

struct Plan {
  LockByte mine[kLockByteCount];
  int mine_count = 0;
  LockByte conflicts[kLockByteCount];
  int conflict_count = 0;
};

Plan MakePlan(Access access, Share share) {
  // Both enums are bit sets: bit 0 read, bit 1 write.
  const unsigned a = static_cast<unsigned>(access);
  const unsigned s = static_cast<unsigned>(share);
  const bool reads = (a & 1u) != 0;
  const bool writes = (a & 2u) != 0;
  const bool shares_read = (s & 1u) != 0;
  const bool shares_write = (s & 2u) != 0;
  Plan p;
  auto mark = [&p](bool on, LockByte b) {
    if (on) p.mine[p.mine_count++] = b;
  };
  auto check = [&p](bool on, LockByte b) {
    if (on) p.conflicts[p.conflict_count++] = b;
  };
  mark(reads, kHasRead);
  mark(writes, kHasWrite);
  mark(!shares_read, kDeniesRead);
  mark(!shares_write, kDeniesWrite);
  check(reads, kDeniesRead);
  check(writes, kDeniesWrite);
  check(!shares_read, kHasRead);
  check(!shares_write, kHasWrite);
  return p;
}

bool AnyConflict(int fd, const Plan& p) {
  for (int i = 0; i < p.conflict_count; ++i) {
    if (HeldByOther(fd, p.conflicts[i])) return true;
  }
  return false;
}

void Backoff(int attempt) {
  thread_local std::minstd_rand rng{
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count() ^ getpid())};
  std::uniform_int_distribution<int> jitter(50, 200 * (attempt + 1));
  std::this_thread::sleep_for(std::chrono::microseconds(jitter(rng)));
}

}  // namespace

bool AcquireShareLocks(int fd, Access access, Share share) {
  const Plan plan = MakePlan(access, share);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    bool announced = true;
    for (int i = 0; i < plan.mine_count && announced; ++i) announced = Announce(fd, plan.mine[i]);
    if (!announced) {
      Withdraw(fd);
      return false;
    }
    // Every open announces before it checks, so of two conflicting opens the later
    // check always sees the other: both can fail, never both succeed.
    if (!AnyConflict(fd, plan)) return true;
    Withdraw(fd);
    // Still conflicting without our marks: a real holder, not a lost race.
    if (AnyConflict(fd, plan)) return false;
    Backoff(attempt);
  }
  return false;
}

}  // namespace dembase::platform
