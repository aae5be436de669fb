// The end of the update: the handler of WM_DECODE_DONE.
#include <cstdio>
#include <vector>

#include "app/update_dlg.h"
#include "package/install_plan.h"
#include "package/layout.h"
#include "platform/file.h"

namespace {

constexpr const char16_t* kLogoSource = u"\\SDMMC\\PowerOffLogo.bmp";
constexpr const char16_t* kLogoTarget = u"\\Residentflash2\\PowerOffLogo.bmp";
constexpr uint32_t kDelayBeforeRestartMs = 3000;
// How long the program waits after the restart request has returned before it ends by itself.
// The device's restart normally ends the program well within this time.
constexpr uint32_t kRestartGraceMs = 60000;

using RebootMachineProc = int32_t (*)(int32_t);

// Copies `from` to a new file `to` and makes it durable; false on any failure.
bool CopyWhole(const char16_t* from, const char16_t* to) {
    std::FILE* in = platform::OpenStream(from, u"rb");
    if (in == nullptr) {
        return false;
    }
    std::FILE* out = platform::OpenStream(to, u"wb");
    bool ok = out != nullptr;
    std::vector<unsigned char> buffer(64 * 1024);
    while (ok) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got > 0 && platform::WriteStream(out, buffer.data(), got) != got) {
            ok = false;
        }
        if (got < buffer.size()) {
            ok = ok && std::ferror(in) == 0;
            break;
        }
    }
    ok = ok && platform::CommitStream(out);
    if (out != nullptr && std::fclose(out) != 0) {
        ok = false;
    }
    std::fclose(in);
    return ok;
}

}  // namespace

intptr_t CUpdateDlg::OnDecodeDone(uintptr_t wParam, intptr_t) {
    m_decodeRunning = false;
    if (wParam != 0) {
        m_package = nullptr;  // the successful extraction closed it
    }
    // A failed extraction ends here: the flash volume keeps what was written; no logo copy, no
    // restart.
    if (Proceed(m_extraction)) {
        Proceed(CopyPowerOffLogo());
        ShowMessageBox(u"Please remove SDMMC card.\nClick OK to restart!", u"Setup Completely",
                       platform::kMbOk);
        platform::Sleep(kDelayBeforeRestartMs);
        Proceed(RequestRestart());
    }
    EndRun(m_stop);
}

// The card's logo replaces whatever logo the package brought, like any replaced file: a complete
// copy is written beside it and committed to the disk, then renamed over it. A failed or cut
// copy so leaves the old logo (or none), never a truncated one. A failed copy is not shown.
app::StepOutcome CUpdateDlg::CopyPowerOffLogo() {
    if (platform::GetAttributes(kLogoSource) == platform::kInvalidFileAttributes) {
        return app::Done(app::Step::kLogo, "none on the card");
    }
    char16_t scratch[kPackagePathCapacity];
    if (!PlanScratchPath(kLogoTarget, scratch)) {
        return app::Done(app::Step::kLogo, "not copied: no room for the path");
    }
    if (!CopyWhole(kLogoSource, scratch) || !platform::RenameReplacing(scratch, kLogoTarget)) {
        const std::string reason = platform::LastFileError();
        platform::RemoveFile(scratch);
        return app::Done(app::Step::kLogo, "not copied: " + reason);
    }
    return app::Done(app::Step::kLogo, "copied to \\ResidentFlash2");
}

// Requests the restart from the vendor's system library. The update is complete here, so when
// the restart cannot be requested the program must not stay around forever:
//  - library missing: nothing is shown and the program ends with status 0;
//  - export missing: the standard box says so, then the program ends with status 0;
//  - the request returns: the device restarts asynchronously, so the program waits a bounded
//    time (kRestartGraceMs, scaled on the host) without handling messages, then ends with 0.
// The outcome always stops the run: the program ends after it.
app::StepOutcome CUpdateDlg::RequestRestart() {
    platform::LibraryHandle library = platform::LoadLibraryByName(u"velmorin.dll");
    if (library == nullptr) {
        return app::Stop(app::Step::kRestart, app::Ending::kSilent, "velmorin.dll not found");
    }
    void* symbol = platform::FindExport(library, "KVRebootMachine");
    if (symbol == nullptr) {
        return app::Stop(app::Step::kRestart, app::Ending::kMissingExport,
                         "no KVRebootMachine in velmorin.dll");
    }
    // Logged before the request: the device may restart before the call returns.
    m_log.Add(app::Done(app::Step::kRestart, "requested"));
    const auto reboot = reinterpret_cast<RebootMachineProc>(symbol);
    reboot(1);
    platform::Sleep(kRestartGraceMs);
    return app::Stop(app::Step::kRestart, app::Ending::kSilent, "the device did not restart");
}
