// The kernel, shell and library services as every caller may rely on them, on either
// implementation: results and last-error codes with their Win32 meaning.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <string>

#include "device_test.h"
#include "platform/text.h"

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

// The shell's delete, as the installer's purge uses it (no confirmation). Each row starts from the
// same tree; `gone` is what the operation deleted (or null), `kept` what must survive.
TEST_F(SystemTest, ShellDeleteDeletesWhatTheSourceNames) {
    const struct {
        const char16_t* from;  // one source, inside the test's folder
        bool succeeds;
        const char* gone;
        const char* kept;
    } cases[] = {
        {u"dir\\*.*", true, "Dir/sub", "Dir"},  // empties the folder and keeps it
        {u"Dir\\*.*", true, "Dir/.hidden", "Other/three.txt"},
        {u"DIR\\*", true, "Dir/one.txt", "Other/three.txt"},
        {u"Dir\\*.TXT", true, "Dir/one.txt", "Dir/two.log"},
        {u"dir\\TWO.log", true, "Dir/two.log", "Dir/one.txt"},
        {u"Other", true, "Other", "Dir/one.txt"},
        {u"Dir\\none.txt", false, nullptr, "Dir/one.txt"},
        {u"Empty\\*.*", true, nullptr, "Empty"},
        {u"Nowhere\\*.*", true, nullptr, "Dir/one.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(c.from));
        WriteFile("Dir/one.txt", "1");
        WriteFile("Dir/two.log", "2");
        WriteFile("Dir/.hidden", "h");
        WriteFile("Dir/sub/deep.bin", "d");
        WriteFile("Other/three.txt", "3");
        std::filesystem::create_directories(Host("Empty"));
        std::u16string list = Path(c.from);
        list.push_back(u'\0');  // the list's terminating empty path
        int32_t aborted = 7;
        EXPECT_EQ(
            ShellDelete(list.c_str(), kFileOpNoConfirmation | kFileOpSimpleProgress, &aborted) == 0,
            c.succeeds);
        EXPECT_EQ(aborted, 0);
        EXPECT_TRUE(c.gone == nullptr || !std::filesystem::exists(Host(c.gone))) << c.gone;
        EXPECT_TRUE(std::filesystem::exists(Host(c.kept))) << c.kept;
    }
}

}  // namespace
}  // namespace platform::testing
