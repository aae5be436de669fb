#ifdef _WIN32

#include "tools/qzp/windows_console.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <thread>

namespace {

std::string Utf8(const wchar_t* text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    if (n > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    }
    out.pop_back();  // the terminator
    return out;
}

// How many bytes at the end of `text` begin a UTF-8 sequence that is not complete yet.
std::size_t IncompleteTail(const std::string& text) {
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const unsigned char c = static_cast<unsigned char>(text[text.size() - back]);
        if ((c & 0xC0) != 0x80) {
            const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            return length > back ? back : 0;
        }
    }
    return 0;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(Utf8(argv[i]));
    }
    return args;
}

// One console stream: the C runtime's descriptor now writes into a pipe, and a thread turns what
// arrives into console text.
struct ConsoleText::Forward {
    std::FILE* stream = nullptr;
    int saved = -1;  // the descriptor the stream had
    HANDLE console = nullptr;
    HANDLE reader = nullptr;
    std::thread thread;

    void Run() {
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            pending.append(buffer, got);
            const std::size_t keep = IncompleteTail(pending);
            Write(pending.substr(0, pending.size() - keep));
            pending.erase(0, pending.size() - keep);
        }
        Write(pending);
    }

    void Write(const std::string& text) const {
        if (text.empty()) {
            return;
        }
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                            nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                              n);
        DWORD written = 0;
        ::WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    }
};

ConsoleText::ConsoleText() {
    for (std::FILE* stream : {stdout, stderr}) {
        const int fd = _fileno(stream);
        const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        DWORD mode = 0;
        if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) {
            continue;  // a pipe or file gets the UTF-8 bytes as written
        }
        HANDLE reader = nullptr;
        HANDLE writer = nullptr;
        if (!::CreatePipe(&reader, &writer, nullptr, 0)) {
            continue;
        }
        const int pipeFd =
            _open_osfhandle(reinterpret_cast<intptr_t>(writer), _O_WRONLY | _O_BINARY);
        auto* forward = new Forward;
        forward->stream = stream;
        forward->reader = reader;
        std::fflush(stream);
        // The descriptor's own handle is closed when the pipe takes its place: the thread writes
        // through the copy's.
        forward->saved = _dup(fd);
        forward->console = reinterpret_cast<HANDLE>(_get_osfhandle(forward->saved));
        _dup2(pipeFd, fd);
        _close(pipeFd);
        forward->thread = std::thread([forward] { forward->Run(); });
        forwards_.push_back(forward);
    }
}

ConsoleText::~ConsoleText() {
    for (Forward* forward : forwards_) {
        std::fflush(forward->stream);
        // Back to the console's descriptor: the pipe's last writer closes, and the thread drains
        // the pipe through the saved copy, which stays open until it has.
        _dup2(forward->saved, _fileno(forward->stream));
        forward->thread.join();
        _close(forward->saved);
        ::CloseHandle(forward->reader);
        delete forward;
    }
}

#endif
