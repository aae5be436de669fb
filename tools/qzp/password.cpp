#include "tools/qzp/password.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <sodium.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "signature/minisign_keys.h"
#include "tools/qzp/output.h"

namespace {

// Reads one line (without its line end) from `fd`, or its first kMaxPasswordBytes + 1 bytes when
// it is longer, which the caller refuses as too long; false when it cannot be read.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    char c = 0;
    while (line.size() <= kMaxPasswordBytes) {
#ifdef _WIN32
        const int n = _read(fd, &c, 1);
#else
        const ssize_t n = read(fd, &c, 1);
#endif
        if (n < 0) {
            return false;
        }
        if (n == 0 || c == '\n') {
            break;
        }
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

// Asks on the terminal with echo off. False when there is no terminal.
bool AskTerminal(const char* prompt, std::string& password) {
#ifdef _WIN32
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (!GetConsoleMode(input, &mode)) {
        CloseHandle(input);
        return false;
    }
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    SetConsoleMode(input, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
    // The whole line is read, however long, so that nothing of it is left for the next question;
    // past the limit only one more character is kept, for the caller to refuse.
    wchar_t typed[kMaxPasswordBytes + 2];
    wchar_t chunk[256];
    DWORD count = 0;
    DWORD got = 0;
    bool read = true;
    bool ended = false;
    while (!ended && (read = ReadConsoleW(input, chunk, 256, &got, nullptr) != 0) && got > 0) {
        for (DWORD i = 0; i < got && !ended; ++i) {
            ended = chunk[i] == L'\n';
            if (!ended && chunk[i] != L'\r' && count < kMaxPasswordBytes + 1) {
                typed[count++] = chunk[i];
            }
        }
    }
    sodium_memzero(chunk, sizeof chunk);
    SetConsoleMode(input, mode);
    CloseHandle(input);
    std::fprintf(stderr, "\n");
    password.assign(kMaxPasswordBytes * 3 + 3, '\0');
    const int bytes =
        read && count > 0
            ? WideCharToMultiByte(CP_UTF8, 0, typed, static_cast<int>(count), password.data(),
                                  static_cast<int>(password.size()), nullptr, nullptr)
            : 0;
    sodium_memzero(typed, sizeof typed);
    password.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    return read;
#else
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return false;
    }
    termios saved{};
    if (tcgetattr(tty, &saved) != 0) {
        close(tty);
        return false;
    }
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    const std::string text(prompt);
    [[maybe_unused]] ssize_t written = write(tty, text.data(), text.size());
    tcsetattr(tty, TCSAFLUSH, &quiet);
    const bool read = ReadLine(tty, password);
    tcsetattr(tty, TCSAFLUSH, &saved);
    close(tty);
    return read;
#endif
}

}  // namespace

void AddPasswordOptions(CLI::App& command, PasswordSource& source, const std::string& what) {
    CLI::Option* fd =
        command
            .add_option("--password-fd", source.fd,
                        "Read the password from this file descriptor (its first line) "
                        "instead of the terminal; " +
                            what)
            ->check(CLI::Range(0, 1023));
    command
        .add_option("--password-env", source.envName,
                    "Read the password from this environment variable instead of the "
                    "terminal; " +
                        what)
        ->excludes(fd);
}

int ReadPassword(const PasswordSource& source, const std::string& subject, bool confirm,
                 std::string& password) {
    password.clear();
    if (!source.envName.empty()) {
        const char* value = std::getenv(source.envName.c_str());
        if (value == nullptr) {
            return ReportFailure(subject, "the environment variable " + source.envName +
                                              " holding the password is not set");
        }
        password = value;
    } else if (source.fd >= 0) {
        if (!ReadLine(source.fd, password)) {
            return ReportFailure(subject, "cannot read the password from file descriptor " +
                                              std::to_string(source.fd));
        }
    } else {
        if (!AskTerminal("Password: ", password)) {
            return ReportFailure(subject,
                                 "no terminal to ask for the password; give --password-fd or "
                                 "--password-env");
        }
        std::string again;
        if (confirm && (!AskTerminal("Password (again): ", again) || again != password)) {
            sodium_memzero(again.data(), again.size());
            return ReportFailure(subject, "the two passwords differ");
        }
        sodium_memzero(again.data(), again.size());
    }
    if (password.size() > kMaxPasswordBytes) {
        return ReportFailure(
            subject, "the password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes");
    }
    if (password.empty()) {
        return ReportFailure(subject, "the password is empty");
    }
    return 0;
}
