// A file the program writes its results to. It is opened before the line to
// the meter is, so a name that cannot be written is reported before any line
// time is spent, with the system's reason.
#pragma once

#include <cstdio>
#include <string>

namespace vb::cli {

class OutputFile {
 public:
  OutputFile() = default;
  // A file this object created but never committed is removed again, and
  // one that was there keeps what it held: a failed download leaves no empty
  // file that could pass for a result, and destroys no earlier one.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens the file for writing, creating it when it is not there, without
  // changing it yet. False with the system's reason in *error.
  bool open(const std::string& path, std::string* error);
  bool isOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }

  // Replaces the file's content with the text and closes it. False with the
  // system's reason in *error.
  bool commit(const std::string& text, std::string* error);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  bool created_ = false;
};

}  // namespace vb::cli
