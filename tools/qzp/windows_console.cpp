#ifdef _WIN32

#include "tools/qzp/windows_console.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <thread>
#include <utility>

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

// The console streams' descriptors all write into one pipe, and a thread turns what arrives into
// console text: one pipe keeps the order in which stdout and stderr were written.
struct ConsoleText::Forward {
    HANDLE console = nullptr;
    HANDLE reader = nullptr;
    std::thread thread;
    std::vector<std::pair<std::FILE*, int>> streams;  // each stream, and the descriptor it had

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
        std::fflush(stream);
        if (forward_ == nullptr) {
            HANDLE reader = nullptr;
            HANDLE writer = nullptr;
            if (!::CreatePipe(&reader, &writer, nullptr, 0)) {
                return;
            }
            forward_ = new Forward;
            forward_->reader = reader;
            const int saved = _dup(fd);
            // The descriptor's own handle is closed when the pipe takes its place: the thread
            // writes through the copy's, which stays open until the pipe is drained.
            forward_->console = reinterpret_cast<HANDLE>(_get_osfhandle(saved));
            forward_->streams.emplace_back(stream, saved);
            const int pipeFd =
                _open_osfhandle(reinterpret_cast<intptr_t>(writer), _O_WRONLY | _O_BINARY);
            _dup2(pipeFd, fd);
            _close(pipeFd);
            forward_->thread = std::thread([forward = forward_] { forward->Run(); });
        } else {
            forward_->streams.emplace_back(stream, _dup(fd));
            _dup2(_fileno(forward_->streams.front().first), fd);
        }
    }
}

ConsoleText::~ConsoleText() {
    if (forward_ == nullptr) {
        return;
    }
    // Back to the consoles' descriptors: the pipe's last writer closes, the thread drains it.
    for (const auto& [stream, saved] : forward_->streams) {
        std::fflush(stream);
        _dup2(saved, _fileno(stream));
    }
    forward_->thread.join();
    for (const auto& [stream, saved] : forward_->streams) {
        _close(saved);
    }
    ::CloseHandle(forward_->reader);
    delete forward_;
}

#endif
