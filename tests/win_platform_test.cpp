// The platform layer's Windows side: program directories the classic functions cannot reach,
// the log's sharing and the read-only attribute.
#include <windows.h>

#include <chrono>

#include "TestSupport.h"
#include "platform/Error.h"
#include "platform/Profile.h"
#include "platform/RunLock.h"
#include "platform/win/Wide.h"
#include "uVarious.h"

namespace dormex::test {
namespace {

using platform::win::widen;
using platform::win::widePath;

DWORD attributesOf(const std::string& path) {
    return ::GetFileAttributesW(widePath(path).c_str());
}

class WinPlatform : public ProgramDirTest {};

TEST_F(WinPlatform, ProgramDirectoryWithNonAsciiSpacesOrBeyondMaxPathHoldsSettingsLogAndLock) {
    std::string deep = dir.path();
    while (deep.size() <= MAX_PATH + 20) {
        deep += "\\a directory name of forty characters xxxx";
        ASSERT_TRUE(::CreateDirectoryW(widePath(deep).c_str(), nullptr)) << deep.size();
    }
    const std::string nonAscii = dir.path() +
                                 "\\D\xC3\xB6rmex Pr\xC3\xBC"
                                 "fung \xCE\xA9";
    ASSERT_TRUE(::CreateDirectoryW(widen(nonAscii).c_str(), nullptr));
    for (const std::string& programDir : {nonAscii, deep}) {
        platform::setExecutablePath(programDir + "\\Dormex.exe");
        EXPECT_EQ(platform::programDirectory(), programDir + "\\");
        WriteIniValue(SettingsPath(), "Days", "45", "General");
        EXPECT_EQ(ReadIniValue(SettingsPath(), "Days", "General"), "45");
        WriteLog("entry");
        const std::string log = programDir + "\\Dormex.log";
        ASSERT_NE(attributesOf(log), INVALID_FILE_ATTRIBUTES) << log;
        auto lock = platform::makeSystemRunLock();
        EXPECT_TRUE(lock->acquire(programDir + "\\Dormex.lock", 0));
    }
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(WinPlatform, LogIsSkippedQuicklyWhileAnotherProgramHoldsItWithoutSharing) {
    platform::setExecutablePath(dir.path() + "\\Dormex.exe");
    const std::string log = dir.path() + "\\Dormex.log";
    WriteLog("first");
    struct Holder {
        DWORD share;
        bool appended;
    } holders[] = {
        {FILE_SHARE_READ | FILE_SHARE_WRITE, true}, {FILE_SHARE_READ, false}, {0, false}};
    for (const Holder& h : holders) {
        const std::string before = readFile(log);
        platform::win::Handle reader(::CreateFileW(widen(log).c_str(), GENERIC_READ, h.share,
                                                   nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader.valid());
        const auto start = std::chrono::steady_clock::now();
        WriteLog("while held");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        reader.reset();
        const std::string after = readFile(log);
        EXPECT_EQ(after.size() > before.size(), h.appended) << h.share;
    }
    WriteLog("last");
    const std::string text = readFile(log);
    EXPECT_EQ(text.substr(text.size() - 8), "  last\r\n");
}

TEST_F(WinPlatform, ReadOnlyAttributeRefusesWritesAndAReplaceKeepsTheOtherAttributes) {
    const std::string path = settingsPath();
    writeFile(path, "[General]\r\nDays=7\r\n");
    ASSERT_TRUE(::SetFileAttributesW(widen(path).c_str(), FILE_ATTRIBUTE_READONLY));
    try {
        platform::ProfileWrite(path, "General", "Days", "8");
        ADD_FAILURE() << "a read-only file was written";
    } catch (const Error& e) {
        EXPECT_EQ(e.what(), "Unable to write to " + path);
    }
    EXPECT_EQ(platform::ProfileRead(path, "General", "Days"), "7");

    ASSERT_TRUE(::SetFileAttributesW(widen(path).c_str(), FILE_ATTRIBUTE_HIDDEN));
    platform::ProfileWrite(path, "General", "Days", "9");
    EXPECT_EQ(readFile(path), "[General]\r\nDays=9\r\n");
    EXPECT_EQ(attributesOf(path) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "no temporary file is left";
}

}  // namespace
}  // namespace dormex::test
