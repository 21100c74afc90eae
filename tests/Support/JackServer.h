#pragma once
// A private JACK server on the dummy backend for tests that need a real audio device.
//
// Each test process starts its own server under a unique name (so tests run in parallel never
// share one), points JACK_DEFAULT_SERVER at it so every JACK client of the process finds it, and
// kills it when done; the server also dies with the test process (PR_SET_PDEATHSIG). When jackd
// cannot start within a few seconds, `start` returns the reason and the test fails with it instead
// of hanging.
#include <jack/jack.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace veltrane::testsupport {

class JackServer {
public:
    JackServer() = default;
    ~JackServer() { stop(); }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Empty on success, else why the server is not there. Tests run the server without real-time
    // scheduling (it needs no privileges); measurements may ask for it.
    std::string start(unsigned rate = 48000, unsigned period = 256, bool realtime = false)
    {
        static int counter = 0;
        name_ = "veltrane-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        const std::string rateText = std::to_string(rate), periodText = std::to_string(period);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0)
            return std::string("fork failed: ") + std::strerror(errno);
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(1);
            const int devNull = open("/dev/null", O_WRONLY);
            if (devNull >= 0) {
                dup2(devNull, STDOUT_FILENO);
                dup2(devNull, STDERR_FILENO);
            }
            execlp("jackd", "jackd", "-n", name_.c_str(), realtime ? "--realtime" : "--no-realtime", "-d", "dummy", "-r",
                   rateText.c_str(), "-p", periodText.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) && WEXITSTATUS(status) == 127
                           ? "jackd is not installed (scripts/install-deps installs jackd2)"
                           : "jackd exited at start-up (status " + std::to_string(status) + ")";
            }
            jack_status_t st;
            jack_client_t* probe = jack_client_open("veltrane-probe", JackNoStartServer, &st);
            if (probe) {
                jack_client_close(probe);
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        return "jackd did not come up within 10 s";
    }

    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status = 0;
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

    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

} // namespace veltrane::testsupport
