#pragma once

#include <string>

// Profile (INI) files, read and written the way the Windows profile functions do, so that a file
// written there reads the same here. Each call stands alone and keeps nothing open or cached.
namespace dormex::platform {

// Longest value a read gives back; longer values are cut.
constexpr size_t kProfileValueMax = 2047;

// Value of `key` in `section` (both matched ignoring ASCII case; the first section of that name
// and the first such key in it win), trimmed of blanks and tabs, one pair of enclosing quotes
// removed, cut at a NUL byte and to kProfileValueMax characters. Empty text when the file, the
// section or the key is missing or unreadable. Never throws.
std::string ProfileRead(const std::string& path, const std::string& section,
                        const std::string& key);

// Writes key=value into `section`, creating the file and section as needed. Every line it does
// not change is kept byte for byte. The new contents replace the file by an atomic rename, so
// any failure leaves the old file as it was and throws Error("Unable to write to <path>").
void ProfileWrite(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value);

}  // namespace dormex::platform
