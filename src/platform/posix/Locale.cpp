// The locale on POSIX systems, as set by setlocale(LC_ALL, "") at start-up: strftime and
// nl_langinfo.
#include "platform/Locale.h"

#include <langinfo.h>

namespace dormex::platform {
namespace {

std::string format(const char* pattern, const std::tm& tm) {
    char buffer[256];
    size_t n = std::strftime(buffer, sizeof buffer, pattern, &tm);
    return std::string(buffer, n);
}

}  // namespace

std::tm localTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::string shortDate(const std::tm& tm) {
    return format("%x", tm);
}

std::string longTime(const std::tm& tm) {
    return format("%X", tm);
}

std::string decimalSeparator() {
    const char* radix = nl_langinfo(RADIXCHAR);
    return radix && *radix ? std::string(radix) : std::string(".");
}

}  // namespace dormex::platform
