// The code pages of stored names on POSIX, converted through iconv (UTF-8 without it), with the
// counting rules of the Windows conversion calls.
#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"

namespace platform {

namespace {

// The counting rules of MultiByteToWideChar / WideCharToMultiByte around `convert`: a source
// length of -1 takes the terminator along; capacity 0 asks for the size; too small a
// destination, or a source that converts to nothing, gives 0.
template <typename From, typename To, typename Convert>
int ConvertCounted(const From* src, int srcLength, To* dst, int dstCapacity, Convert convert) {
    if (src == nullptr || srcLength < -1 || dstCapacity < 0) {
        return 0;
    }
    const std::size_t n = srcLength == -1 ? std::char_traits<From>::length(src) + 1
                                          : static_cast<std::size_t>(srcLength);
    const std::basic_string<To> converted = convert(std::basic_string_view<From>(src, n));
    if (converted.empty()) {
        return 0;
    }
    if (dstCapacity == 0) {
        return static_cast<int>(converted.size());
    }
    if (dst == nullptr || converted.size() > static_cast<std::size_t>(dstCapacity)) {
        return 0;
    }
    std::memcpy(dst, converted.data(), converted.size() * sizeof(To));
    return static_cast<int>(converted.size());
}

// iconv's name of a code page.
std::string IconvName(uint32_t codePage) {
    return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage);
}

// char16_t text in this machine's byte order.
constexpr const char* kIconvUtf16 =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

uint32_t BoundCodePage() {
    const FileSystem* files = BoundFiles();
    return files != nullptr ? files->CodePage() : kDefaultCodePage;
}

// One conversion through iconv. A sequence iconv refuses (an undefined byte, a character the
// target cannot hold, a cut sequence at the end) fails the whole conversion when `replacement`
// is empty; otherwise `replacement` stands for it and the conversion goes on after `skip` bytes.
template <typename To>
bool Iconv(const char* to, const char* from, const char* in, std::size_t inBytes,
           std::basic_string<To>& out, std::basic_string_view<To> replacement, std::size_t skip) {
    out.clear();
    const iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    char* source = const_cast<char*>(in);
    std::size_t left = inBytes;
    bool ok = true;
    std::vector<char> buffer(256);
    // A converter may hold a character back (CP1258 waits for a combining mark after a letter):
    // this takes what it holds and returns it to its initial state.
    const auto flush = [&] {
        char* target = buffer.data();
        std::size_t room = buffer.size();
        if (iconv(cd, nullptr, nullptr, &target, &room) != static_cast<std::size_t>(-1)) {
            out.append(reinterpret_cast<const To*>(buffer.data()),
                       static_cast<std::size_t>(target - buffer.data()) / sizeof(To));
        }
    };
    while (left > 0) {
        char* target = buffer.data();
        std::size_t room = buffer.size();
        const std::size_t done = iconv(cd, &source, &left, &target, &room);
        const int code = errno;
        out.append(reinterpret_cast<const To*>(buffer.data()),
                   static_cast<std::size_t>(target - buffer.data()) / sizeof(To));
        if (done != static_cast<std::size_t>(-1)) {
            break;
        }
        if (code == E2BIG) {
            continue;
        }
        if (replacement.empty()) {
            ok = false;
            break;
        }
        flush();
        out += replacement;
        const std::size_t step = std::min(skip, left);
        source += step;
        left -= step;
    }
    if (ok) {
        flush();
    }
    iconv_close(cd);
    return ok;
}

std::u16string NarrowToUtf16(std::string_view text) {
    const uint32_t codePage = BoundCodePage();
    if (codePage == 65001) {
        return Utf8ToUtf16(text);
    }
    std::u16string out;
    Iconv<char16_t>(kIconvUtf16, IconvName(codePage).c_str(), text.data(), text.size(), out,
                    u"\uFFFD", 1);
    return out;
}

std::string Utf16ToNarrow(std::u16string_view text) {
    const uint32_t codePage = BoundCodePage();
    if (codePage == 65001) {
        return Utf16ToUtf8(text);
    }
    std::string out;
    Iconv<char>(IconvName(codePage).c_str(), kIconvUtf16,
                reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t), out,
                "?", sizeof(char16_t));
    return out;
}

}  // namespace

bool CodePageAvailable(uint32_t codePage) {
    if (codePage == kSystemCodePage) {
        return false;
    }
    if (codePage == 65001) {
        return true;
    }
    const iconv_t cd = iconv_open(kIconvUtf16, IconvName(codePage).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    iconv_close(cd);
    return true;
}

// UTF-16 without an unpaired surrogate: text that UTF-8 holds exactly.
bool IsWholeUtf16(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
        } else if (text[i] >= 0xD800 && text[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool EncodeStrictly(std::u16string_view text, std::string& narrow) {
    // The default code page converts without iconv, which a system may lack the modules of.
    if (BoundCodePage() == 65001) {
        narrow = Utf16ToUtf8(text);
        return IsWholeUtf16(text);
    }
    return Iconv<char>(IconvName(BoundCodePage()).c_str(), kIconvUtf16,
                       reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t),
                       narrow, {}, 0);
}

bool FromCodePage(std::string_view narrow, std::u16string& text) {
    if (BoundCodePage() == 65001) {
        // ASCII, most names, is the same text: widened into `text` without a second string.
        if (std::all_of(narrow.begin(), narrow.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
            text.assign(narrow.begin(), narrow.end());
            return true;
        }
        text = Utf8ToUtf16(narrow);
        return IsUtf8(narrow);
    }
    return Iconv<char16_t>(kIconvUtf16, IconvName(BoundCodePage()).c_str(), narrow.data(),
                           narrow.size(), text, {}, 0);
}

int MultiByteToWide(const char* src, int srcLength, char16_t* dst, int dstCapacity) {
    return ConvertCounted(src, srcLength, dst, dstCapacity, NarrowToUtf16);
}

int WideToMultiByte(const char16_t* src, int srcLength, char* dst, int dstCapacity) {
    return ConvertCounted(src, srcLength, dst, dstCapacity, Utf16ToNarrow);
}

}  // namespace platform
