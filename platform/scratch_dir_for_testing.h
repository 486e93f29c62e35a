// Test helpers for files: a scratch directory removed with everything in it
// when the test ends, and reading bytes back from a file.
#ifndef QUENSARIA_PLATFORM_SCRATCH_DIR_FOR_TESTING_H_
#define QUENSARIA_PLATFORM_SCRATCH_DIR_FOR_TESTING_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quensaria::testing {

class ScratchDir {
 public:
  // Under $TMPDIR or /tmp: the same file system as the work tree here, so
  // large sparse images cost nothing.
  ScratchDir() : ScratchDir(std::filesystem::temp_directory_path()) {}
  // Under `parent`, for a test that needs a file system of another kind.
  explicit ScratchDir(const std::filesystem::path& parent) {
    std::string pattern = (parent / "quensaria-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// `length` bytes of `path` from `offset`; fewer at the end of the file.
inline std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(length);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(in ? length : static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return bytes;
}

inline void WriteBytes(const std::string& path, uint64_t offset,
                       const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace quensaria::testing

#endif  // QUENSARIA_PLATFORM_SCRATCH_DIR_FOR_TESTING_H_
