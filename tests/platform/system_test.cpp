// The kernel, shell and library services as every caller may rely on them, on either
// implementation: results and last-error codes with their Win32 meaning.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <string>

#include "device_test.h"

namespace platform::testing {
namespace {

class SystemTest : public DeviceTest {};

// The second creation of a held name returns a handle and says the object existed; once every
// handle is closed, the name is free again.
TEST_F(SystemTest, NamedMutexReportsAnExistingObject) {
    // A name of this test alone (Win32 names are shared by every process of the session).
    const std::u16string name = std::u16string(name_.begin(), name_.end()) + u"-loader";
    Handle mine = CreateNamedMutex(name.c_str());
    EXPECT_EQ(LastError(), 0u);
    Handle again = CreateNamedMutex(name.c_str());
    EXPECT_EQ(LastError(), kErrorAlreadyExists);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(CloseHandle(mine));
    Handle last = CreateNamedMutex(name.c_str());
    EXPECT_EQ(LastError(), 0u);
    EXPECT_TRUE(CloseHandle(last));
    EXPECT_FALSE(CloseHandle(last));
    EXPECT_EQ(LastError(), 6u);  // ERROR_INVALID_HANDLE
}

TEST_F(SystemTest, LibraryExportsAreFoundByName) {
    InstallVendorLibrary();
    LibraryHandle library = LoadLibraryByName(u"velmorin.dll");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(FindExport(library, "KVRebootMachine"), nullptr);
    EXPECT_EQ(FindExport(library, "KVShutdownMachine"), nullptr);
    EXPECT_EQ(LastError(), 127u);  // ERROR_PROC_NOT_FOUND
    EXPECT_EQ(LoadLibraryByName(u"missing.dll"), nullptr);
    EXPECT_EQ(LastError(), 126u);  // ERROR_MOD_NOT_FOUND
}

// The shell's delete, as the installer's purge uses it (no confirmation).
struct DeleteCase {
    const char* name;
    const char16_t* from;  // one source, inside the test's folder
    bool succeeds;
    const char* gone;  // what the operation deleted, or null
    const char* kept;  // what must survive
};

class ShellDeleteTest : public SystemTest, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(ShellDeleteTest, DeletesWhatTheSourceNames) {
    WriteFile("Dir/one.txt", "1");
    WriteFile("Dir/two.log", "2");
    WriteFile("Dir/.hidden", "h");
    WriteFile("Dir/sub/deep.bin", "d");
    WriteFile("Other/three.txt", "3");
    std::filesystem::create_directories(Host("Empty"));
    std::u16string list = Path(GetParam().from);
    list.push_back(u'\0');  // the list's terminating empty path
    int32_t aborted = 7;
    EXPECT_EQ(
        ShellDelete(list.c_str(), kFileOpNoConfirmation | kFileOpSimpleProgress, &aborted) == 0,
        GetParam().succeeds);
    EXPECT_EQ(aborted, 0);
    if (GetParam().gone) {
        EXPECT_FALSE(std::filesystem::exists(Host(GetParam().gone))) << GetParam().gone;
    }
    EXPECT_TRUE(std::filesystem::exists(Host(GetParam().kept))) << GetParam().kept;
}

const DeleteCase kDeleteCases[] = {
    {"StarDotStarEmptiesTheFolderAndKeepsIt", u"dir\\*.*", true, "Dir/sub", "Dir"},
    {"HiddenNamesToo", u"Dir\\*.*", true, "Dir/.hidden", "Other/three.txt"},
    {"StarMatchesEveryName", u"DIR\\*", true, "Dir/one.txt", "Other/three.txt"},
    {"PatternMatchesIgnoringCase", u"Dir\\*.TXT", true, "Dir/one.txt", "Dir/two.log"},
    {"SingleFile", u"dir\\TWO.log", true, "Dir/two.log", "Dir/one.txt"},
    {"WholeDirectory", u"Other", true, "Other", "Dir/one.txt"},
    {"MissingFileFails", u"Dir\\none.txt", false, nullptr, "Dir/one.txt"},
    {"EmptyFolderHasNothingToDo", u"Empty\\*.*", true, nullptr, "Empty"},
    {"WildcardInMissingDirectoryHasNothingToDo", u"Nowhere\\*.*", true, nullptr, "Dir/one.txt"},
};
INSTANTIATE_TEST_SUITE_P(Sources, ShellDeleteTest, ::testing::ValuesIn(kDeleteCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform::testing
