#include "output_file.h"

#include <cerrno>
#include <cstring>

namespace vb::cli {

namespace {

std::string systemReason() { return std::strerror(errno); }

}  // namespace

OutputFile::~OutputFile() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  if (created_) std::remove(path_.c_str());
}

bool OutputFile::open(const std::string& path, std::string* error) {
  path_ = path;
  errno = 0;
  std::FILE* existing = std::fopen(path.c_str(), "rb");
  created_ = existing == nullptr && errno == ENOENT;
  if (existing != nullptr) std::fclose(existing);
  errno = 0;
  file_ = std::fopen(path.c_str(), "ab");
  if (file_ == nullptr) {
    *error = systemReason();
    return false;
  }
  return true;
}

bool OutputFile::commit(const std::string& text, std::string* error) {
  if (file_ == nullptr) {
    *error = std::strerror(EBADF);
    return false;
  }
  std::FILE* file = file_;
  file_ = nullptr;
  errno = 0;
  file = std::freopen(path_.c_str(), "wb", file);
  if (file == nullptr) {
    *error = systemReason();
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int writeError = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  *error = std::strerror(written ? errno : writeError);
  return false;
}

}  // namespace vb::cli
