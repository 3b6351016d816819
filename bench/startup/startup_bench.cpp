// Start-up benchmark of the headless monitor: time from launching the program to its status port
// answering "SERVICES UP", and the proportional set size of the idle process.
//
//   startup_bench [path/to/prowlix] [runs]
//
// The binary is copied into a scratch directory, so its log files land there.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// One attempt: the whole answer when the port accepted the connection, empty when refused.
std::string ask(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        char buffer[64];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
}

pid_t launch(const std::string& program, int port) {
    const std::string portOption = "/P:" + std::to_string(port);
    std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("/NOGUI"),
                               const_cast<char*>(portOption.c_str()), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawn");
        std::exit(1);
    }
    return pid;
}

// Milliseconds from launch to the answer, or a negative value when it never came.
double timeToAnswer(const std::string& program, int port, pid_t& pid) {
    const auto start = Clock::now();
    pid = launch(program, port);
    const auto deadline = start + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (ask(port) == "SERVICES UP")
            return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return -1;
}

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// A field of /proc/<pid>/smaps_rollup in KiB ("Pss:", "Rss:").
long rollupKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long value = -1;
    while (in >> key) {
        if (key == field) {
            in >> value;
            return value;
        }
        in.ignore(1 << 12, '\n');
    }
    return value;
}

void report(const char* what, std::vector<double> values, const char* unit) {
    std::sort(values.begin(), values.end());
    const double median = values.size() % 2
                              ? values[values.size() / 2]
                              : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
    std::printf("%-34s min %8.2f  median %8.2f  max %8.2f %s (%zu runs)\n", what, values.front(),
                median, values.back(), unit, values.size());
}

} // namespace

int main(int argc, char** argv) {
    const fs::path self = fs::canonical("/proc/self/exe");
    const fs::path source =
        argc > 1 ? fs::path(argv[1])
                 : self.parent_path().parent_path().parent_path() / "app" / "prowlix";
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;

    char scratchTemplate[] = "/tmp/prowlix-startup-XXXXXX";
    const fs::path scratch = ::mkdtemp(scratchTemplate);
    const std::string program = (scratch / "prowlix").string();
    fs::copy_file(source, program);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    ::unsetenv("QT_QPA_PLATFORM");

    std::vector<double> times;
    std::vector<double> pss;
    std::vector<double> rss;
    for (int i = 0; i < runs; ++i) {
        pid_t pid = 0;
        const double ms = timeToAnswer(program, freePort(), pid);
        if (ms < 0) {
            std::fprintf(stderr, "run %d: the status port never answered\n", i + 1);
            stop(pid);
            return 1;
        }
        times.push_back(ms);
        // Let start-up's transient allocations settle before the idle footprint is read.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pss.push_back(static_cast<double>(rollupKiB(pid, "Pss:")) / 1024.0);
        rss.push_back(static_cast<double>(rollupKiB(pid, "Rss:")) / 1024.0);
        stop(pid);
    }
    fs::remove_all(scratch);
    report("Launch to \"SERVICES UP\"", times, "ms");
    report("PSS of the idle headless monitor", pss, "MiB");
    report("RSS of the idle headless monitor", rss, "MiB");
    return 0;
}
