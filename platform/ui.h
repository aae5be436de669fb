// The dialog framework of the platform layer: an application object, modal dialogs built from
// resource templates, a message map, timers, a progress-bar control, message boxes, and posting
// and sending messages between threads.
//
// The contract is the Win32 one, so the Win32 implementation is a thin thunk over DialogBoxParamW
// and friends: message numbers and results below carry their Win32 values. The POSIX
// implementation runs the same contract on a message queue of its own and shows the dialogs
// through a presenter (terminal or headless), so the installer runs unchanged on a host.
//
// Threads: a dialog and its controls belong to the thread that runs DoModal. Another thread
// reaches them only through PostMessageTo (returns at once) and SendMessageTo (waits until the
// owning thread, inside its modal loop, has handled the message and returns its result).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using WindowHandle = void*;  // HWND on Win32
using IconHandle = void*;    // HICON on Win32

// Message numbers.
inline constexpr uint32_t kMsgInitDialog = 0x0110;     // WM_INITDIALOG
inline constexpr uint32_t kMsgCommand = 0x0111;        // WM_COMMAND
inline constexpr uint32_t kMsgSysCommand = 0x0112;     // WM_SYSCOMMAND
inline constexpr uint32_t kMsgTimer = 0x0113;          // WM_TIMER
inline constexpr uint32_t kMsgQueryDragIcon = 0x0037;  // WM_QUERYDRAGICON
inline constexpr uint32_t kMsgUser = 0x0400;           // WM_USER: first private message
inline constexpr uint32_t kMsgProgressSetRange =
    0x0401;                                             // PBM_SETRANGE: lParam = MAKELPARAM(lo, hi)
inline constexpr uint32_t kMsgProgressSetPos = 0x0402;  // PBM_SETPOS: wParam = position

// Dialog results and standard command ids.
inline constexpr intptr_t kIdOk = 1;
inline constexpr intptr_t kIdCancel = 2;

// Message-box type bits.
inline constexpr uint32_t kMbOk = 0x00000000;
inline constexpr uint32_t kMbIconStop = 0x00000010;  // MB_ICONHAND / MB_ICONERROR
inline constexpr uint32_t kMbIconExclamation = 0x00000030;
inline constexpr uint32_t kMbSetForeground = 0x00010000;

class Dialog;

// A progress-bar control of a dialog, bound by DataExchange::Control. Range and position are
// changed with messages, so another thread may move it with SendMessageTo(Handle(), ...).
class ProgressBar {
  public:
    WindowHandle Handle() const { return handle_; }
    void SetRange(int low, int high);  // sends kMsgProgressSetRange
    void SetPos(int position);         // sends kMsgProgressSetPos

  private:
    friend class DataExchange;
    WindowHandle handle_ = nullptr;
};

// Dialog data exchange: binds control objects to the controls of a live dialog.
class DataExchange {
  public:
    explicit DataExchange(Dialog& dialog) : dialog_(dialog) {}
    void Control(int controlId, ProgressBar& bar);

  private:
    Dialog& dialog_;
};

// A modal dialog built from the dialog template `templateId`. Subclasses override the virtual
// handlers; each handler's default is the framework's default handling.
class Dialog {
  public:
    Dialog(int templateId, Dialog* parent);
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the dialog, runs OnInitDialog, shows it and runs its modal loop until EndDialog.
    // Returns the value given to EndDialog, or -1 when the dialog cannot be created.
    intptr_t DoModal();
    void EndDialog(intptr_t result);

    WindowHandle Handle() const { return handle_; }
    WindowHandle ItemHandle(int controlId) const;  // GetDlgItem

    // Window services (valid while the dialog exists).
    void SetTopmost();                            // HWND_TOPMOST, keeps position and size
    void SetIcon(IconHandle icon, bool bigIcon);  // WM_SETICON
    void CenterOnDesktop();
    void SetItemText(int controlId, const char16_t* text);
    bool SetTimer(uintptr_t timerId, uint32_t milliseconds);  // delivered as kMsgTimer
    bool KillTimer(uintptr_t timerId);
    bool Post(uint32_t message, uintptr_t wParam, intptr_t lParam);
    // A message box owned by this dialog; returns the button pressed (kIdOk for an OK box).
    int ShowMessageBox(const char16_t* text, const char16_t* caption, uint32_t type);

  protected:
    // Dialog initialisation; the default runs DoDataExchange. Return true to let the framework
    // set the focus to the first control that takes it.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(DataExchange& exchange);
    // Enter (IDOK) and Escape / the close box (IDCANCEL): by default EndDialog(1) and (2).
    virtual void OnOK();
    virtual void OnCancel();
    // A button click on a control other than IDOK / IDCANCEL. Default: nothing.
    virtual void OnCommand(int controlId);
    // A timer message. Default: nothing.
    virtual void OnTimer(uintptr_t timerId);
    // The message map for everything else. Return true when handled, with the handler's result
    // in `result`; false passes the message to the framework's default handling.
    virtual bool OnMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, intptr_t& result);

  private:
    friend struct DialogAccess;  // the implementation's dispatcher
    int templateId_;
    Dialog* parent_;
    WindowHandle handle_ = nullptr;
    void* impl_ = nullptr;  // implementation state
};

// The application object. Exactly one exists, constructed as a global before the program's entry
// runs; the entry calls InitInstance once and then ends the process with status 0.
class Application {
  public:
    Application();
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    virtual bool InitInstance() = 0;

    Dialog* MainWindow() const { return mainWindow_; }
    void SetMainWindow(Dialog* dialog) { mainWindow_ = dialog; }
    // The application's title: the executable's base name without extension.
    const char16_t* Title() const;

    static Application* Current();

  private:
    Dialog* mainWindow_ = nullptr;
};

// Cross-thread messages to a window or control handle. (Names avoid the Win32 A/W macros.)
intptr_t SendMessageTo(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
bool PostMessageTo(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// The framework's standard message box: the application's title as caption, owned by the main
// window, brought to the foreground. Returns the button pressed.
int StandardMessageBox(const char16_t* text, uint32_t type);

// The program is busy before its window shows (the installer's check of the package before the
// question): the system's wait cursor, as the device shows a busy program; the host's terminal UI
// shows a line with `percent`, the share done. A negative `percent` ends it: the cursor shown
// before comes back.
void ShowBusy(int percent);

// Loads an icon resource of the program.
IconHandle LoadAppIcon(int resourceId);

// Dialog templates. The Win32 build takes them from the program's resources (.rc); the POSIX
// build from this table, which the program registers before InitInstance runs.
enum class ControlKind : uint8_t { kStatic, kButton, kProgressBar };
struct ControlTemplate {
    int id;
    ControlKind kind;
    const char16_t* text;
    int x, y, width, height;  // dialog units
};
struct DialogTemplate {
    int id;
    const char16_t* caption;  // null: no caption bar
    int width, height;        // dialog units
    const ControlTemplate* controls;
    std::size_t controlCount;
};
void RegisterDialogTemplates(const DialogTemplate* templates, std::size_t count);

}  // namespace platform
