#include "platform/Profile.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <random>

#include "TestSupport.h"
#include "platform/Error.h"

using namespace dormex::platform;
namespace fs = std::filesystem;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// A UTF-16LE file: the byte-order mark FF FE, then `text` in 16-bit units.
std::string utf16File(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text)
        bytes.append({static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)});
    return bytes;
}

class Profile : public ::testing::Test {
protected:
    void put(const std::string& bytes) const { dormex::test::writeFile(m_file, bytes); }
    std::string get() const { return dormex::test::readFile(m_file); }

    dormex::test::TempDir m_temp;
    fs::path m_dir = m_temp.path();
    std::string m_file = m_temp.file("dormex.ini");
};

}  // namespace

TEST_F(Profile, ReadsNamesValuesAndLineEnds) {
    struct Case {
        std::string file, section, key, expected;
    };
    const std::string longValue(3000, 'v'), cut = longValue.substr(0, kProfileValueMax);
    const std::u16string wide(1500, u'\u00e9');
    std::string wideCut;
    for (size_t i = 0; i < kProfileValueMax / 2; ++i) wideCut += "\xC3\xA9";
    // clang-format off
    for (const Case& c : std::vector<Case>{
             {"  [ \tGen \t]  tail\r\nDays\t =  45 \t\r\n", "gEN", "DAYS", "45"},
             {"[A]\nk=\"  q  \"\n", "A", "k", "  q  "}, {"[A]\nk=' q '", "A", "k", " q "},
             {"[A]\nk=\"q'\n", "A", "k", "\"q'"}, {"[A]\nk=\"\n", "A", "k", "\""},
             {"[A]\nk=a=b\n", "A", "k", "a=b"}, {"[A]\n;k=1\n  ; k=2\nk=3\n", "A", "k", "3"},
             {"[A]\n[k=1]\nk=2\n", "A", "k", ""}, {"[A]\n[k=1\nk=2\n", "A", "k", ""},
             {"[S]\r\n[ x=1 \t\r\nk=2", "x=1", "k", "2"}, {"[S]\r\nk=1", " S ", "  k ", "1"},
             {"[S]\r\nk=1", "\tS", "k", ""}, {"[S]\r\nk=1", "S", "k\t", ""},
             {"[S]\nk=\vv\v\n", "S", "k", "v"}, {"[S]\n\vj\v=1\n", "S", "j", "1"},
             {"[\vT\v]\nk=2\n", "T", "k", "2"}, {"\v[S]\nk=1\n", "S", "k", "1"},
             {"[S]\n\v;k=1\n", "S", ";k", ""}, {"[S]\nk=\fv\n", "S", "k", "\fv"},
             {utf16File(u"[General]\r\nDays=30\r\n"), "general", "DAYS", "30"},
             {utf16File(u"[S]\nk=\u00e9\U0001F600\xD800!\n") + "\x01", "S", "k",
              "\xC3\xA9\xF0\x9F\x98\x80\xED\xA0\x80!"},
             {utf16File(u"[S]\nk=" + wide), "S", "k", wideCut},
             {"\xFE\xFF" + std::string("\0[\0S\0]\0\n\0k\0=\0\x31", 14), "S", "k", ""},
             {"[A]\n[k=1\n", "A", "[k", ""}, {"k=0\n[A]\n", "A", "k", ""},
             {"[A]x]\nk=1", "a", "k", "1"}, {"[A]\nk=1\nK=2\n", "A", "k", "1"},
             {"[A]\nx=1\n[B]\n[a]\nk=3\n", "A", "k", ""}, {"[A]\rx=1\rk=cr\r", "A", "k", "cr"},
             {"[A]\r\n\r\n\nk=mixed", "A", "k", "mixed"}, {kBom + "[A]\nk=bom\n", "A", "k", "bom"},
             {"[A]\n" + kBom + "k=1\n", "A", "k", ""},
             {std::string("[A]\nk=\"ab\0cd\"\n", 14), "A", "k", "ab"},
             {"[A]\nk=" + longValue, "A", "k", cut}, {"[A]\nk='" + longValue + "'", "A", "k", cut},
             {"", "A", "k", ""}}) {
        // clang-format on
        put(c.file);
        EXPECT_EQ(ProfileRead(m_file, c.section, c.key), c.expected) << c.file.substr(0, 40);
    }
    EXPECT_EQ(ProfileRead((m_dir / "missing.ini").string(), "A", "k"), "");
    EXPECT_EQ(ProfileRead(m_dir.string(), "A", "k"), "");

    // A whole section: every line but blanks and comments, keys and values as read.
    put(utf16File(u"[Keep]\r\n 17 = Fire brigade \r\n\r\n; 18=off\r\n 19 \r\nx='a'\r\n[B]\r\ny=1"));
    using Entries = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ProfileSection(m_file, "keep"),
              (Entries{{"17", "Fire brigade"}, {"19", ""}, {"x", "a"}}));
    EXPECT_EQ(ProfileSection(m_file, "none"), Entries{});
}

