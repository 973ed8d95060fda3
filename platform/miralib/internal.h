// internal.h - helpers shared by the sources of the host library.
//
//   ConfigValue(key, &value)  the current value of a configuration key
//                             (set, loaded or default); false when it has none
//   JoinPath(dir, name)       dir and name with one separator between them
//                             ('\\' on Windows, '/' elsewhere); a separator
//                             already ending `dir` is not doubled
//   ReadWholeFile(path, max, &data, &error)
//                             reads a file of at most `max` bytes; false with
//                             a reason when it cannot be opened or is larger
#ifndef MIRALIB_INTERNAL_H
#define MIRALIB_INTERNAL_H

#include <cstddef>
#include <string>

namespace miralib {

#if defined(_WIN32)
constexpr char PATH_SEP = '\\';
#else
constexpr char PATH_SEP = '/';
#endif

bool ConfigValue(const char* key, std::string* value);
std::string JoinPath(const std::string& dir, const std::string& name);
bool ReadWholeFile(const char* path, std::size_t max, std::string* data, std::string* error);

}  // namespace miralib

#endif
