// Drives the installer's windows for the Wine suite, as a user at the device would: finds a
// window, reads what it says, presses its buttons and keys. Run under the same Wine prefix and
// X display as the installer.
//
//   driver wait WINDOW [MS]       waits until WINDOW is visible (default 20000 ms); 1 if not
//   driver gone WINDOW [MS]       waits until no such window is visible; 1 if it stays
//   driver text WINDOW            prints the window's message text (message box or static text)
//   driver controls WINDOW        prints one line per child: id, class, text, client rectangle
//   driver style WINDOW           prints "style=0x... exstyle=0x..."
//   driver pos WINDOW             prints the position of the window's progress bar (control 1006)
//   driver click WINDOW ID        presses button ID (BM_CLICK)
//   driver key WINDOW enter|escape  presses the key in the window's focused control
//   driver close WINDOW           the close box (WM_SYSCOMMAND SC_CLOSE)
//   driver rect WINDOW            prints "x y width height" of the window on the screen
//   driver move WINDOW X Y        moves the window's top left corner to (X, Y)
//   driver list                   prints the title and class of every visible window
//
// WINDOW is a window title, or @progress for the progress dialog (no title: the dialog window
// that holds a progress bar as control 1006). Text is printed as UTF-8 with "\n" line ends.
#include <windows.h>
// windows.h first: commctrl.h needs its types.
#include <commctrl.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

constexpr int kProgressControl = 1006;
constexpr int kMessageBoxText = 0xFFFF;
constexpr int kTipText = 1011;

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
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK Match(HWND window, LPARAM raw) {
    auto* search = reinterpret_cast<Search*>(raw);
    if (!::IsWindowVisible(window)) {
        return TRUE;
    }
    if (std::wcscmp(search->title, L"@progress") == 0) {
        HWND bar = ::GetDlgItem(window, kProgressControl);
        if (bar != nullptr && ClassOf(bar) == L"msctls_progress32") {
            search->found = window;
            return FALSE;
        }
        return TRUE;
    }
    if (TextOf(window) == search->title) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND Find(const wchar_t* title) {
    Search search{title, nullptr};
    ::EnumWindows(&Match, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitFor(const wchar_t* title, DWORD milliseconds) {
    const ULONGLONG end = ::GetTickCount64() + milliseconds;
    for (;;) {
        if (HWND window = Find(title)) {
            return window;
        }
        if (::GetTickCount64() >= end) {
            return nullptr;
        }
        ::Sleep(50);
    }
}

void PrintUtf8(const std::wstring& text) {
    std::string out;
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n));
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                              nullptr, nullptr);
    }
    std::string clean;
    for (char c : out) {
        if (c != '\r')
            clean += c;
    }
    std::fwrite(clean.data(), 1, clean.size(), stdout);
    std::fputc('\n', stdout);
}

std::wstring MessageText(HWND window) {
    for (int id : {kMessageBoxText, kTipText}) {
        if (HWND item = ::GetDlgItem(window, id)) {
            return TextOf(item);
        }
    }
    return std::wstring();
}

BOOL CALLBACK PrintControl(HWND child, LPARAM raw) {
    HWND parent = reinterpret_cast<HWND>(raw);
    RECT rect;
    ::GetWindowRect(child, &rect);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    wchar_t head[128];
    std::swprintf(head, 128, L"%d %ls %ld %ld %ld %ld ", ::GetDlgCtrlID(child),
                  ClassOf(child).c_str(), rect.left, rect.top, rect.right - rect.left,
                  rect.bottom - rect.top);
    PrintUtf8(head + TextOf(child));
    return TRUE;
}

// Posts a key press to the focused control of the window's thread, where the modal loop's
// dialog-message handling turns it into the dialog's command.
bool PressKey(HWND window, UINT key) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    const DWORD thread = ::GetWindowThreadProcessId(window, nullptr);
    HWND target = window;
    if (::GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr) {
        target = info.hwndFocus;
    }
    return ::PostMessageW(target, WM_KEYDOWN, key, 1) &&
           ::PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

