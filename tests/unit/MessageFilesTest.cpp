#include "State.h"
#include "TestSupport.h"
#include "platform/UserFolders.h"

#include <clocale>
#include <ctime>
#include <gtest/gtest.h>
#include <locale.h>
#include <regex>
#include <sys/stat.h>

namespace {

const std::regex stampPattern("(Sun|Mon|Tue|Wed|Thu|Fri|Sat)_(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|"
                              "Oct|Nov|Dec)_[0-3][0-9]_[0-2][0-9][0-5][0-9][0-6][0-9]_[0-9]{4}");

// The stamp for the current second as the C locale's strftime writes it.
std::string expectedStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    char text[64];
    strftime_l(text, sizeof text, "%a_%b_%d_%H%M%S_%Y", &local, c);
    freelocale(c);
    return text;
}

unsigned modeOf(const std::string& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

} // namespace

TEST(MakeFileNameSafe, SpacesBecomeUnderscoresAndColonsGo) {
    std::string text = "Wed Jan 02 02:03:55 1980\n";
    makeFileNameSafe(text);
    EXPECT_EQ(text, "Wed_Jan_02_020355_1980");
    text = "a::b: c";
    makeFileNameSafe(text);
    EXPECT_EQ(text, "ab_c");
    text = "no newline";
    makeFileNameSafe(text);
    EXPECT_EQ(text, "no_newline");
    text = "\n\n";
    makeFileNameSafe(text);
    EXPECT_EQ(text, "\n") << "only the last line feed is dropped";
}

TEST(MakeTimeStamp, FixedFormWithEnglishNamesInAnyLocale) {
    TempFolder locales;
    // Locales built here, so the test does not depend on what the machine has generated.
    const std::string build = "localedef -i de_DE -f UTF-8 '" + (locales / "de_DE.UTF-8") +
                              "' 2>/dev/null; localedef -i fr_FR -f UTF-8 '" +
                              (locales / "fr_FR.UTF-8") + "' 2>/dev/null";
    ASSERT_EQ(std::system(build.c_str()), 0);
    ScopedEnvironment path("LOCPATH", locales.path().c_str());
    for (const char* name : {"C", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, name), nullptr) << name;
        const std::string before = expectedStamp();
        const std::string stamp = makeTimeStamp();
        const std::string after = expectedStamp();
        EXPECT_EQ(stamp.size(), 22u) << name << ": " << stamp;
        EXPECT_TRUE(std::regex_match(stamp, stampPattern)) << name << ": " << stamp;
        EXPECT_TRUE(stamp == before || stamp == after) << name << ": " << stamp;
        EXPECT_EQ(stamp.find_first_of(" :\n"), std::string::npos);
    }
    std::setlocale(LC_ALL, "C");
}

TEST(UserDataFolder, FollowsXdgDataHomeWhenAbsolute) {
    TempFolder home;
    const std::string dataHome = home / "data/nested";
    ScopedEnvironment xdg("XDG_DATA_HOME", dataHome.c_str());
    std::string folder;
    EXPECT_EQ(platform::locateUserDataFolder(folder), 0);
    EXPECT_EQ(folder, dataHome);
    EXPECT_EQ(modeOf(dataHome), 0700u);
    EXPECT_EQ(modeOf(home / "data"), 0700u) << "missing parents are created private too";
}

TEST(UserDataFolder, IgnoresARelativeOrEmptyXdgDataHome) {
    TempFolder home;
    ScopedEnvironment homeVariable("HOME", home.path().c_str());
    for (const char* value : {"relative/data", ""}) {
        ScopedEnvironment xdg("XDG_DATA_HOME", value);
        std::string folder;
        EXPECT_EQ(platform::locateUserDataFolder(folder), 0);
        EXPECT_EQ(folder, home / ".local/share") << value;
    }
}

TEST(UserDataFolder, WithoutHomeTakesThePasswordDatabase) {
    ScopedEnvironment xdg("XDG_DATA_HOME", nullptr);
    ScopedEnvironment home("HOME", nullptr);
    std::string folder;
    ASSERT_EQ(platform::locateUserDataFolder(folder), 0);
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.substr(folder.size() - 13), "/.local/share");
}

TEST(UserDataFolder, APathThroughAPlainFileFails) {
    TempFolder home;
    writeText(home / "file", "x");
    const std::string dataHome = home / "file/data";
    ScopedEnvironment xdg("XDG_DATA_HOME", dataHome.c_str());
    std::string folder = "untouched";
    EXPECT_EQ(platform::locateUserDataFolder(folder), ENOTDIR);
    EXPECT_EQ(folder, "untouched");
}

TEST(MakeDirectory, LogsTheErrorNumber) {
    TempFolder root;
    testing::internal::CaptureStdout();
    makeDirectory(root / "new");
    makeDirectory(root / "new");
    makeDirectory(root / "missing/parent");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "mkdir:errno: 0\nmkdir:errno: 17\nmkdir:errno: 2\n");
    EXPECT_EQ(modeOf(root / "new"), 0700u);
}
