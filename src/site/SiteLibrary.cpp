#include "site/SiteLibrary.h"

namespace dormex::site {

std::string TrimErrorText(const std::string& text) {
    size_t end = text.size();
    while (end > 0) {
        const unsigned char c = static_cast<unsigned char>(text[end - 1]);
        if (c > ' ' && c != '.' && c != 127) break;
        --end;
    }
    return text.substr(0, end);
}

}  // namespace dormex::site
