// The document: open, typed getters, setters, the saved bytes and save/load round trips.
#include "ini/ini_document.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ini_test_util.h"
#include "platform/fault.h"

namespace {

using ini_test::Dump;
using ini_test::Utf16Le;

using DocumentPtr = std::unique_ptr<IniDocument, decltype(&IniClose)>;

class DocumentTest : public ini_test::DeviceRootTest {
  protected:
    DocumentPtr OpenWith(const char16_t* path, const std::u16string& body) {
        WriteFile(path, Utf16Le(body));
        return DocumentPtr(IniOpen(path), IniClose);
    }
};

// The saved bytes, to the byte: a head comment naming the file, the default section's keys after
// an empty line even when it has none, then each section in slot order.
TEST_F(DocumentTest, SavedLayoutOfSectionsKeysAndRefilledSlots) {
    std::filesystem::create_directories(root_ + "/ResidentFlash2/VORIZ");
    const char16_t* path = u"\\ResidentFlash2\\VORIZ\\index.ini";
    DocumentPtr doc = OpenWith(path, u"top=1\r\n[Empty]\r\n[S]\r\nx=1\r\ny=2\r\n");
    ASSERT_NE(doc, nullptr);
    IniTableRemoveKey(doc->table, u"S", u"x");
    IniSetString(doc.get(), u"T", u"z", u"3");  // T takes x's slot, z a new one
    IniSetString(doc.get(), u"S", u"blank", u"");
    IniSetInt(doc.get(), u"S", u"n", -7);
    IniSetString(doc.get(), u"x]y", u"k", u"1");  // "[x]y]" would read back as [x]: left out
    IniSave(doc.get());
    EXPECT_EQ(ReadFile(path), Utf16Le(u"# \\ResidentFlash2\\VORIZ\\index.ini\r\n\r\ntop = 1\r\n"
                                      u"\r\n[Empty]\r\n\r\n[S]\r\ny = 2\r\nblank = \r\nn = -7\r\n"
                                      u"\r\n[T]\r\nz = 3\r\n"));
    // Reading it back drops the empty value and keeps the rest.
    DocumentPtr again(IniOpen(path), IniClose);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Dump(again->table), "__default=|__default#top=1|Empty=|S=|S#y=2|S#n=-7|T=|T#z=3");
    doc = OpenWith(u"\\e.ini", u"");
    ASSERT_NE(doc, nullptr);
    IniSave(doc.get());
    EXPECT_EQ(ReadFile(u"\\e.ini"), Utf16Le(u"# \\e.ini\r\n\r\n"));
}

// IniGetString / IniGetInt on present and absent items: result, and what the buffer holds after
// (the number's text rules are TypedReads').
TEST_F(DocumentTest, GettersFollowTheContract) {
    DocumentPtr doc = OpenWith(u"\\g.ini", u"top=12\n[Config]\nSoftwareVersion=3.1\n");
    ASSERT_NE(doc, nullptr);
    const struct {
        const char* what;
        const char16_t *section, *key;
        int32_t stringResult;
        std::u16string stringAfter;   // buffer preset to u"untouched"
        int32_t intResult, intAfter;  // preset to 99
    } rows[] = {
        {"string", u"Config", u"SoftwareVersion", 0, u"3.1", 0, 3},
        {"absent key", u"Config", u"Nope", -1, u"untouched", -1, 99},
        {"absent section", u"Other", u"SoftwareVersion", -1, u"untouched", -1, 99},
        {"case differs", u"config", u"SoftwareVersion", -1, u"untouched", -1, 99},
        {"default section", nullptr, u"top", 0, u"12", 0, 12},
        {"section entry", u"Config", nullptr, 0, u"", 0, 0},
        {"absent section entry", u"Other", nullptr, -1, u"untouched", -1, 99},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        char16_t buffer[kIniFieldUnits] = u"untouched";
        EXPECT_EQ(IniGetString(doc.get(), row.section, row.key, buffer), row.stringResult);
        EXPECT_EQ(std::u16string(buffer), row.stringAfter);
        int32_t number = 99;
        EXPECT_EQ(IniGetInt(doc.get(), row.section, row.key, &number), row.intResult);
        EXPECT_EQ(number, row.intAfter);
    }
}

// A missing file opens no document (the files the loader refuses are FilesLoadWholeOrNotAtAll's),
// nor does an existing file whose device path is 260 units long: keeping 259 of them would make
// IniSave write to a different file.
TEST_F(DocumentTest, PathsThatCannotBeOpenedOrSaved) {
    EXPECT_EQ(IniOpen(u"\\missing.ini"), nullptr);
    const std::u16string dir = u"\\" + std::u16string(200, u'd');
    std::filesystem::create_directories(Host(dir.c_str()));
    std::u16string path = dir + u"\\" + std::u16string(260 - dir.size() - 1, u'f');
    WriteFile(path.c_str(), Utf16Le(u"a=1\n"));
    EXPECT_EQ(IniOpen(path.c_str()), nullptr);
    path.pop_back();
    WriteFile(path.c_str(), Utf16Le(u"a=1\n"));
    DocumentPtr ok(IniOpen(path.c_str()), IniClose);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(std::u16string(ok->path), path);
    // The save goes through the safe replace (its faults are the platform tests'): a failed write
    // leaves the old file, and a save into a missing directory creates nothing.
    DocumentPtr doc = OpenWith(u"\\w.ini", u"a=1\n");
    ASSERT_NE(doc, nullptr);
    IniSetString(doc.get(), nullptr, u"a", u"2");
    platform::fault::Arm(0, 1);
    IniSave(doc.get());
    platform::fault::Arm(0, 0);
    EXPECT_EQ(ReadFile(u"\\w.ini"), Utf16Le(u"a=1\n"));
    const std::u16string elsewhere = u"\\no\\such\\dir\\s.ini";
    std::copy(elsewhere.begin(), elsewhere.end(), doc->path);
    doc->path[elsewhere.size()] = 0;
    IniSave(doc.get());
    EXPECT_FALSE(std::filesystem::exists(root_ + "/no"));
}

}  // namespace