TEST_F(Profile, WriteChangesOnlyItsOwnLine) {
    struct Case {
        std::string before, section, key, value, after;
    };
    const std::string odd("\x01\xFF\x80[=]\0 ;", 9);
    for (const Case& c : std::vector<Case>{
             {"; c\r\n[Gen]\r\n  DAYS = 30 \r\nx=1\r\n", "gen", "days", "45",
              "; c\r\n[Gen]\r\nDAYS=45\r\nx=1\r\n"},
             {"[A]\nk=1\r\n", "A", "K", "2", "[A]\nk=2\r\n"},
             {"[A]\nk=1", "A", "k", "2", "[A]\nk=2"},
             {"[A]\nk1=1\n; c\n\n[B]\n", "A", "k2", "2", "[A]\nk1=1\nk2=2\n; c\n\n[B]\n"},
             {"[A]\rk1=1\r\r", "a", "k2", "2", "[A]\rk1=1\rk2=2\r\r"},
             {"[A]\n; c\n", "A", "k", "v", "[A]\nk=v\n; c\n"},
             {"[A]", "A", "k", "v", "[A]\r\nk=v\r\n"},
             {"[A]\nk1=1", "A", "k2", "2", "[A]\nk1=1\nk2=2\n"},
             {"[A]\r\n\r\n", "B", "k", "v", "[A]\r\n\r\n[B]\r\nk=v\r\n"},
             {"\r[s]\n\n", "s", "k", "v", "\r[s]\nk=v\n\n"},
             {"[A]\r\nk1=1\n\r\n", "A", "k2", "2", "[A]\r\nk1=1\nk2=2\n\r\n"},
             {"[A]\nk=1", "B", "k", "v", "[A]\nk=1\n[B]\nk=v\n"},
             {kBom, "B", "k", "v", kBom + "[B]\r\nk=v\r\n"},
             {kBom + "[A]\r\nk=1\r\n", "A", "k", "2", kBom + "[A]\r\nk=2\r\n"},
             {"k=0\n[A]\nk=1\nk=2\n[a]\nk=3\n", "A", "k", "4", "k=0\n[A]\nk=4\nk=2\n[a]\nk=3\n"},
             {"[A]\nk=1\n", "A", "k", " \"x\" ", "[A]\nk= \"x\" \n"},
             {"[A]\n" + odd + "\nk=1\n[Z]\n" + odd, "A", "k", "2",
              "[A]\n" + odd + "\nk=2\n[Z]\n" + odd},
             {"[A]\n\vk\v=\v1\n", " A ", " K ", "2", "[A]\nk=2\n"},
             {"[A]\n[x=1\nk=1\n", "A", "k", "2", "[A]\nk=2\n[x=1\nk=1\n"},
             {"", " B ", " k ", "v", "[B]\r\nk=v\r\n"},
             {utf16File(u"[A]\r\nk=1\r\n\xDE00\xD800\r\n"), "A", "k", "\xC3\xA9\xFF",
              utf16File(u"[A]\r\nk=\u00e9\uFFFD\r\n\xDE00\xD800\r\n")},
             {utf16File(u"[A]\n") + "\x01", "B", "k", "v", utf16File(u"[A]\n[B]\nk=v\n") + "\x01"},
             {utf16File(u""), "B", "k", "v", utf16File(u"[B]\r\nk=v\r\n")}}) {
        put(c.before);
        ProfileWrite(m_file, c.section, c.key, c.value);
        EXPECT_EQ(get(), c.after) << c.before;
    }
}

TEST_F(Profile, ExampleFileAndRoundTrips) {
    ProfileWrite(m_file, "General", "Days", "45");
    std::string expected = "[General]\r\nDays=45\r\n";
    for (int i = 0; i <= 10; ++i) {
        const std::string key = "type" + std::to_string(i),
                          value = i == 0 || i == 4 ? "True" : "False";
        ProfileWrite(m_file, "General", key, value);
        expected += key + "=" + value + "\r\n";
    }
    EXPECT_EQ(get(), expected);
#ifndef _WIN32
    EXPECT_EQ(fs::status(m_file).permissions(), fs::perms(0644));
#endif
    for (const std::string& value : std::vector<std::string>{"", "=;[x]", std::string(2047, 'z')}) {
        ProfileWrite(m_file, "Other", "key", value);
        EXPECT_EQ(ProfileRead(m_file, "Other", "key"), value);
    }
    EXPECT_EQ(ProfileRead(m_file, "GENERAL", "TYPE4"), "True");
}

