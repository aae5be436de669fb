// The decode thread: extracts the package onto the flash volume while the dialog's thread runs
// the modal loop. Its only traffic with the dialog is one synchronous progress request per data
// block and one posted WM_DECODE_DONE at the end, after it has stored its outcome.
#include "app/device_paths.h"
#include "app/update_dlg.h"
#include "package/extract_progress.h"
#include "platform/file.h"

uint32_t ProgressPosition(uint64_t total, uint64_t done) {
    if (total == 0) {
        return 0;
    }
    if (done >= total) {
        return 100;
    }
    if (done <= UINT64_MAX / 100) {
        return static_cast<uint32_t>(done * 100 / total);
    }
    // Counters beyond 2^57 bytes (no package comes near: the format stays below 2 GiB): the
    // product would overflow, so divide by a hundredth of the total instead, which may be one
    // percent high; the bar still stays below 100 until the end.
    const uint64_t position = done / (total / 100);
    return static_cast<uint32_t>(position < 99 ? position : 99);
}

void ExtractProgress(void* dialog, uint64_t totalBytes, uint64_t doneBytes, const char16_t*,
                     uint64_t, uint64_t, bool) {
    const uint32_t position = ProgressPosition(totalBytes, doneBytes);
    // Sent, not posted: the bar is current before the next block is read.
    platform::SendMessageTo(static_cast<CUpdateDlg*>(dialog)->m_hProgressBar,
                            platform::kMsgProgressSetPos, position, 0);
}

uint32_t DecodeThreadProc(void* parameter) {
    auto* dialog = static_cast<CUpdateDlg*>(parameter);
    const uint32_t count = static_cast<uint32_t>(dialog->m_installOrder.size());
    const bool extracted =
        PackageExtractWith(dialog->m_package, dialog->m_installOrder.data(), count,
                           app::kFlashVolume, {&ExtractProgress, dialog}, 1) != 0;
    if (extracted) {
        dialog->m_extraction =
            app::Done(app::Step::kExtraction, std::to_string(count) + " entries written");
    } else {
        const std::string systemError = platform::LastFileError();
        PackageProblem problem{};
        PackageLastProblem(dialog->m_package, &problem);
        dialog->m_extraction =
            dialog->ProblemOutcome(app::Step::kExtraction, app::Ending::kExtractionFailed, problem);
        dialog->m_extraction.systemError = systemError;
    }
    platform::PostMessageTo(dialog->Handle(), WM_DECODE_DONE, extracted ? 1 : 0, 0);
    return 0;
}
