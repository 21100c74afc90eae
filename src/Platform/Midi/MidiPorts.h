#pragma once
// MIDI ports of the machine's MIDI system: JACK MIDI when a JACK server runs, else the ALSA sequencer
// (both through RtMidi 5 for input; output on JACK through libjack itself, see below), and an
// in-process dummy system for headless tests.
//
// What it does:
//   - picks the system the way the audio layer does: with `MidiBackend::automatic`, JACK when a server
//     answers, else ALSA when the sequencer opens; with neither, `none`: no sources, outputs do not
//     open, nothing throws. A client that found none looks again at its next listing, so a server
//     started later is found;
//   - lists the sources (ports other programs send on) by their full names, each with an id derived
//     from that name (the same name gives the same id in every client and every run);
//   - connects one receiver to one source by name: the bytes of each message come to the receiver on
//     the system's thread (RtMidi's thread; on JACK the server's process thread), one complete MIDI 1.0
//     message per call as the system delivers it;
//   - opens a virtual output port others connect to, and sends MIDI 1.0 channel voice and system
//     real-time messages, given as UMP words, at host times (steady-clock nanoseconds; 0 = at once).
//     A send copies into a preallocated time-ordered queue and returns: it never waits and never
//     allocates; a full queue drops the message and says so. On JACK the process callback writes each
//     message at the frame of its time (JACK's clock read against the steady clock every period); RtMidi's JACK
//     output writes every message at the start of the next period, up to a period late, which is why
//     the output talks to libjack itself. On ALSA and the dummy system a scheduler thread sends each
//     message when its time comes.
// What it does not do: notify of plugging (callers poll the list, about once a second), start a server,
// send SysEx, or keep a source's identity across a rename.
//
// The dummy system lives in the process: tests add and remove sources, make them send, and see what
// outputs send (an output's port is a source of the dummy system, as a virtual port is elsewhere).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrane {

enum class MidiBackend { automatic, jack, alsa, dummy, none };

const char* toText(MidiBackend backend);

class MidiError : public std::runtime_error {
public:
    enum class Stage { client, port };
    MidiError(const std::string& what, Stage stage, int status) : std::runtime_error(what), stage(stage), status(status)
    {}
    Stage stage;
    int status; // negative: the layer's own; otherwise the system's
};

struct MidiSourceInfo {
    std::string key;  // the full port name: what a connection is made by
    std::string name; // for people: the port name ("" when the system gives none)
    std::int32_t id = 0;
    bool offline = false;

    friend bool operator==(const MidiSourceInfo&, const MidiSourceInfo&) = default;
};

// The id of a port from its full name (FNV-1a, 32 bits).
std::int32_t midiPortId(const std::string& fullName) noexcept;

class MidiReceiver {
public:
    virtual ~MidiReceiver() = default;
    // On the system's thread; the bytes are valid during the call only.
    virtual void receiveMidi(const std::uint8_t* bytes, std::size_t count) noexcept = 0;
};

struct MidiClientDesc {
    MidiBackend backend = MidiBackend::automatic;
    std::string clientName; // "": "Veltrane"
};

// Sources and connections to them. Main thread (or any one thread at a time).
class MidiInputClient {
public:
    explicit MidiInputClient(const MidiClientDesc& desc = {});
    ~MidiInputClient(); // disconnects everything
    MidiInputClient(const MidiInputClient&) = delete;
    MidiInputClient& operator=(const MidiInputClient&) = delete;

    // The system in use (`none` until one is found).
    MidiBackend backend() const;
    std::vector<MidiSourceInfo> sources();
    // Connects the receiver to the source named `key` through a port named `portName`; false when the
    // source is gone or the system refuses. One connection per key.
    bool connect(const std::string& key, const std::string& portName, MidiReceiver& receiver);
    // After it returns the receiver is called no more.
    void disconnect(const std::string& key);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

struct MidiOutputDesc {
    MidiBackend backend = MidiBackend::automatic;
    std::string clientName;           // "": portName + " Out"
    std::string portName;             // "": "Veltrane"
    std::size_t queueCapacity = 8192; // messages waiting to leave
};

class MidiOutputPort {
public:
    explicit MidiOutputPort(const MidiOutputDesc& desc = {});
    ~MidiOutputPort(); // closes, after what is due has left
    MidiOutputPort(const MidiOutputPort&) = delete;
    MidiOutputPort& operator=(const MidiOutputPort&) = delete;

    // Opens the virtual port: true when it exists, false when there is no MIDI system (the output
    // is off); throws MidiError when the system refuses the client or the port. Idempotent.
    bool open();
    // Messages due now leave first (waiting up to `drain` seconds for them); later ones are dropped.
    void close(double drain = 0.2);
    bool isOpen() const { return open_; }
    MidiBackend backend() const { return backend_; }
    // The port as the system's sources show it, and its id; empty and 0 while closed.
    const std::string& fullName() const { return fullName_; }
    std::int32_t id() const { return id_; }

    // Queues UMP words to leave at `hostTime`; words that are not one-word MIDI 1.0 channel voice or
    // system real-time messages are skipped. False when the port is closed or the queue is full
    // (the words that did not fit are dropped). Any thread, one at a time; never blocks.
    bool send(const std::uint32_t* words, std::size_t count, std::uint64_t hostTime) noexcept;
    // Drops every queued message not yet sent; messages sent after this call are kept.
    void cancelPending() noexcept;
    // Waits up to `seconds` until every queued message due by now has left; true when they have.
    bool flush(double seconds);
    // Messages dropped because the queue was full.
    std::uint64_t dropped() const;

    struct Impl;

private:
    MidiOutputDesc desc_;
    MidiBackend backend_ = MidiBackend::none;
    bool open_ = false;
    std::string fullName_;
    std::int32_t id_ = 0;
    std::unique_ptr<Impl> impl_;
};

// The in-process system of MidiBackend::dummy.
namespace MidiDummy {

void reset(); // no sources, no connections
// A source with its full name, the name people see and its id; `refuseConnections` makes connecting
// to it fail.
void addSource(const std::string& key, const std::string& name, std::int32_t id, bool offline = false,
               bool refuseConnections = false);
void removeSource(const std::string& key);
// Delivers the bytes to every receiver connected to the source, on the calling thread; false when
// nobody is connected.
bool send(const std::string& key, const std::vector<std::uint8_t>& bytes);
int connectionCount(const std::string& key);
// Called on the output's scheduler thread with each message an output sends, as it leaves.
void setOutputTap(std::function<void(const std::string& port, const std::uint8_t* bytes, std::size_t count)> tap);

} // namespace MidiDummy

} // namespace veltrane
