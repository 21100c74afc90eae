#include "MIDIIO/MIDIInput.h"

#include <algorithm>

namespace veltrane {

struct MIDIInput::Anchor {
    MIDIInput* input; // null once the input is gone; read and written on the main thread only
};

// One per connected source; called on the system's thread.
class MIDIInput::Receiver final : public MidiReceiver {
public:
    Receiver(std::weak_ptr<Anchor> anchor, MainQueue& queue, std::uint64_t generation, std::int32_t id)
        : anchor_(std::move(anchor)), queue_(queue), generation_(generation), id_(id)
    {}

    void receiveMidi(const std::uint8_t* bytes, std::size_t count) noexcept override
    {
        try {
            std::vector<MIDIEvent> events = UMP::events(bytes, count);
            if (events.empty() || anchor_.expired()) return;
            queue_.post([anchor = anchor_, generation = generation_, id = id_, events = std::move(events)] {
                if (const auto a = anchor.lock(); a && a->input) a->input->deliver(generation, id, events);
            });
        } catch (const std::bad_alloc&) {
            // Out of memory on the system's thread: this message is lost, the next may get through.
        }
    }

private:
    std::weak_ptr<Anchor> anchor_;
    MainQueue& queue_;
    std::uint64_t generation_;
    std::int32_t id_;
};

namespace {
const char* kindText(MIDIInput::Failure::Kind kind)
{
    return kind == MIDIInput::Failure::Kind::clientNotCreated ? "clientNotCreated" : "portNotCreated";
}
} // namespace

MIDIInput::Failure::Failure(Kind kind, std::int32_t status)
    : std::runtime_error(std::string(kindText(kind)) + "(" + std::to_string(status) + ")"), kind(kind), status(status)
{}

MIDIInput::MIDIInput(std::string clientName, MidiBackend backend, MainQueue& queue)
    : clientName_(std::move(clientName)), backendWanted_(backend), queue_(queue),
      anchor_(std::make_shared<Anchor>(Anchor{this}))
{}

MIDIInput::~MIDIInput()
{
    stop();
    anchor_->input = nullptr;
}

void MIDIInput::start()
{
    if (isRunning_.get()) return;
    if (!client_) client_ = std::make_unique<MidiInputClient>(MidiClientDesc{backendWanted_, clientName_});
    ++generation_;
    isRunning_.set(true);
    timer_ = queue_.addTimer(pollInterval, [this] { refresh(); });
    refresh();
}

void MIDIInput::stop()
{
    if (!isRunning_.get()) return;
    queue_.cancelTimer(timer_);
    timer_ = 0;
    for (const auto& [key, connection] : connected_) client_->disconnect(key);
    connected_.clear();
    ++generation_;
    isRunning_.set(false);
    sources_.set({});
}

void MIDIInput::refresh()
{
    if (!isRunning_.get()) return;
    std::map<std::string, MidiSourceInfo> found;
    for (MidiSourceInfo& s : client_->sources())
        if (!ignoredSourceIDs_.contains(s.id)) found.emplace(s.key, std::move(s));

    for (auto it = connected_.begin(); it != connected_.end();) {
        const auto f = found.find(it->first);
        if (f == found.end() || f->second.id != it->second.id) {
            client_->disconnect(it->first);
            it = connected_.erase(it);
        } else {
            ++it;
        }
    }

    std::vector<Source> list;
    for (const auto& [key, info] : found) {
        if (!connected_.contains(key)) {
            auto receiver = std::make_unique<Receiver>(anchor_, queue_, generation_, info.id);
            // A source that refuses is left out and tried again at the next refresh.
            if (!client_->connect(key, clientName_ + " In", *receiver)) continue;
            connected_.emplace(key, Connection{info.id, std::move(receiver)});
        }
        if (!info.offline) list.push_back(Source{info.id, info.name.empty() ? unnamedSource : info.name});
    }
    std::sort(list.begin(), list.end(),
              [](const Source& a, const Source& b) { return a.name != b.name ? a.name < b.name : a.id < b.id; });
    sources_.set(std::move(list));
}

std::vector<std::string> MIDIInput::sourceNames() const
{
    std::vector<std::string> names;
    for (const Source& s : sources_.get()) names.push_back(s.name);
    return names;
}

void MIDIInput::setIgnoredSourceIDs(std::set<std::int32_t> ids)
{
    ignoredSourceIDs_ = std::move(ids);
    refresh();
}

void MIDIInput::deliver(std::uint64_t generation, std::int32_t id, const std::vector<MIDIEvent>& events)
{
    for (const MIDIEvent& event : events) {
        if (generation != generation_ || !onEvent) return;
        // A copy: the callback may clear or replace `onEvent` while it runs.
        const EventCallback callback = onEvent;
        callback(event, id);
    }
}

} // namespace veltrane
