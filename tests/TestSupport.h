#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Locale.h"
#include "platform/Platform.h"

namespace dormex::test {

// A fresh directory, removed afterwards. On Linux it lives on the memory file system where that
// takes new directories: the programs commit once or twice per card, and on a disk every commit
// waits for the device.
class TempDir {
public:
    TempDir() {
        static std::mt19937_64 random{std::random_device{}()};
        for (const std::filesystem::path& base : bases()) {
            for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
                const std::filesystem::path candidate =
                    base / ("dormex-test-" + std::to_string(random() % 1000000000));
                std::error_code error;
                if (std::filesystem::create_directory(candidate, error))
                    m_path = candidate.u8string();
                else if (error)
                    break;
            }
            if (!m_path.empty()) return;
        }
        throw std::runtime_error("no fresh temporary directory");
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    // Where the directory may go, in order: the memory file system (Linux), the system's own.
    static std::vector<std::filesystem::path> bases() {
        std::vector<std::filesystem::path> bases;
#ifndef _WIN32
        std::error_code error;
        if (std::filesystem::is_directory("/dev/shm", error)) bases.emplace_back("/dev/shm");
#endif
        bases.push_back(std::filesystem::temp_directory_path());
        return bases;
    }

    std::string m_path;
};

// Paths are UTF-8, as the program's are (u8path converts them for Windows).
inline std::string readFile(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    out << content;
}

// `text` with its ASCII letters in lower case.
inline std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The message `call` fails with, as an `Exception`; a call that does not fail is a test failure
// (any other exception goes on to fail the test).
template <class Exception = std::exception, class Call>
std::string failureOf(Call&& call) {
    try {
        call();
    } catch (const Exception& e) {
        return e.what();
    }
    ADD_FAILURE() << "the call did not fail";
    return {};
}

// A temporary file in place of a standard stream; text() is all that was written to it.
class CapturedStream {
public:
    std::FILE* get() const { return m_file.get(); }
    std::string text() const {
        std::fflush(get());
        std::rewind(get());
        std::string text;
        char buffer[4096];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, get())) text.append(buffer, n);
        return text;
    }

private:
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_file{std::tmpfile(), std::fclose};
};

class FixedClock : public platform::Clock {
public:
    explicit FixedClock(std::time_t t) : m_time(t) {}
    std::time_t now() const override { return m_time; }
    void set(std::time_t t) { m_time = t; }

private:
    std::time_t m_time;
};

class RecordingBoxes : public platform::Boxes {
public:
    struct Box {
        bool error;
        std::string title;
        std::string text;
    };
    void showError(const std::string& title, const std::string& text) override {
        boxes.push_back({true, title, text});
    }
    void showMessage(const std::string& title, const std::string& text) override {
        boxes.push_back({false, title, text});
    }
    std::vector<Box> boxes;
};

// Local time `y-m-d h:mi` as seconds since the epoch.
inline std::time_t localTimeOf(int y, int m, int d, int h = 12, int mi = 0) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// Changes the services for as long as it lives: `change` edits a copy of those in use, and the
// earlier ones come back afterwards.
class ScopedServices {
public:
    template <class Change>
    explicit ScopedServices(Change&& change) : m_before(platform::services()) {
        platform::Services services = m_before;
        change(services);
        platform::setServices(std::move(services));
    }
    ~ScopedServices() { platform::setServices(m_before); }
    ScopedServices(const ScopedServices&) = delete;
    ScopedServices& operator=(const ScopedServices&) = delete;

private:
    platform::Services m_before;
};

// Points the program directory at a fresh temporary directory, and installs a fixed clock and
// recording boxes, for the duration of one test.
class ProgramDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::Services services;
        services.executablePath = dir.file("dormex");
        services.clock = &clock;
        services.boxes = &boxes;
        platform::setServices(std::move(services));
    }
    void TearDown() override { platform::setServices({}); }
    std::string logText() const { return readFile(dir.file("dormex.log")); }
    // What the log puts before each entry's message at the clock's time: "<date> <time>  ".
    std::string stamp() const {
        const std::tm tm = platform::localTime(clock.now());
        return platform::shortDate(tm) + " " + platform::longTime(tm) + "  ";
    }
    // The log's lines, each without that stamp.
    std::vector<std::string> messages() const {
        const std::string log = logText(), head = stamp();
        std::vector<std::string> out;
        for (size_t pos = 0, end; pos < log.size(); pos = end + 2) {
            end = std::min(log.find("\r\n", pos), log.size());
            const std::string line = log.substr(pos, end - pos);
            out.push_back(line.rfind(head, 0) == 0 ? line.substr(head.size()) : line);
        }
        return out;
    }
    std::string settingsPath() const { return dir.file("Dormex.ini"); }

    TempDir dir;
    FixedClock clock{localTimeOf(2026, 12, 6, 14, 0)};
    RecordingBoxes boxes;
};

}  // namespace dormex::test
