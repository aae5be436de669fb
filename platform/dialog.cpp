// The parts of the dialog framework that are the same on every platform: the controls' requests
// and the framework's default handlers. Both implementations provide SendMessageTo,
// PostMessageTo, ItemHandle and EndDialog.
#include "platform/ui.h"

namespace platform {

void ProgressBar::SetRange(int low, int high) {
    // MAKELPARAM(low, high)
    const auto packed =
        static_cast<uint32_t>(low & 0xFFFF) | (static_cast<uint32_t>(high & 0xFFFF) << 16);
    SendMessageTo(handle_, kMsgProgressSetRange, 0, static_cast<intptr_t>(packed));
}

void ProgressBar::SetPos(int position) {
    SendMessageTo(handle_, kMsgProgressSetPos,
                  static_cast<uintptr_t>(static_cast<intptr_t>(position)), 0);
}

void DataExchange::Control(int controlId, ProgressBar& bar) {
    bar.handle_ = dialog_.ItemHandle(controlId);
}

bool Dialog::Post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageTo(handle_, message, wParam, lParam);
}

bool Dialog::OnInitDialog() {
    DataExchange exchange(*this);
    DoDataExchange(exchange);
    return true;
}

void Dialog::DoDataExchange(DataExchange&) {}

void Dialog::OnOK() {
    EndDialog(kIdOk);
}

void Dialog::OnCancel() {
    EndDialog(kIdCancel);
}

void Dialog::OnCommand(int) {}

void Dialog::OnTimer(uintptr_t) {}

bool Dialog::OnMessage(uint32_t, uintptr_t, intptr_t, intptr_t&) {
    return false;
}

}  // namespace platform
