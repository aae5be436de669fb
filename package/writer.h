// PackageWriter: makes a package from a list of (stored name, source file) items.
//
// The package is laid out front to back as: for every item a local record and the item's data
// blocks, then the directory, the END record, the comment and the comment's length. File contents
// are cut into blocks of 16,384 bytes; every block is one complete zlib stream from compress2.
// Blocks are compressed on several threads but written strictly in order, so the bytes of the
// package do not depend on the number of jobs.
//
// The package is written to a temporary file next to the output and renamed over the output only
// when everything succeeded; on failure the temporary file is removed and an existing output is
// left untouched.
//
// Results: Write returns 0 for success and -1 for failure; Error() then says what went wrong and
// ErrorItem() which item it concerns. Nothing throws across this interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One entry to store. A directory has an empty `source`; its name should end with `\`.
struct PackItem {
    // Stored name: narrow text, levels separated by `\`, accepted by the name rule (name_rules.h;
    // leading `\`s are kept as given) and by the extraction plan.
    std::string name;
    std::u16string source;  // device path of the file whose contents are stored
};

struct PackOptions {
    std::string comment = "\\SDMMC\\";  // the default target directory of an extraction
    int level = 6;                      // zlib level 0-9
    unsigned jobs = 0;  // compression threads; 0 = one per hardware thread; at most 64
    // Called on the writing thread after each block with the source bytes read so far.
    std::function<void(uint64_t bytesRead)> progress;
    // The device folder the names are unpacked into, whose length counts toward the device's path
    // limit (PlanOptions::limitFolder); null: the names alone.
    const char16_t* limitFolder = nullptr;
    // Asked about the complete package (its device path) before it replaces the output: an answer
    // other than "" refuses it, with that answer as the error. Null: nothing is asked.
    std::function<std::string(const char16_t* package)> accept;

    // The format's limits. Tests lower them to reach the refusals with small inputs.
    uint32_t maxEntries = 65535;
    uint64_t maxPackageBytes = 0x7FFFFFFFu;  // the package must stay below 2 GiB
    uint64_t maxFileBytes = 0xFFFFFFFFu;     // an entry's size is a 32-bit sum
};

class PackageWriter {
  public:
    // ErrorItem() when the failure does not concern one item (the comment, the output file).
    static constexpr int64_t kNoItem = -1;

    explicit PackageWriter(PackOptions options = {});

    // Writes `items`, in the order given, into the package `output` (a device path).
    int32_t Write(const std::vector<PackItem>& items, const char16_t* output);

    const std::string& Error() const { return error_; }
    int64_t ErrorItem() const { return errorItem_; }

    // Figures of the last successful Write.
    uint64_t PackageBytes() const { return packageBytes_; }
    uint64_t SourceBytes() const { return sourceBytes_; }

  private:
    int32_t Fail(int64_t item, std::string message);
    int32_t CheckItems(const std::vector<PackItem>& items);

    PackOptions options_;
    std::string error_;
    int64_t errorItem_ = kNoItem;
    uint64_t packageBytes_ = 0;
    uint64_t sourceBytes_ = 0;
};
