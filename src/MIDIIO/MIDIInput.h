#pragma once
// MIDI from every source at once: every online source connected, the list of them kept up to date
// and observable, and each incoming message decoded and handed, on the main thread, to one callback
// with the id of the source it came from.
//
// The MIDI system gives no word when ports come and go: while running, the input looks at the
// system's sources on a main-queue timer (`pollInterval`) and connects new ones and drops vanished
// ones by port name. Messages are decoded on the system's thread; the events of one message travel
// to the main queue as one task and are delivered only while the input's generation (bumped by
// every start and stop) is the one they were received under, and while `onEvent` is set.
//
// `sources` and `isRunning` follow the program's change-notification rule (Observable): an equal
// write notifies nobody. Everything else is main-thread state too.
#include "MIDIIO/MIDIEvent.h"
#include "Platform/Midi/MidiPorts.h"
#include "Platform/Queues/MainQueue.h"
#include "Support/Observable.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrane {

class MIDIInput {
public:
    struct Source {
        std::int32_t id = 0; // the identity
        std::string name;
        friend bool operator==(const Source&, const Source&) = default;
    };

    class Failure : public std::runtime_error {
    public:
        enum class Kind { clientNotCreated, portNotCreated };
        Failure(Kind kind, std::int32_t status);
        Kind kind;
        std::int32_t status;
        friend bool operator==(const Failure& a, const Failure& b) { return a.kind == b.kind && a.status == b.status; }
    };

    using EventCallback = std::function<void(const MIDIEvent& event, std::int32_t sourceID)>;

    static constexpr double pollInterval = 1.0; // seconds
    static constexpr const char* unnamedSource = "MIDI source";

    explicit MIDIInput(std::string clientName, MidiBackend backend = MidiBackend::automatic,
                       MainQueue& queue = MainQueue::main());
    ~MIDIInput();
    MIDIInput(const MIDIInput&) = delete;
    MIDIInput& operator=(const MIDIInput&) = delete;

    // Connects every source and starts watching the list. With no MIDI system there are no sources
    // (one that appears later is found by the polling). Does nothing while running.
    void start();
    // Drops every connection and the sources; events still on their way are not delivered.
    void stop();
    // Brings the connections and `sources` up to date with the system now; nothing while stopped.
    void refresh();

    const Observable<std::vector<Source>>& sources() const { return sources_; }
    const Observable<bool>& isRunning() const { return isRunning_; }
    std::vector<std::string> sourceNames() const;

    // Receiver of every event; may be changed or cleared at any time, also from inside itself.
    EventCallback onEvent;

    // Sources never connected (the program's own output among them). Every change refreshes at once.
    const std::set<std::int32_t>& ignoredSourceIDs() const { return ignoredSourceIDs_; }
    void setIgnoredSourceIDs(std::set<std::int32_t> ids);

    const std::string& clientName() const { return clientName_; }
    MidiBackend backend() const { return client_ ? client_->backend() : MidiBackend::none; }

private:
    struct Anchor; // what the system's threads hold of the input, weakly
    class Receiver;

    void deliver(std::uint64_t generation, std::int32_t id, const std::vector<MIDIEvent>& events);

    std::string clientName_;
    MidiBackend backendWanted_;
    MainQueue& queue_;
    Observable<std::vector<Source>> sources_;
    Observable<bool> isRunning_{false};
    std::set<std::int32_t> ignoredSourceIDs_;
    std::unique_ptr<MidiInputClient> client_; // made on the first start and kept
    struct Connection {
        std::int32_t id;
        std::unique_ptr<Receiver> receiver;
    };
    std::map<std::string, Connection> connected_; // by port name
    std::uint64_t generation_ = 0;
    std::shared_ptr<Anchor> anchor_;
    MainQueue::TimerId timer_ = 0;
};

} // namespace veltrane
