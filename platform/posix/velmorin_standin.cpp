// Stand-in for the device vendor's system library, for runs on a developer's machine. Its restart
// export records the request where the host's tests look for it and then ends the process with
// status 0, as the device's restart ends the installer.
//
// Environment (set by the host configuration):
//   QZP_EVENTS_FILE     the JSON-lines record; a "restart" event is appended
//   QZP_DEVICE_ROOT     the device image; ROOT/.restart receives the argument
//   QZP_STANDIN_RETURN  "1": return 0 instead of ending the process (a restart that never comes)
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void WriteFile(const char* path, int flags, const std::string& text) {
    const int fd = open(path, flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteAll(fd, text);
        close(fd);
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t KVRebootMachine(int32_t argument) {
    const std::string value = std::to_string(argument);
    if (const char* events = std::getenv("QZP_EVENTS_FILE"); events != nullptr && *events != 0) {
        // One write with O_APPEND keeps the line whole next to the host's own appends.
        WriteFile(events, O_APPEND, "{\"event\":\"restart\",\"argument\":" + value + "}\n");
    }
    if (const char* root = std::getenv("QZP_DEVICE_ROOT"); root != nullptr && *root != 0) {
        WriteFile((std::string(root) + "/.restart").c_str(), O_TRUNC, value + "\n");
    }
    const char* stay = std::getenv("QZP_STANDIN_RETURN");
    if (stay != nullptr && std::strcmp(stay, "1") == 0) {
        return 0;
    }
    std::exit(0);
}
