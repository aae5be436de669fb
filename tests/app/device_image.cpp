#include "device_image.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "ini/ini_document.h"
#include "ini/ini_write.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tests/package/package_builder.h"

namespace apptest {
std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

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

DeviceImage::DeviceImage() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/qzpupdate-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    scratch_ = pattern;
    root_ = scratch_ / "device";
    events_ = scratch_ / "events.jsonl";
    fs::create_directories(root_ / "SDMMC");
    fs::create_directories(root_ / "ResidentFlash2");
}

DeviceImage::~DeviceImage() {
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
}

void DeviceImage::WriteFile(const std::string& relative, const std::string& content) const {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string IniBytes(const std::vector<IniValue>& values) {
    IniTable* table = IniTableCreate(0);
    if (table == nullptr) {
        throw std::runtime_error("IniTableCreate failed");
    }
    for (const IniValue& v : values) {
        IniTableSetString(table, v.section.c_str(), v.key.c_str(), v.value.c_str());
    }
    const std::vector<unsigned char> bytes = IniTableBytes(table, u"\\VORIZ\\INDEX.INI");
    IniTableFree(table);
    return std::string(bytes.begin(), bytes.end());
}

void DeviceImage::WriteIni(const std::string& relative, const std::vector<IniValue>& values) const {
    WriteFile(relative, IniBytes(values));
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

Tree DeviceImage::TreeOf(const fs::path& directory) {
    Tree tree;
    if (!fs::exists(directory)) {
        return tree;
    }
    for (const auto& e : fs::recursive_directory_iterator(directory)) {
        const std::string relative =
            platform::FoldedAscii(fs::relative(e.path(), directory).generic_string());
        if (e.is_symlink()) {
            tree[relative] = "link to " + fs::read_symlink(e.path()).string();
        } else if (e.is_directory()) {
            tree[relative + "/"] = "";
        } else if (e.is_regular_file()) {
            tree[relative] = ReadAll(e.path());
        } else {
            tree[relative] = "special file";  // a FIFO is never opened: that could block
        }
    }
    return tree;
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

std::string TreeDifference(const Tree& expected, const Tree& actual) {
    std::string text;
    for (const auto& [name, content] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end()) {
            text += "  missing: " + name + "\n";
        } else if (found->second != content) {
            text += "  other content (" + std::to_string(found->second.size()) + " bytes, " +
                    std::to_string(content.size()) + " expected): " + name + "\n";
        }
    }
    for (const auto& [name, content] : actual) {
        if (expected.count(name) == 0)
            text += "  unexpected: " + name + "\n";
    }
    return text;
}

Tree TreeOfPackage(const std::vector<PackFile>& files) {
    Tree tree;
    for (const PackFile& f : files) {
        const std::size_t first = f.name.find_first_not_of('\\');  // leading `\`s name nothing
        std::string name = first == std::string::npos ? f.name : f.name.substr(first);
        std::replace(name.begin(), name.end(), '\\', '/');
        name = platform::FoldedAscii(name);
        // Every parent folder exists afterwards.
        for (std::size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1)) {
            tree[name.substr(0, slash + 1)] = "";
        }
        if (!name.empty() && name.back() != '/') {
            tree[name] = f.content;
        }
    }
    return tree;
}

int DeviceImage::Start(const std::vector<std::string>& args, const std::vector<std::string>& env,
                       int& outputFd, const fs::path& events) const {
    const fs::path& eventsFile = events.empty() ? events_ : events;
    std::vector<std::string> argv = {(BinDir() / "qzpupdate").string(),
                                     "--device",
                                     root_.string(),
                                     "--ui",
                                     "headless",
                                     "--events",
                                     eventsFile.string()};
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

std::vector<IniValue> Manifest(const std::u16string& version, int isPatch,
                               const std::u16string& oldVersion) {
    std::vector<IniValue> values = {{u"Config", u"SoftwareVersion", version},
                                    {u"UpdateInfo", u"IsPatch", isPatch ? u"1" : u"0"}};
    if (!oldVersion.empty()) {
        values.push_back({u"UpdateInfo", u"oldVersion", oldVersion});
    }
    return values;
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
