// Win32 side of the dialog framework: modal dialogs from the program's resource templates, run by
// DialogBoxParamW. The dialog procedure is a thunk: WM_INITDIALOG brings the Dialog object as its
// parameter, the procedure stores it in the window (DWLP_USER) and forwards every later message
// to the object's virtual handlers.
//
// Calls used here that the device's embedded Windows spells differently (docs/porting.md):
// SetWindowLongPtrW / GetWindowLongPtrW with DWLP_USER and DWLP_MSGRESULT (the device has the
// 32-bit SetWindowLongW / GetWindowLongW with DWL_USER and DWL_MSGRESULT).
#include <windows.h>
// windows.h first: commctrl.h needs its types.
#include <commctrl.h>

#include <string>

#include "platform/ui.h"
#include "platform/win32/wide.h"

namespace platform {

static_assert(kMsgInitDialog == WM_INITDIALOG && kMsgCommand == WM_COMMAND &&
              kMsgSysCommand == WM_SYSCOMMAND && kMsgTimer == WM_TIMER &&
              kMsgQueryDragIcon == WM_QUERYDRAGICON && kMsgUser == WM_USER);
static_assert(kMsgProgressSetRange == PBM_SETRANGE && kMsgProgressSetPos == PBM_SETPOS);
static_assert(kIdOk == IDOK && kIdCancel == IDCANCEL);
static_assert(kMbOk == MB_OK && kMbIconStop == MB_ICONSTOP &&
              kMbIconExclamation == MB_ICONEXCLAMATION && kMbSetForeground == MB_SETFOREGROUND);

namespace {

Application* g_application = nullptr;

HWND ToHwnd(WindowHandle handle) {
    return static_cast<HWND>(handle);
}

// Messages whose dialog-procedure result is the message's own result rather than a flag.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
            return true;
        default:
            return false;
    }
}

}  // namespace

// The dialog procedure shared by every Dialog; a friend of Dialog.
struct DialogAccess {
    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) {
            Dialog* dialog = reinterpret_cast<Dialog*>(lParam);
            ::SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(dialog));
            dialog->handle_ = window;
            return dialog->OnInitDialog() ? TRUE : FALSE;
        }
        Dialog* dialog = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(window, DWLP_USER));
        if (dialog == nullptr) {
            return FALSE;  // messages before WM_INITDIALOG: default handling
        }
        switch (message) {
            case WM_COMMAND: {
                const int id = LOWORD(wParam);
                if (id == IDOK) {
                    dialog->OnOK();
                    return TRUE;
                }
                if (id == IDCANCEL) {
                    dialog->OnCancel();
                    return TRUE;
                }
                if (HIWORD(wParam) == BN_CLICKED) {
                    dialog->OnCommand(id);
                    return TRUE;
                }
                break;
            }
            case WM_TIMER:
                dialog->OnTimer(static_cast<uintptr_t>(wParam));
                return FALSE;  // the default handling of a timer message does nothing more
            case WM_NCDESTROY:
                dialog->handle_ = nullptr;
                ::SetWindowLongPtrW(window, DWLP_USER, 0);
                return FALSE;
            default:
                break;
        }
        intptr_t result = 0;
        if (!dialog->OnMessage(message, static_cast<uintptr_t>(wParam),
                               static_cast<intptr_t>(lParam), result)) {
            return FALSE;
        }
        if (ReturnsResultDirectly(message)) {
            return static_cast<INT_PTR>(result);
        }
        ::SetWindowLongPtrW(window, DWLP_MSGRESULT, static_cast<LONG_PTR>(result));
        return TRUE;
    }
};

Dialog::Dialog(int templateId, Dialog* parent) : templateId_(templateId), parent_(parent) {}

Dialog::~Dialog() = default;

intptr_t Dialog::DoModal() {
    HWND owner = parent_ != nullptr ? ToHwnd(parent_->handle_) : nullptr;
    return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), owner,
                             &DialogAccess::Procedure, reinterpret_cast<LPARAM>(this));
}

