#pragma once
// A private JACK server on the dummy backend for tests that need a real audio device.
//
// Each test process starts its own server under a unique name, points JACK_DEFAULT_SERVER at it so
// every JACK client of the process finds it, and kills it when done; the server also dies with the
// test process (PR_SET_PDEATHSIG). Only one such server runs at a time on the machine: libjack keeps
// a small machine-wide registry of servers in shared memory, and with several servers starting and
// stopping at once clients fail to connect. A lock file serialises them (tests that use JACK take
// a second or two each). When jackd cannot start, `start` returns the reason and the test fails
// with it instead of hanging.
#include <jack/jack.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
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
    // scheduling (it needs no privileges); measurements may ask for it. `synchronous`: each period
    // waits for every client (jackd -S), so a client that runs late on a loaded machine delays the
    // period instead of having its output land a period late; tests of timing ask for it.
    std::string start(unsigned rate = 48000, unsigned period = 256, bool realtime = false, bool synchronous = false)
    {
        if (const std::string why = lock(); !why.empty()) return why;
        static int counter = 0;
        name_ = "veltrane-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        const std::string rateText = std::to_string(rate), periodText = std::to_string(period);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) return std::string("fork failed: ") + std::strerror(errno);
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(1);
            const int devNull = open("/dev/null", O_WRONLY);
            if (devNull >= 0) {
                dup2(devNull, STDOUT_FILENO);
                dup2(devNull, STDERR_FILENO);
            }
            // A long client timeout: parallel test runs load the machine, and a slow client must not
            // be thrown out of the graph.
            std::vector<const char*> args{"jackd", "-n",  name_.c_str(), realtime ? "--realtime" : "--no-realtime",
                                          "-t",    "5000"};
            if (synchronous) args.push_back("-S");
            for (const char* a : {"-d", "dummy", "-r", rateText.c_str(), "-p", periodText.c_str()}) args.push_back(a);
            args.push_back(nullptr);
            execvp("jackd", const_cast<char* const*>(args.data()));
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
            // Up means: a client gets in and the dummy device's ports are there (they appear a
            // moment after the server accepts clients).
            jack_status_t st;
            if (!monitor_) monitor_ = jack_client_open("veltrane-monitor", JackNoStartServer, &st);
            if (monitor_) {
                const char** ports = jack_get_ports(monitor_, "system:", JACK_DEFAULT_AUDIO_TYPE, 0);
                int count = 0;
                for (const char** p = ports; p && *p; ++p) ++count;
                jack_free(ports);
                if (count >= 4) return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        stop();
        return "jackd did not come up within 10 s";
    }

    void stop()
    {
        if (monitor_) {
            jack_client_close(monitor_);
            monitor_ = nullptr;
        }
        if (pid_ <= 0) {
            unlock();
            return;
        }
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
        unlock();
    }

    const std::string& name() const { return name_; }

    // The server's frame clock: frames the device has played since it started.
    std::int64_t frameTime() const { return monitor_ ? static_cast<std::int64_t>(jack_frame_time(monitor_)) : 0; }

private:
    std::string lock()
    {
        // Read-only is enough for flock, and works on a lock file another user created.
        lockFd_ = open("/tmp/veltrane-jack-tests.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (lockFd_ < 0) return std::string("cannot open the JACK test lock: ") + std::strerror(errno);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
        while (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                unlock();
                return "another test held the JACK test lock for 300 s";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return {};
    }

    void unlock()
    {
        if (lockFd_ >= 0) {
            close(lockFd_); // releases the lock
            lockFd_ = -1;
        }
    }

    int lockFd_ = -1;
    jack_client_t* monitor_ = nullptr;
    pid_t pid_ = -1;
    std::string name_;
};

} // namespace veltrane::testsupport
