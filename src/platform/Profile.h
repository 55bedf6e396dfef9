#pragma once

#include <string>
#include <utility>
#include <vector>

// Profile (INI) files, read and written the way the Windows profile functions do, so that a file
// written there reads the same here. Each call stands alone and keeps nothing open or cached.
namespace dormex::platform {

// Longest value a read gives back; longer values are cut.
constexpr size_t kProfileValueMax = 2047;

// Value of `key` in `section` (both matched ignoring ASCII case and spaces at their ends; the
// first section of that name and the first such key in it win), trimmed of blanks, tabs and
// vertical tabs, one pair of enclosing quotes removed, cut at a NUL byte and to kProfileValueMax
// characters. A file that starts with the byte-order mark FF FE is read as UTF-16LE and its text
// given as UTF-8. Empty text when the file, the section or the key is missing or unreadable.
// Never throws.
std::string ProfileRead(const std::string& path, const std::string& section,
                        const std::string& key);

// Every line of `section` (the first of that name) that is neither blank nor a comment, in file
// order: its key and value as ProfileRead gives them; a line without "=" is a key with an empty
// value. Empty when the file or the section is missing or unreadable. Never throws.
std::vector<std::pair<std::string, std::string>> ProfileSection(const std::string& path,
                                                                const std::string& section);

// Writes key=value into `section` (spaces at the ends of both names removed), creating the file
// and section as needed. Every line it does not change is kept byte for byte, in the file's own
// encoding (a UTF-16LE file stays UTF-16LE). The new contents replace the file by an atomic
// rename; where the directory refuses new files for lack of permission, an existing file is
// rewritten in place. A file without any write permission bit is read-only, even for root. Any
// failure throws Error("Unable to write to <path>") and leaves a read-only file, or one whose
// atomic replace failed, as it was.
void ProfileWrite(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value);

}  // namespace dormex::platform