BOOL CALLBACK PrintWindow(HWND window, LPARAM) {
    if (::IsWindowVisible(window)) {
        PrintUtf8(L"\"" + TextOf(window) + L"\" " + ClassOf(window));
    }
    return TRUE;
}

int Usage() {
    std::fputs(
        "usage: driver wait|gone|text|controls|style|pos|click|key|close|rect|move WINDOW ...\n"
        "       driver list\n",
        stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ::_setmode(::_fileno(stdout), _O_BINARY);  // "\n" line ends, as the suite compares bytes
    if (argc == 2 && std::wcscmp(argv[1], L"list") == 0) {
        return ::EnumWindows(&PrintWindow, 0) ? 0 : 1;
    }
    if (argc < 3) {
        return Usage();
    }
    const std::wstring command = argv[1];
    const wchar_t* title = argv[2];
    if (command == L"gone") {
        const DWORD ms = argc > 3 ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) : 20000;
        const ULONGLONG end = ::GetTickCount64() + ms;
        while (Find(title) != nullptr) {
            if (::GetTickCount64() >= end) {
                std::fprintf(stderr, "driver: window still there\n");
                return 1;
            }
            ::Sleep(50);
        }
        return 0;
    }
    const DWORD ms = command == L"wait" && argc > 3
                         ? static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10))
                         : 20000;
    HWND window = WaitFor(title, ms);
    if (window == nullptr) {
        std::fprintf(stderr, "driver: no window \"%ls\"\n", title);
        return 1;
    }
    if (command == L"wait") {
        return 0;
    }
    if (command == L"text") {
        PrintUtf8(MessageText(window));
        return 0;
    }
    if (command == L"controls") {
        ::EnumChildWindows(window, &PrintControl, reinterpret_cast<LPARAM>(window));
        return 0;
    }
    if (command == L"style") {
        std::printf("style=0x%08lx exstyle=0x%08lx\n",
                    static_cast<unsigned long>(::GetWindowLongW(window, GWL_STYLE)),
                    static_cast<unsigned long>(::GetWindowLongW(window, GWL_EXSTYLE)));
        return 0;
    }
    if (command == L"pos") {
        HWND bar = ::GetDlgItem(window, kProgressControl);
        if (bar == nullptr) {
            return 1;
        }
        const LRESULT range = ::SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
        std::printf("%ld of %ld..%ld\n", static_cast<long>(::SendMessageW(bar, PBM_GETPOS, 0, 0)),
                    static_cast<long>(::SendMessageW(bar, PBM_GETRANGE, TRUE, 0)),
                    static_cast<long>(range));
        return 0;
    }
    if (command == L"click" && argc > 3) {
        HWND button = ::GetDlgItem(window, static_cast<int>(std::wcstol(argv[3], nullptr, 10)));
        if (button == nullptr) {
            std::fprintf(stderr, "driver: no control %ls\n", argv[3]);
            return 1;
        }
        return ::PostMessageW(button, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (command == L"key" && argc > 3) {
        const std::wstring key = argv[3];
        const UINT vk = key == L"enter" ? VK_RETURN : key == L"escape" ? VK_ESCAPE : 0;
        return vk != 0 && PressKey(window, vk) ? 0 : Usage();
    }
    if (command == L"close") {
        return ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
    }
    if (command == L"rect") {
        RECT rect;
        ::GetWindowRect(window, &rect);
        std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                    rect.bottom - rect.top);
        return 0;
    }
    if (command == L"move" && argc > 4) {
        const int x = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
        const int y = static_cast<int>(std::wcstol(argv[4], nullptr, 10));
        return ::SetWindowPos(window, nullptr, x, y, 0, 0,
                              SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)
                   ? 0
                   : 1;
    }
    return Usage();
}
