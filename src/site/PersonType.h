#pragma once

#include <cstdint>

// A card holder's person type, held in bits 21 to 24 of the personnel row's flags.
namespace dormex::site {

// Types 0..5 have fixed names; types 6..10 are the site's custom types, named in MXRSettings
// rows 'Custom Person Type 1'..'5' of 'globalmxr'.
inline constexpr int kPersonTypeCount = 11;
inline constexpr int kFixedPersonTypeCount = 6;
inline constexpr int kCustomTypeCount = kPersonTypeCount - kFixedPersonTypeCount;
inline constexpr const char* kFixedPersonTypeNames[kFixedPersonTypeCount] = {
    "Normal", "Visitor", "Temp", "Disabled", "Contractor", "Vendor"};

inline constexpr std::int64_t kPersonTypeMask = 0x1E00000;
inline constexpr int kPersonTypeShift = 21;

// The person type held in `flags`, 0 to 15.
inline constexpr int personTypeOf(std::int64_t flags) {
    return static_cast<int>((flags & kPersonTypeMask) >> kPersonTypeShift);
}

// Flags value for `type` (0 to 15), keeping `otherBits` outside the type's bits.
inline constexpr std::int64_t flagsForType(int type, std::int64_t otherBits = 0) {
    return (otherBits & ~kPersonTypeMask) | (std::int64_t{type} << kPersonTypeShift);
}

}  // namespace dormex::site
