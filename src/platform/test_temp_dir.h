// TestTempDir: a fresh directory for one test, removed with everything in it at the end. Tests only.
#ifndef DEMBASE_PLATFORM_TEST_TEMP_DIR_H_
#define DEMBASE_PLATFORM_TEST_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace dembase::platform {

class TestTempDir {
 public:
  TestTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dembase-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TestTempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TestTempDir(const TestTempDir&) = delete;
  TestTempDir& operator=(const TestTempDir&) = delete;
  const std::string& path() const { return path_; }  // empty when the directory could not be made
  std::string Join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace dembase::platform

#endif  // DEMBASE_PLATFORM_TEST_TEMP_DIR_H_
