// The decode thread: extracts the package onto the flash volume while the dialog's thread runs
// the modal loop. Its only traffic with the dialog is one synchronous progress request per data
// block and one posted WM_DECODE_DONE at the end.
#include "app/device_paths.h"
#include "app/update_dlg.h"

uint32_t ProgressPosition(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow,
                          uint32_t doneHigh) {
    const uint64_t total = (static_cast<uint64_t>(totalHigh) << 32) | totalLow;
    const uint64_t done = (static_cast<uint64_t>(doneHigh) << 32) | doneLow;
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

void ExtractProgress(uint32_t totalLow, uint32_t totalHigh, uint32_t doneLow, uint32_t doneHigh,
                     const char16_t*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    platform::Application* application = platform::Application::Current();
    auto* dialog = static_cast<CUpdateDlg*>(application->MainWindow());
    const uint32_t position = ProgressPosition(totalLow, totalHigh, doneLow, doneHigh);
    // Sent, not posted: the bar is current before the next block is read.
    platform::SendMessageTo(dialog->m_hProgressBar, platform::kMsgProgressSetPos, position, 0);
}

uint32_t DecodeThreadProc(void* parameter) {
    auto* dialog = static_cast<CUpdateDlg*>(parameter);
    const int32_t result = PackageExtract(dialog->m_package, dialog->m_installOrder.data(),
                                          static_cast<uint32_t>(dialog->m_installOrder.size()),
                                          app::kFlashVolume, ExtractProgress, 1);
    platform::PostMessageTo(dialog->Handle(), WM_DECODE_DONE, result != 0 ? 1 : 0, 0);
    return 0;
}
