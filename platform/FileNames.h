// File-name helpers with '/' as the separator.
#pragma once

#include <string>
#include <string_view>

namespace zav {

// Everything up to the last '/': the root "/" stays whole, any other trailing
// '/' is dropped. "" when the path has no directory part.
std::string JustPathname(std::string_view path);
// Everything after the last '/'.
std::string JustFilename(std::string_view path);
// Appends '/' when missing. An empty path (the current directory) stays empty,
// so a file name added to it never becomes an absolute path.
std::string AddTrailingSlash(std::string_view path);
// True when `path` names an existing file that is not a directory.
bool ExistFile(const std::string& path);

}  // namespace zav
