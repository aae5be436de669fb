#include "package/extract_progress.h"

PackageProgress PlainProgress::progress() {
    if (proc_ == nullptr) {
        return {};
    }
    return {&Report, this};
}

void PlainProgress::Report(void* context, uint64_t totalBytes, uint64_t doneBytes,
                           const char16_t* name, uint64_t entryBytes, uint64_t entryDoneBytes,
                           bool firstBlock) {
    auto word = [](uint64_t value, int shift) { return static_cast<uint32_t>(value >> shift); };
    static_cast<const PlainProgress*>(context)->proc_(
        word(totalBytes, 0), word(totalBytes, 32), word(doneBytes, 0), word(doneBytes, 32), name,
        word(entryBytes, 0), word(entryBytes, 32), word(entryDoneBytes, 0),
        word(entryDoneBytes, 32), firstBlock ? 1 : 0);
}
