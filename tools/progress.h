// A progress bar for long work, drawn on stderr only when stderr is a terminal and the
// user did not ask for --quiet; otherwise it draws nothing. Erased when done.
#ifndef DEMBASE_TOOLS_PROGRESS_H_
#define DEMBASE_TOOLS_PROGRESS_H_

#include <cstdint>
#include <string>

namespace dembase::tool {

class Progress {
 public:
  Progress(std::string label, int64_t total, bool quiet);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Advance(int64_t n = 1);

 private:
  void Draw();
  std::string label_;
  int64_t total_;
  int64_t done_ = 0;
  int lastPercent_ = -1;
  bool shown_;
};

}  // namespace dembase::tool

#endif  // DEMBASE_TOOLS_PROGRESS_H_
