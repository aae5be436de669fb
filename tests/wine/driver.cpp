// Drives the installer's windows for the Wine suite, as a user at the device would. Run under the
// same Wine prefix and X display as the installer.
//
//   driver wait|gone WINDOW [MS]  waits until WINDOW is shown / is not (default 20000 ms); else 1
//   driver controls WINDOW        prints one line per child: id, class, text
//   driver style WINDOW           prints the style and the extended style in hexadecimal
//   driver pos WINDOW             prints the position of the window's progress bar (control 1006)
//   driver click WINDOW ID        presses button ID (BM_CLICK)
//   driver key WINDOW VK          presses virtual key VK (decimal) in the focused control
//   driver close WINDOW           the close box (WM_SYSCOMMAND SC_CLOSE)
//   driver rect WINDOW            prints "x y width height" of the window on the screen
//   driver move WINDOW X Y        moves the window's top left corner to (X, Y)
//
// WINDOW is a window title, or @progress for the progress dialog (no title: the dialog window
// that holds a progress bar as control 1006). Text is printed as UTF-8 with "\n" line ends. A
// command whose window does not come names the visible windows on stderr.
#include <windows.h>
// windows.h first: commctrl.h needs its types.
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr int kProgressControl = 1006;

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

std::wstring TextOf(HWND window) {
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int n = ::GetWindowTextW(window, text.data(), length + 1);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

struct Search {
    std::wstring title;
    HWND found = nullptr;
};

BOOL CALLBACK Match(HWND window, LPARAM raw) {
    auto* search = reinterpret_cast<Search*>(raw);
    HWND bar = ::GetDlgItem(window, kProgressControl);
    const bool match = search->title == L"@progress"
                           ? bar != nullptr && ClassOf(bar) == L"msctls_progress32"
                           : TextOf(window) == search->title;
    if (match && ::IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Looks every 50 ms, for at most `ms`, until the window is there (`present`) or is not; returns
// the window found at the last look.
HWND Await(const wchar_t* title, bool present, DWORD ms) {
    for (const ULONGLONG end = ::GetTickCount64() + ms;; ::Sleep(50)) {
        Search search{title};
        ::EnumWindows(&Match, reinterpret_cast<LPARAM>(&search));
        if ((search.found != nullptr) == present || ::GetTickCount64() >= end) {
            return search.found;
        }
    }
}

void PrintUtf8(std::wstring text, std::FILE* to = stdout) {
    std::erase(text, L'\r');
    const int size = static_cast<int>(text.size());
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
    std::fprintf(to, "%s\n", out.c_str());
}

BOOL CALLBACK PrintControl(HWND child, LPARAM) {
    PrintUtf8(std::to_wstring(::GetDlgCtrlID(child)) + L" " + ClassOf(child) + L" " +
              TextOf(child));
    return TRUE;
}

BOOL CALLBACK PrintVisibleWindow(HWND window, LPARAM) {
    if (::IsWindowVisible(window)) {
        PrintUtf8(L"\"" + TextOf(window) + L"\" " + ClassOf(window), stderr);
    }
    return TRUE;
}

// Posts a key press to the focused control of the window's thread, where the modal loop's
// dialog-message handling turns it into the dialog's command.
bool PressKey(HWND window, UINT key) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    HWND target = window;
    if (::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info) &&
        info.hwndFocus != nullptr) {
        target = info.hwndFocus;
    }
    return ::PostMessageW(target, WM_KEYDOWN, key, 1) &&
           ::PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

int Usage() {
    std::fputs("usage: driver COMMAND WINDOW [ARGUMENT...] (see driver.cpp)\n", stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ::_setmode(::_fileno(stdout), _O_BINARY);  // "\n" line ends, as the suite compares bytes
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (argc < 3) {
        return Usage();
    }
    const wchar_t* title = argv[2];
    const auto number = [&](int i) { return argc > i ? std::wcstol(argv[i], nullptr, 10) : 0; };
    const bool waits = (command == L"wait" || command == L"gone") && argc > 3;
    const DWORD ms = waits ? static_cast<DWORD>(number(3)) : 20000;
    HWND window = Await(title, command != L"gone", ms);
    if (command == L"gone") {
        return window == nullptr ? 0 : 1;
    }
    if (window == nullptr) {
        std::fprintf(stderr, "driver: no window \"%ls\"; the visible ones:\n", title);
        ::EnumWindows(&PrintVisibleWindow, 0);
        return 1;
    }
    if (command == L"controls") {
        ::EnumChildWindows(window, &PrintControl, 0);
        return 0;
    }
    if (command == L"style") {
        std::printf("0x%08lx 0x%08lx\n",
                    static_cast<unsigned long>(::GetWindowLongW(window, GWL_STYLE)),
                    static_cast<unsigned long>(::GetWindowLongW(window, GWL_EXSTYLE)));
        return 0;
    }
    if (command == L"pos") {  // a window without the bar reads "0 of 0..0"
        HWND bar = ::GetDlgItem(window, kProgressControl);
        const auto ask = [bar](UINT message, WPARAM w) {
            return static_cast<long>(::SendMessageW(bar, message, w, 0));
        };
        std::printf("%ld of %ld..%ld\n", ask(PBM_GETPOS, 0), ask(PBM_GETRANGE, TRUE),
                    ask(PBM_GETRANGE, FALSE));
        return 0;
    }
    if (command == L"click" && argc > 3) {
        HWND button = ::GetDlgItem(window, static_cast<int>(number(3)));
        return button != nullptr && ::PostMessageW(button, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (command == L"key" && argc > 3) {
        return PressKey(window, static_cast<UINT>(number(3))) ? 0 : 1;
    }
    if (command == L"close") {
        return ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    }
    if (command == L"rect") {
        RECT r;
        ::GetWindowRect(window, &r);
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (command == L"move" && argc > 4) {
        const UINT flags = SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE;
        return ::SetWindowPos(window, nullptr, number(3), number(4), 0, 0, flags) ? 0 : 1;
    }
    return command == L"wait" ? 0 : Usage();
}
