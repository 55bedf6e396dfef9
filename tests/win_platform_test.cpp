// The platform layer's Windows side: program directories the classic functions cannot reach,
// the log's sharing, the read-only attribute and replacing a file that fails.
#include <windows.h>

#include <filesystem>

#include "TestSupport.h"
#include "platform/Error.h"
#include "platform/Profile.h"
#include "platform/RunLock.h"
#include "platform/Utf.h"
#include "platform/win/Wide.h"
#include "uVarious.h"

namespace dormex::test {
namespace {

using platform::toWide;
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
    ASSERT_TRUE(::CreateDirectoryW(toWide(nonAscii).c_str(), nullptr));
    for (const std::string& programDir : {nonAscii, deep}) {
        ScopedServices there(
            [&](platform::Services& s) { s.executablePath = programDir + "\\Dormex.exe"; });
        EXPECT_EQ(platform::programDirectory(), programDir + "\\");
        WriteIniValue(SettingsPath(), "Days", "45", "General", boxes);
        EXPECT_EQ(ReadIniValue(SettingsPath(), "Days", "General"), "45");
        WriteLog("entry");
        const std::string log = programDir + "\\Dormex.log";
        ASSERT_NE(attributesOf(log), INVALID_FILE_ATTRIBUTES) << log;
        auto lock = platform::makeSystemRunLock();
        EXPECT_TRUE(lock->acquire(programDir + "\\Dormex.lock", 0));
    }
    EXPECT_TRUE(boxes.boxes.empty());
    // A lock file that can be neither created (sysfs refuses even root one) nor found: the
    // reason given is the create's, never that the file is missing.
    try {
        platform::makeSystemRunLock()->acquire("Z:\\sys\\kernel\\Dormex.lock", 0);
        ADD_FAILURE() << "created in sysfs";
    } catch (const Error& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.find(platform::win::systemMessage(ERROR_FILE_NOT_FOUND)),
                  std::string::npos)
            << message;
    }
}

TEST_F(WinPlatform, AnEntryWaitsForALogHeldWithoutSharingAndStopsTheRunIfItStaysHeld) {
    ScopedServices named(
        [&](platform::Services& s) { s.executablePath = dir.path() + "\\Dormex.exe"; });
    const std::string log = dir.path() + "\\Dormex.log";
    WriteLog("first");
    struct Holder {
        DWORD share;
        bool releasedWhileWaiting;
        int waits;  // the waits until the entry is in, or until the run stops
        bool written;
    } holders[] = {{FILE_SHARE_READ | FILE_SHARE_WRITE, false, 0, true},
                   {FILE_SHARE_READ, true, 1, true},
                   {FILE_SHARE_READ, false, 3, false},
                   {0, false, 3, false}};
    for (const Holder& h : holders) {
        const std::string before = readFile(log);
        platform::win::Handle reader(::CreateFileW(toWide(log).c_str(), GENERIC_READ, h.share,
                                                   nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader.valid());
        int waits = 0;
        std::optional<ScopedServices> waiting;
        waiting.emplace([&](platform::Services& s) {
            s.logRetryWait = [&](auto) {
                if (h.releasedWhileWaiting) reader.reset();
                return ++waits < 3;
            };
        });
        bool stopped = false;
        try {
            WriteLog("while held");
        } catch (const RunStopped& e) {
            stopped = true;
            EXPECT_NE(std::string(e.what()).find(log), std::string::npos) << e.what();
        }
        waiting.reset();
        reader.reset();
        EXPECT_EQ(waits, h.waits) << h.share;
        EXPECT_EQ(stopped, !h.written) << h.share;
        EXPECT_EQ(readFile(log).size() > before.size(), h.written) << h.share;
    }
}

// ReplaceFileW failing with `g_replaceCode` as its documentation describes: with a backup name
// given, only ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 moves anything (the old file, to the backup).
DWORD g_replaceCode;

TEST_F(WinPlatform, AReplaceThatFailsLeavesTheOldFileInPlaceAndSaysUnableToWrite) {
    ScopedServices failing([](platform::Services& s) {
        s.replaceFile = [](const std::wstring& replaced, const std::wstring&,
                           const std::wstring& backup) {
            if (g_replaceCode == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
                ::MoveFileW(replaced.c_str(), backup.c_str());
            ::SetLastError(g_replaceCode);
            return false;
        };
    });
    const std::string path = settingsPath();
    for (const DWORD code : {ERROR_UNABLE_TO_REMOVE_REPLACED, ERROR_UNABLE_TO_MOVE_REPLACEMENT,
                             ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, ERROR_INVALID_PARAMETER}) {
        g_replaceCode = code;
        writeFile(path, "[General]\r\nDays=7\r\n");
        WriteIniValue(path, "Days", "8", "General", boxes);
        ASSERT_EQ(boxes.boxes.size(), 1u) << code;
        EXPECT_EQ(boxes.boxes[0].text, "Unable to write to " + path) << code;
        boxes.boxes.clear();
        EXPECT_EQ(readFile(path), "[General]\r\nDays=7\r\n") << code;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << code;
    }
}

TEST_F(WinPlatform, ReadOnlyAttributeRefusesWritesAndAReplaceKeepsTheOtherAttributes) {
    const std::string path = settingsPath();
    writeFile(path, "[General]\r\nDays=7\r\n");
    ASSERT_TRUE(::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_READONLY));
    try {
        platform::ProfileWrite(path, "General", "Days", "8");
        ADD_FAILURE() << "a read-only file was written";
    } catch (const Error& e) {
        EXPECT_EQ(e.what(), "Unable to write to " + path);
    }
    EXPECT_EQ(platform::ProfileRead(path, "General", "Days"), "7");

    ASSERT_TRUE(::SetFileAttributesW(toWide(path).c_str(), FILE_ATTRIBUTE_HIDDEN));
    platform::ProfileWrite(path, "General", "Days", "9");
    EXPECT_EQ(readFile(path), "[General]\r\nDays=9\r\n");
    EXPECT_EQ(attributesOf(path) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1)
        << "no temporary file is left";
}

}  // namespace
}  // namespace dormex::test
