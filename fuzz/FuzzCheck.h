#pragma once

#include <cstdio>
#include <string>

// Prints the input (non-printable bytes as \xNN) and the broken property, then stops the run.
inline void require(bool ok, const char* property, const std::string& input) {
    if (ok) return;
    std::fprintf(stderr, "property failed: %s\ninput: \"", property);
    for (unsigned char c : input) {
        if (c >= 32 && c < 127 && c != '"' && c != '\\')
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02X", c);
    }
    std::fprintf(stderr, "\"\n");
    __builtin_trap();
}
