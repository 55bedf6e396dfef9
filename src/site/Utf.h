#pragma once

#include "platform/Utf.h"

// The site library's UTF-16 texts, converted by the platform's one converter: invalid UTF-8 and
// unpaired surrogates become U+FFFD.
namespace dormex::site {

using platform::toUtf16;
using platform::toUtf8;

}  // namespace dormex::site
