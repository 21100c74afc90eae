#pragma once
// Another program on the private JACK server (see JackServer.h): a JACK MIDI client of its own with
// output ports that send what the test queues, and input ports that record what arrives with its
// JACK frame time. The process callback takes a lock: the test server runs without real-time
// scheduling, and this peer measures, it does not perform.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace veltrane::testsupport {

class JackMidiPeer {
public:
    struct Message {
        std::vector<std::uint8_t> bytes;
        std::int64_t frame = 0;   // JACK frame time it was written or read at
        std::uint64_t hostNs = 0; // steady clock when the process callback handled it
        // The steady-clock time JACK gives the frame, read in the period that handled it (a later
        // reading may map it elsewhere: the dummy backend's rate wanders on a loaded machine).
        std::int64_t frameHostNs = 0;
    };

    JackMidiPeer() = default;
    ~JackMidiPeer() { close(); }
    JackMidiPeer(const JackMidiPeer&) = delete;
    JackMidiPeer& operator=(const JackMidiPeer&) = delete;

    bool open(const char* name)
    {
        jack_status_t status;
        client_ = jack_client_open(name, JackNoStartServer, &status);
        if (!client_) return false;
        jack_set_process_callback(client_, &JackMidiPeer::process, this);
        return jack_activate(client_) == 0;
    }

    void close()
    {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
            client_ = nullptr;
        }
    }

    // Returns the port's full name, "" on failure.
    std::string addOutput(const char* name) { return add(name, JackPortIsOutput); }
    std::string addInput(const char* name) { return add(name, JackPortIsInput); }
    void removePort(const std::string& fullName)
    {
        std::lock_guard lock(mutex_);
        for (auto it = ports_.begin(); it != ports_.end(); ++it)
            if (jack_port_name(it->port) == fullName) {
                jack_port_unregister(client_, it->port);
                ports_.erase(it);
                return;
            }
    }
    bool connect(const std::string& from, const std::string& to)
    {
        return jack_connect(client_, from.c_str(), to.c_str()) == 0;
    }

    // Written at offset 0 of a coming period, at most `perPeriod` messages a period, in order.
    void send(const std::string& port, std::vector<std::uint8_t> bytes)
    {
        std::lock_guard lock(mutex_);
        for (Port& p : ports_)
            if (jack_port_name(p.port) == port) p.outgoing.push_back(Message{std::move(bytes)});
    }
    std::size_t perPeriod = 1000;

    std::vector<Message> sent(const std::string& port) { return take(port, &Port::done); }
    std::vector<Message> received(const std::string& port) { return take(port, &Port::incoming); }

    jack_client_t* client() const { return client_; }

    static std::uint64_t hostNow()
    {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    }

private:
    struct Port {
        jack_port_t* port;
        bool output;
        std::deque<Message> outgoing;
        std::vector<Message> done, incoming;
    };

    std::string add(const char* name, unsigned long flags)
    {
        std::lock_guard lock(mutex_);
        jack_port_t* port = jack_port_register(client_, name, JACK_DEFAULT_MIDI_TYPE, flags, 0);
        if (!port) return {};
        ports_.push_back(Port{port, flags == JackPortIsOutput, {}, {}, {}});
        return jack_port_name(port);
    }

    std::vector<Message> take(const std::string& port, std::vector<Message> Port::*list)
    {
        std::lock_guard lock(mutex_);
        for (Port& p : ports_)
            if (jack_port_name(p.port) == port) return std::exchange(p.*list, {});
        return {};
    }

    static int process(jack_nframes_t frames, void* arg)
    {
        auto& self = *static_cast<JackMidiPeer*>(arg);
        const std::int64_t start = jack_last_frame_time(self.client_);
        const auto j0 = static_cast<std::int64_t>(jack_get_time());
        const auto h = static_cast<std::int64_t>(hostNow() / 1000);
        const auto j1 = static_cast<std::int64_t>(jack_get_time());
        if (j1 - j0 <= 20 || !self.offsetKnown_) {
            self.jackOffsetUs_ = (j0 + j1) / 2 - h;
            self.offsetKnown_ = true;
        }
        const auto frameHostNs = [&](std::int64_t frame) {
            return (static_cast<std::int64_t>(jack_frames_to_time(self.client_, static_cast<jack_nframes_t>(frame))) -
                    self.jackOffsetUs_) *
                   1000;
        };
        std::lock_guard lock(self.mutex_);
        for (Port& p : self.ports_) {
            void* buffer = jack_port_get_buffer(p.port, frames);
            if (p.output) {
                jack_midi_clear_buffer(buffer);
                for (std::size_t n = 0; n < self.perPeriod && !p.outgoing.empty(); ++n) {
                    Message m = std::move(p.outgoing.front());
                    p.outgoing.pop_front();
                    if (jack_midi_event_write(buffer, 0, m.bytes.data(), m.bytes.size()) != 0) {
                        p.outgoing.push_front(std::move(m)); // the period's buffer is full
                        break;
                    }
                    m.frame = start;
                    m.hostNs = hostNow();
                    m.frameHostNs = frameHostNs(start);
                    p.done.push_back(std::move(m));
                }
            } else {
                const std::uint32_t count = jack_midi_get_event_count(buffer);
                for (std::uint32_t i = 0; i < count; ++i) {
                    jack_midi_event_t e;
                    if (jack_midi_event_get(&e, buffer, i) == 0)
                        p.incoming.push_back(Message{std::vector<std::uint8_t>(e.buffer, e.buffer + e.size),
                                                     start + e.time, hostNow(), frameHostNs(start + e.time)});
                }
            }
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::int64_t jackOffsetUs_ = 0; // JACK microseconds minus steady microseconds; process thread
    bool offsetKnown_ = false;
    std::mutex mutex_;
    std::vector<Port> ports_;
};

} // namespace veltrane::testsupport