// POSIX permission bits, symbolic links, file size limits and user switching; on Windows the
// platform's own tests cover the read-only attribute and the atomic replace.
#ifndef _WIN32
TEST_F(Profile, FailedWriteLeavesOldFileAndNoTemporary) {
    const std::string old = "[A]\r\nk=old\r\n";
    put(old);
    fs::permissions(m_file, fs::perms(0600));
    fs::create_directory(m_dir / "sub.ini");
    // No write permission bit makes a file read-only, for root as well.
    const fs::path readOnly = m_dir / "ro.ini";
    dormex::test::writeFile(readOnly.string(), old);
    fs::permissions(readOnly, fs::perms(0444));
    fs::create_symlink(readOnly, m_dir / "link.ini");
    for (const fs::path& path :
         {m_dir / "sub.ini", m_dir / "no" / "x.ini", readOnly, m_dir / "link.ini"}) {
        try {
            ProfileWrite(path.string(), "A", "k", "v");
            ADD_FAILURE() << "no error for " << path;
        } catch (const dormex::Error& e) {
            EXPECT_EQ(e.what(), "Unable to write to " + path.string());
        }
    }
    // A file size limit makes the write itself fail part way.
    rlimit saved{}, small{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = saved;
    small.rlim_cur = 4096;
    auto handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_THROW(ProfileWrite(m_file, "A", "k", std::string(10000, 'n')), dormex::Error);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(get(), old);
    EXPECT_EQ(dormex::test::readFile(readOnly.string()), old);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), {}), 4) << "a temporary file is left";

    ProfileWrite(m_file, "A", "k", "new");
    EXPECT_EQ(fs::status(m_file).permissions(), fs::perms(0600));
}

// In a directory that refuses new files (to an unprivileged child, as root ignores permission
// bits), an existing writable file is rewritten in place and a new file is refused.
TEST_F(Profile, WritesInPlaceWhereNoFileMayBeCreated) {
    const std::string fresh = (m_dir / "new.ini").string();
    put("[A]\nk=old value\nz=1\n");
    fs::permissions(m_file, fs::perms(0666));
    fs::permissions(m_dir, fs::perms(0555));
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
        // An in-place write failing part way fails and puts the old contents back.
        rlimit saved{}, small{};
        getrlimit(RLIMIT_FSIZE, &saved);
        small = saved;
        small.rlim_cur = 4096;
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &small);
        try {
            ProfileWrite(m_file, "A", "k", std::string(10000, 'n'));
            _exit(14);
        } catch (const dormex::Error&) {
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        try {
            ProfileWrite(m_file, "A", "k", "new");
            ProfileWrite(m_file, "B", "k", "v");
        } catch (const dormex::Error&) {
            _exit(11);
        }
        try {
            ProfileWrite(fresh, "A", "k", "v");
        } catch (const dormex::Error& e) {
            _exit(e.what() == "Unable to write to " + fresh ? 0 : 12);
        }
        _exit(13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    fs::permissions(m_dir, fs::perms(0700));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(get(), "[A]\nk=new\nz=1\n[B]\nk=v\n");
    EXPECT_EQ(fs::status(m_file).permissions(), fs::perms(0666));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), {}), 1);
}

#endif

// 100 kB of garbage bytes are kept by a write; 100 000 sections read in linear time.
TEST_F(Profile, SurvivesGarbageAndHugeFiles) {
    std::mt19937 random(7);
    std::string garbage(100000, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random());
        if (c == '\r' || c == '\n') c = '\0';
    }
    put(garbage + "\n[S]\nk=found\n");
    EXPECT_EQ(ProfileRead(m_file, "S", "k"), "found");
    ProfileWrite(m_file, "S", "k2", "x");
    EXPECT_EQ(get(), garbage + "\n[S]\nk=found\nk2=x\n");

    std::string many;
    for (int i = 0; i < 100000; ++i)
        many += "[s" + std::to_string(i) + "]\nk=" + std::to_string(i) + "\n";
    put(many);
    ProfileWrite(m_file, "s99999", "k", "last");
    EXPECT_EQ(ProfileRead(m_file, "S99999", "K"), "last");
}
