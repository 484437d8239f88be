#include "tools/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace dembase::tool {
namespace {
constexpr int kBarWidth = 30;
}  // namespace

Progress::Progress(std::string label, int64_t total, bool quiet)
    : label_(std::move(label)), total_(std::max<int64_t>(total, 1)), shown_(!quiet && isatty(STDERR_FILENO) == 1) {
  Draw();
}

Progress::~Progress() {
  if (shown_) std::fprintf(stderr, "\r\033[K");
}

void Progress::Advance(int64_t n) {
  done_ = std::min(done_ + n, total_);
  Draw();
}

void Progress::Draw() {
  if (!shown_) return;
  const int percent = static_cast<int>(done_ * 100 / total_);
  if (percent == lastPercent_) return;  // redrawn only when the figure changes
  lastPercent_ = percent;
  const int filled = percent * kBarWidth / 100;
  std::fprintf(stderr, "\r%-10s [%s%s] %3d%%", label_.c_str(), std::string(static_cast<size_t>(filled), '#').c_str(),
               std::string(static_cast<size_t>(kBarWidth - filled), '.').c_str(), percent);
  std::fflush(stderr);
}

}  // namespace dembase::tool
