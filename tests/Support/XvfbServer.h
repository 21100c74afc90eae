#pragma once
// A private X server (Xvfb) for tests of windows: started on a free display number (Xvfb's own
// -displayfd), with one 1920x1080x24 screen or several side by side as one desktop (Xinerama), and
// killed when done; it also dies with the test process (PR_SET_PDEATHSIG). `start` returns why the
// server is not there instead of hanging.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace veltrane::testsupport {

class XvfbServer {
public:
    XvfbServer() = default;
    ~XvfbServer() { stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Empty on success. `screens`: Xvfb screen geometries; more than one make a Xinerama desktop.
    std::string start(const std::vector<std::string>& screens = {"1920x1080x24"})
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe failed: ") + std::strerror(errno);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) return std::string("fork failed: ") + std::strerror(errno);
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(1);
            dup2(fds[1], 3); // dup2 clears close-on-exec on the copy
            const int devNull = open("/dev/null", O_WRONLY);
            if (devNull >= 0) {
                dup2(devNull, STDOUT_FILENO);
                dup2(devNull, STDERR_FILENO);
            }
            std::vector<std::string> args{"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset"};
            if (screens.size() > 1) args.push_back("+xinerama");
            for (std::size_t i = 0; i < screens.size(); ++i) {
                args.push_back("-screen");
                args.push_back(std::to_string(i));
                args.push_back(screens[i]);
            }
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp("Xvfb", argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char c;
                const ssize_t n = read(fds[0], &c, 1);
                if (n <= 0) break;
                if (c == '\n') break;
                number += c;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                close(fds[0]);
                return WIFEXITED(status) && WEXITSTATUS(status) == 127
                           ? "Xvfb is not installed (scripts/install-deps installs xvfb)"
                           : "Xvfb exited at start-up";
            }
        }
        close(fds[0]);
        if (number.empty()) {
            stop();
            return "Xvfb did not come up within 20 s";
        }
        display_ = ":" + number;
        return {};
    }

    void stop()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }

    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

} // namespace veltrane::testsupport
