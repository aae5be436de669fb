// The document: open, typed getters, setters, the saved bytes and save/load round trips.
#include "ini/ini_document.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
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
    std::filesystem::create_directories(root_ / "ResidentFlash2" / "VORIZ");
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

// A file the loader refuses opens no document (the refused files are RefusedFileTest's).
TEST_F(DocumentTest, MissingFileAndNoDocumentFail) {
    EXPECT_EQ(IniOpen(u"\\missing.ini"), nullptr);
    EXPECT_EQ(IniOpen(nullptr), nullptr);
    // Without a document every call fails or does nothing.
    char16_t buffer[kIniFieldUnits] = u"x";
    int32_t number = 5;
    EXPECT_EQ(IniGetString(nullptr, u"S", u"k", buffer), -1);
    EXPECT_EQ(IniGetInt(nullptr, u"S", u"k", &number), -1);
    EXPECT_EQ(number, 5);
    EXPECT_EQ(IniSetString(nullptr, u"S", u"k", u"v"), -1);
    EXPECT_EQ(IniSetInt(nullptr, u"S", u"k", 1), -1);
    EXPECT_EQ(IniSectionCount(nullptr), 0);
    EXPECT_EQ(IniSectionName(nullptr, 0), nullptr);
    EXPECT_EQ(IniKeyCount(nullptr, u"S"), 0);
    EXPECT_EQ(IniKeyName(nullptr, u"S", 0), nullptr);
    IniSave(nullptr);
    IniClose(nullptr);
}

TEST_F(DocumentTest, PathLongerThanItsFieldIsRefusedNotCut) {
    // An existing file whose device path is 260 units long: keeping 259 of them would make
    // IniSave write to a different file.
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
    EXPECT_FALSE(std::filesystem::exists(root_ / "no"));
}

TEST_F(DocumentTest, FailedWriteKeepsTheOldFile) {
    DocumentPtr doc = OpenWith(u"\\w.ini", u"a=1\n");
    ASSERT_NE(doc, nullptr);
    IniSetString(doc.get(), nullptr, u"a", u"2");
    platform::fault::Arm(0, 1);
    IniSave(doc.get());
    platform::fault::Arm(0, 0);
    DocumentPtr reread(IniOpen(u"\\w.ini"));
    ASSERT_NE(reread, nullptr) << "a failed save must not destroy the file";
    char16_t value[256] = {};
    EXPECT_EQ(IniGetString(reread.get(), nullptr, u"a", value), 0);
    EXPECT_EQ(std::u16string(value), u"1");
    EXPECT_FALSE(std::filesystem::exists(root_ / "w.ini~"));
    IniSave(doc.get());
    reread.reset(IniOpen(u"\\w.ini"));
    EXPECT_EQ(IniGetString(reread.get(), nullptr, u"a", value), 0);
    EXPECT_EQ(std::u16string(value), u"2");
}

// Random documents whose values survive the saved form (no empty value, no ';' or '#', no white
// space at the ends, no leading quote) read back with the same sections, keys and values.
std::u16string RandomName(std::mt19937& rng, const std::u16string& alphabet, std::size_t max) {
    std::u16string s;
    const std::size_t n = 1 + rng() % max;
    for (std::size_t i = 0; i < n; ++i) {
        s += alphabet[rng() % alphabet.size()];
    }
    return s;
}

TEST_F(DocumentTest, SaveThenLoadRoundTripsRandomDocuments) {
    std::mt19937 rng(7);
    const std::u16string nameChars = u"abcXYZ019_.-\u00e9\u4e2d";
    const std::u16string valueChars = u"abc 019.,:/\\\"'=[]\u00e9\u4e2d\U0001F600";
    for (int round = 0; round < 30; ++round) {
        DocumentPtr doc = OpenWith(u"\\r.ini", u"");
        ASSERT_NE(doc, nullptr);
        const int sections = 1 + static_cast<int>(rng() % 6);
        for (int s = 0; s < sections; ++s) {
            const std::u16string section =
                s == 0 ? std::u16string(kIniDefaultSection) : RandomName(rng, nameChars, 12);
            const int keys = static_cast<int>(rng() % 12);
            for (int k = 0; k < keys; ++k) {
                std::u16string value = RandomName(rng, valueChars, 40);
                value = u"v" + value + u"v";  // no space or quote at the ends
                IniSetString(doc.get(), section.c_str(), RandomName(rng, nameChars, 16).c_str(),
                             value.c_str());
            }
            if (rng() % 4 == 0) {
                IniTableRemoveKey(doc->table, section.c_str(),
                                  IniKeyName(doc.get(), section.c_str(), 0));
            }
        }
        IniSave(doc.get());
        DocumentPtr again(IniOpen(u"\\r.ini"));
        ASSERT_NE(again, nullptr);
        // Holes left by removals close up on reload, so compare enumerations, not slots.
        ASSERT_EQ(IniSectionCount(again.get()), IniSectionCount(doc.get())) << "round " << round;
        for (int32_t s = 0; s < IniSectionCount(doc.get()); ++s) {
            const char16_t* name = IniSectionName(doc.get(), s);
            ASSERT_EQ(std::u16string(IniSectionName(again.get(), s)), name);
            ASSERT_EQ(IniKeyCount(again.get(), name), IniKeyCount(doc.get(), name));
            for (int32_t k = 0; k < IniKeyCount(doc.get(), name); ++k) {
                const char16_t* key = IniKeyName(doc.get(), name, k);
                ASSERT_EQ(std::u16string(IniKeyName(again.get(), name, k)), key);
                char16_t a[kIniFieldUnits];
                char16_t b[kIniFieldUnits];
                ASSERT_EQ(IniGetString(doc.get(), name, key, a), 0);
                ASSERT_EQ(IniGetString(again.get(), name, key, b), 0);
                ASSERT_EQ(std::u16string(a), std::u16string(b));
            }
        }
    }
}

}  // namespace
