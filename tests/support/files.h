// Scratch folders and whole-file reads and writes for tests.
#pragma once

#include <string>
#include <vector>

namespace pel_test {

// A fresh folder under the current directory, removed with everything in it
// when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& tag);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  // path() + "\\" + name.
  std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

 private:
  std::string m_path;
};

// Removes a folder and everything below it; false if something stayed.
bool RemoveTree(const std::string& path);
bool DirExists(const std::string& path);
// The file's bytes; empty when it can't be read.
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// Names (not paths) of the entries of a folder, "." and ".." left out, sorted.
std::vector<std::string> ListDir(const std::string& folder);
// The bytes split at '\n'; a trailing line feed gives no extra empty line.
std::vector<std::string> SplitLines(const std::string& bytes);

}  // namespace pel_test
