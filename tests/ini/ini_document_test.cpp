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

struct DocumentDeleter {
    void operator()(IniDocument* d) const { IniClose(d); }
};
using DocumentPtr = std::unique_ptr<IniDocument, DocumentDeleter>;

class DocumentTest : public ini_test::DeviceRootTest {
  protected:
    DocumentPtr OpenWith(const char16_t* path, const std::u16string& body) {
        WriteFile(path, Utf16Le(body));
        return DocumentPtr(IniOpen(path));
    }
};

TEST_F(DocumentTest, SavesTheVersionRecordToTheByte) {
    std::filesystem::create_directories(root_ + "/ResidentFlash2/VORIZ");
    const char16_t* path = u"\\ResidentFlash2\\VORIZ\\index.ini";
    DocumentPtr doc = OpenWith(path, u"[Config]\r\nSoftwareVersion=1.2.3\r\n");
    ASSERT_NE(doc, nullptr);
    IniSave(doc.get());
    EXPECT_EQ(ReadFile(path), Utf16Le(u"# \\ResidentFlash2\\VORIZ\\index.ini\r\n"
                                      u"\r\n"
                                      u"\r\n"
                                      u"[Config]\r\n"
                                      u"SoftwareVersion = 1.2.3\r\n"));
    // The default section is an empty line even without keys.
    doc = OpenWith(u"\\e.ini", u"");
    ASSERT_NE(doc, nullptr);
    IniSave(doc.get());
    EXPECT_EQ(ReadFile(u"\\e.ini"), Utf16Le(u"# \\e.ini\r\n\r\n"));
}

TEST_F(DocumentTest, SavedLayoutOfSectionsKeysAndRefilledSlots) {
    DocumentPtr doc = OpenWith(u"\\a.ini", u"top=1\n[Empty]\n[S]\nx=1\ny=2\n");
    ASSERT_NE(doc, nullptr);
    IniTableRemoveKey(doc->table, u"S", u"x");
    IniSetString(doc.get(), u"T", u"z", u"3");  // T takes x's slot, z a new one
    IniSetString(doc.get(), u"S", u"blank", u"");
    IniSetInt(doc.get(), u"S", u"n", -7);
    IniSave(doc.get());
    EXPECT_EQ(ReadFile(u"\\a.ini"), Utf16Le(u"# \\a.ini\r\n"
                                            u"\r\n"
                                            u"top = 1\r\n"
                                            u"\r\n[Empty]\r\n"
                                            u"\r\n[S]\r\n"
                                            u"y = 2\r\n"
                                            u"blank = \r\n"
                                            u"n = -7\r\n"
                                            u"\r\n[T]\r\n"
                                            u"z = 3\r\n"));
    // Reading it back drops the empty value and keeps the rest.
    DocumentPtr again(IniOpen(u"\\a.ini"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Dump(again->table), "__default=|__default#top=1|Empty=|S=|S#y=2|S#n=-7|T=|T#z=3");
}

// IniGetString / IniGetInt on present and absent items: result, and what the buffer holds after
// (the number's text rules are ParseIntTest's).
struct GetCase {
    const char* name;
    const char16_t* section;
    const char16_t* key;
    int32_t stringResult;
    std::u16string stringAfter;  // buffer preset to u"untouched"
    int32_t intResult;
    int32_t intAfter;  // preset to 99
};
class GetterTest : public DocumentTest, public ::testing::WithParamInterface<GetCase> {};

TEST_P(GetterTest, ResultAndBufferFollowTheContract) {
    DocumentPtr doc = OpenWith(u"\\g.ini", u"top=12\n[Config]\nSoftwareVersion=3.1\n");
    ASSERT_NE(doc, nullptr);
    const GetCase& c = GetParam();
    char16_t buffer[kIniFieldUnits] = u"untouched";
    EXPECT_EQ(IniGetString(doc.get(), c.section, c.key, buffer), c.stringResult);
    EXPECT_EQ(std::u16string(buffer), c.stringAfter);
    int32_t number = 99;
    EXPECT_EQ(IniGetInt(doc.get(), c.section, c.key, &number), c.intResult);
    EXPECT_EQ(number, c.intAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Items, GetterTest,
    ::testing::Values(
        GetCase{"string", u"Config", u"SoftwareVersion", 0, u"3.1", 0, 3},
        GetCase{"absent_key", u"Config", u"Nope", -1, u"untouched", -1, 99},
        GetCase{"absent_section", u"Other", u"SoftwareVersion", -1, u"untouched", -1, 99},
        GetCase{"case_differs", u"config", u"SoftwareVersion", -1, u"untouched", -1, 99},
        GetCase{"default_section", nullptr, u"top", 0, u"12", 0, 12},
        GetCase{"section_entry", u"Config", nullptr, 0, u"", 0, 0},
        GetCase{"absent_section_entry", u"Other", nullptr, -1, u"untouched", -1, 99}),
    [](const auto& info) { return std::string(info.param.name); });

// A missing file opens no document (the files the loader refuses are RefusedFileTest's), nor
// does an existing file whose device path is 260 units long: keeping 259 of them would make
// IniSave write to a different file.
TEST_F(DocumentTest, PathMissingOrLongerThanItsFieldOpensNothing) {
    EXPECT_EQ(IniOpen(u"\\missing.ini"), nullptr);
    const std::u16string dir = u"\\" + std::u16string(200, u'd');
    std::filesystem::create_directories(Host(dir.c_str()));
    std::u16string path = dir + u"\\" + std::u16string(260 - dir.size() - 1, u'f');
    ASSERT_EQ(path.size(), 260u);
    WriteFile(path.c_str(), Utf16Le(u"a=1\n"));
    EXPECT_EQ(IniOpen(path.c_str()), nullptr);
    path.pop_back();
    WriteFile(path.c_str(), Utf16Le(u"a=1\n"));
    DocumentPtr ok(IniOpen(path.c_str()));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(std::u16string(ok->path), path);
}

TEST_F(DocumentTest, SaveToUnwritablePathWritesNothing) {
    DocumentPtr doc = OpenWith(u"\\s.ini", u"a=1\n");
    ASSERT_NE(doc, nullptr);
    std::u16string dir = u"\\no\\such\\dir\\s.ini";
    std::copy(dir.begin(), dir.end(), doc->path);
    doc->path[dir.size()] = 0;
    IniSave(doc.get());
    EXPECT_FALSE(std::filesystem::exists(root_ + "/no"));
}

// The save goes through the safe replace (its faults are the platform tests'): a failed write
// leaves the old file.
TEST_F(DocumentTest, FailedWriteKeepsTheOldFile) {
    DocumentPtr doc = OpenWith(u"\\w.ini", u"a=1\n");
    ASSERT_NE(doc, nullptr);
    IniSetString(doc.get(), nullptr, u"a", u"2");
    platform::fault::Arm(0, 1);
    IniSave(doc.get());
    platform::fault::Arm(0, 0);
    EXPECT_EQ(ReadFile(u"\\w.ini"), Utf16Le(u"a=1\n"));
}

}  // namespace
