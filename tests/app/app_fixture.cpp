#include "app_fixture.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace apptest {
std::vector<std::string> RunResult::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<nlohmann::json> RunResult::Events(const std::string& kind) const {
    std::vector<nlohmann::json> found;
    for (const auto& e : events) {
        if (e.value("event", "") == kind)
            found.push_back(e);
    }
    return found;
}

DeviceImage::DeviceImage()
    : root_(scratch_.Path() / "device"), events_(scratch_.Path() / "events.jsonl") {
    fs::create_directories(root_ / "SDMMC");
    fs::create_directories(root_ / "ResidentFlash2");
}

void DeviceImage::WritePackage(const std::string& relative,
                               const std::vector<PackFile>& files) const {
    pkgtest::Builder builder;
    for (const PackFile& f : files) {
        if (f.content.empty()) {
            builder.Directory(f.name);
        } else {
            builder.File(f.name, pkgtest::Text(f.content));
        }
    }
    const pkgtest::Bytes bytes = builder.Build();
    WriteFile(relative, std::string(bytes.begin(), bytes.end()));
}

Keys::Keys() {
    for (Pair* pair : {&release, &stranger}) {
        std::string secretText;
        SecretKeyFile file;
        KeyFault fault = KeyFault::kNone;
        EXPECT_EQ(MakeKeyPair(nullptr, &pair->publicText, &secretText, &pair->id, &fault), 0);
        EXPECT_EQ(ParseSecretKeyFile(secretText.data(), secretText.size(), &file, &fault), 0);
        EXPECT_EQ(OpenSecretKey(file, "", &pair->secret, &fault), 0);
    }
}

void Keys::Sign(const DeviceImage& image, const Pair& by) const {
    const std::string bytes = ReadAll(image.Host("SDMMC/VORIZ.QZP"));
    SignatureMaker maker;
    std::string text;
    EXPECT_EQ(maker.Begin(by.secret), 0);
    EXPECT_EQ(maker.Update(bytes.data(), bytes.size()), 0);
    EXPECT_EQ(maker.Finish(Comment(), &text), 0);
    image.WriteFile("SDMMC/VORIZ.QZP.minisig", text);
}

Tree TreeOfPackage(const std::vector<PackFile>& files) {
    Tree tree;
    for (const PackFile& f : files) {
        testimage::PutExtracted(tree, f.name, f.name.find_last_of("\\/") + 1 == f.name.size(),
                                f.content);
    }
    return tree;
}

int DeviceImage::Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
                       int& outputFd, const fs::path& events) const {
    const fs::path& eventsFile = events.empty() ? events_ : events;
    std::vector<std::string> argv = {(BinDir() / "qzpupdate").string(), "--device", root_.string()};
    argv.insert(argv.end(), {"--ui", "headless", "--events", eventsFile.string()});
    if (std::find(args.begin(), args.end(), "--time-scale") == args.end()) {
        argv.insert(argv.end(), {"--time-scale", "0"});
    }
    argv.insert(argv.end(), args.begin(), args.end());

    fs::remove(eventsFile);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        unsetenv("QZP_FAULT_CUT_AT_WRITE");
        unsetenv("QZP_FAULT_FAIL_AT_WRITE");
        for (const auto& e : env) {
            if (e.starts_with("RLIMIT_DATA=")) {  // the heap's limit, not the environment
                const rlim_t bytes = std::strtoull(e.c_str() + 12, nullptr, 10);
                const rlimit limit{bytes, bytes};
                setrlimit(RLIMIT_DATA, &limit);
                continue;
            }
            putenv(const_cast<char*>(e.c_str()));
        }
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(pipeFds[1], STDOUT_FILENO);
        alarm(60);  // a hanging installer fails the test instead of blocking it
        std::vector<char*> raw;
        for (auto& a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        execv(raw[0], raw.data());
        _exit(127);
    }
    close(pipeFds[1]);
    outputFd = pipeFds[0];
    return pid;
}

RunResult DeviceImage::Finish(int pid, int outputFd, const fs::path& events) const {
    RunResult result;
    char buffer[4096];
    for (ssize_t n; (n = read(outputFd, buffer, sizeof buffer)) > 0;) {
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(outputFd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    std::ifstream in(events.empty() ? events_ : events);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty())
            result.events.push_back(nlohmann::json::parse(line));
    }
    return result;
}

RunResult DeviceImage::Run(const std::vector<std::string>& args,
                           const std::vector<std::string>& env) const {
    int fd = -1;
    const int pid = Start(args, env, fd);
    return Finish(pid, fd);
}

fs::path BinDir() {
    const char* dir = std::getenv("QZP_BIN_DIR");
    return dir != nullptr ? fs::path(dir) : fs::path(".");
}

fs::path VendorStandIn() {
    const fs::path library = BinDir() / "velmorin_standin.so";
    return fs::exists(library) ? library : fs::path();
}

std::string Filler(std::size_t size, uint32_t seed, bool compressible) {
    std::string text(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        text[i] = compressible ? static_cast<char>('a' + (state >> 24) % 4)
                               : static_cast<char>(state >> 24);
    }
    return text;
}

std::string Capture(const std::string& command, int* status) {
    std::string output;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "popen failed";
    }
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    const int raw = pclose(pipe);
    if (status != nullptr) {
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    return output;
}

std::vector<PackFile> FullPackage(const std::string& seed) {
    return {{"VORIZ\\", ""},
            {"VORIZ\\VORIZ.exe", Filler(40000, 1, false) + seed},
            {"VORIZ\\INDEX.INI", IniBytes(Manifest(u"2.0"))},
            {"VORIZ\\Maps\\", ""},
            {"VORIZ\\Maps\\region01.dat", Filler(20000, 2, true)},
            {"PowerOffLogo.bmp", "logo from the package"}};
}

std::vector<PackFile> PatchPackage(const std::u16string& required,
                                   const std::string& manifestName) {
    return {{"VORIZ\\VORIZ.exe", Filler(40000, 1, false)},
            {manifestName, IniBytes(Manifest(u"2.1", 1, required))},
            {"VORIZ\\Lang\\en.txt", Filler(20000, 2, true)}};
}

void InstallVersion(const DeviceImage& image, const std::u16string& version) {
    image.WriteFile("ResidentFlash2/VORIZ/VORIZ.exe", "installed exe");
    image.WriteFile("ResidentFlash2/VORIZ/old.txt", "a file of the installed version");
    if (!version.empty()) {
        image.WriteIni("ResidentFlash2/VORIZ/index.ini",
                       {{u"Config", u"SoftwareVersion", version}});
    }
}

Tree Merge(Tree base, const Tree& over) {
    for (const auto& [name, content] : over)
        base[name] = content;
    return base;
}

}  // namespace apptest