void Dialog::EndDialog(intptr_t result) {
    ::EndDialog(ToHwnd(handle_), result);
}

WindowHandle Dialog::ItemHandle(int controlId) const {
    return ::GetDlgItem(ToHwnd(handle_), controlId);
}

void Dialog::SetTopmost() {
    ::SetWindowPos(ToHwnd(handle_), HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void Dialog::SetIcon(IconHandle icon, bool bigIcon) {
    ::SendMessageW(ToHwnd(handle_), WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL,
                   reinterpret_cast<LPARAM>(icon));
}

void Dialog::CenterOnDesktop() {
    RECT window;
    RECT desktop;
    if (!::GetWindowRect(ToHwnd(handle_), &window) ||
        !::GetWindowRect(::GetDesktopWindow(), &desktop)) {
        return;
    }
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    LONG x = desktop.left + (desktop.right - desktop.left - width) / 2;
    LONG y = desktop.top + (desktop.bottom - desktop.top - height) / 2;
    if (x < desktop.left)
        x = desktop.left;  // a dialog larger than the screen keeps its top left
    if (y < desktop.top)
        y = desktop.top;
    ::SetWindowPos(ToHwnd(handle_), nullptr, x, y, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Dialog::SetItemText(int controlId, const char16_t* text) {
    ::SetDlgItemTextW(ToHwnd(handle_), controlId, win32::Wide(text));
}

bool Dialog::SetTimer(uintptr_t timerId, uint32_t milliseconds) {
    return ::SetTimer(ToHwnd(handle_), timerId, milliseconds, nullptr) != 0;
}

bool Dialog::KillTimer(uintptr_t timerId) {
    return ::KillTimer(ToHwnd(handle_), timerId) != 0;
}

int Dialog::ShowMessageBox(const char16_t* text, const char16_t* caption, uint32_t type) {
    return ::MessageBoxW(ToHwnd(handle_), win32::Wide(text), win32::Wide(caption), type);
}

Application::Application() {
    g_application = this;
}

Application::~Application() {
    if (g_application == this) {
        g_application = nullptr;
    }
}

Application* Application::Current() {
    return g_application;
}

const char16_t* Application::Title() const {
    static const std::u16string title = [] {
        wchar_t path[MAX_PATH] = {};
        const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::u16string name(win32::Utf16(path), n < MAX_PATH ? n : 0);
        const std::size_t slash = name.find_last_of(u"\\/:");
        if (slash != std::u16string::npos) {
            name.erase(0, slash + 1);
        }
        const std::size_t dot = name.find_last_of(u'.');
        if (dot != std::u16string::npos && dot > 0) {
            name.erase(dot);
        }
        return name;
    }();
    return title.c_str();
}

intptr_t SendMessageTo(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return ::SendMessageW(ToHwnd(window), message, wParam, lParam);
}

bool PostMessageTo(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return ::PostMessageW(ToHwnd(window), message, wParam, lParam) != 0;
}

int StandardMessageBox(const char16_t* text, uint32_t type) {
    Application* app = Application::Current();
    HWND owner = nullptr;
    if (app != nullptr && app->MainWindow() != nullptr) {
        owner = ToHwnd(app->MainWindow()->Handle());
    }
    const char16_t* caption = app != nullptr ? app->Title() : u"";
    return ::MessageBoxW(owner, win32::Wide(text), win32::Wide(caption), type | MB_SETFOREGROUND);
}

void ShowBusy(int percent) {
    static bool busy = false;
    static HCURSOR before = nullptr;
    if (percent >= 0 && !busy) {
        // IDC_WAIT in its wide form: the build does not define UNICODE, the device's headers do.
        before = ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));
        busy = true;
    } else if (percent < 0 && busy) {
        ::SetCursor(before);
        busy = false;
    }
}

IconHandle LoadAppIcon(int resourceId) {
    return ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId));
}

// The templates come from the program's resources.
void RegisterDialogTemplates(const DialogTemplate*, std::size_t) {}

}  // namespace platform
