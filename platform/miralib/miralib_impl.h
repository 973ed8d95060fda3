// miralib_impl.h - helpers shared by the sources of the host library.
//
//   ConfigValue(key, &value)  the current value of a configuration key
//                             (set, loaded or default); false when it has none
//   ReadWholeFile(path, max, &data, &error)
//                             reads a file of at most `max` bytes; false with
//                             a reason when it cannot be opened or is larger
#ifndef MIRALIB_IMPL_H
#define MIRALIB_IMPL_H

#include <cstddef>
#include <string>

#include "pf/text.h"  // string and path helpers

namespace miralib {

bool ConfigValue(const char* key, std::string* value);
bool ReadWholeFile(const char* path, std::size_t max, std::string* data, std::string* error);

}  // namespace miralib

#endif
