#include "Platform/Midi/MidiSystem.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <algorithm>
#include <mutex>

namespace veltrane {

const char* toText(MidiBackend backend)
{
    switch (backend) {
    case MidiBackend::automatic: return "automatic";
    case MidiBackend::jack: return "JACK";
    case MidiBackend::alsa: return "ALSA";
    case MidiBackend::dummy: return "dummy";
    case MidiBackend::none: return "none";
    }
    return "none";
}

std::int32_t midiPortId(const std::string& fullName) noexcept
{
    std::uint32_t h = 2166136261u;
    for (unsigned char c : fullName) {
        h ^= c;
        h *= 16777619u;
    }
    return static_cast<std::int32_t>(h);
}

namespace midisystem {

namespace {
void quietJack(const char*) {}
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

struct Dummy {
    struct Source {
        MidiSourceInfo info;
        bool refuse = false;
    };
    std::recursive_mutex mutex; // held while receivers run: a disconnect waits for a delivery under way
    std::vector<Source> sources;
    std::vector<std::pair<std::string, MidiReceiver*>> connections;
    std::function<void(const std::string&, const std::uint8_t*, std::size_t)> tap;
};

Dummy& dummy()
{
    static Dummy d;
    return d;
}

// Caller holds the mutex.
bool deliver(Dummy& d, const std::string& key, const std::uint8_t* bytes, std::size_t count)
{
    bool any = false;
    for (const auto& [k, receiver] : d.connections)
        if (k == key) {
            receiver->receiveMidi(bytes, count);
            any = true;
        }
    return any;
}
} // namespace

void silenceLibraries()
{
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(quietJack);
        jack_set_info_function(quietJack);
        snd_lib_error_set_handler(quietAlsa);
    });
}

bool jackServerRuns()
{
    silenceLibraries();
    jack_status_t status;
    jack_client_t* probe = jack_client_open("veltrane-probe", JackNoStartServer, &status);
    if (!probe) return false;
    jack_client_close(probe);
    return true;
}

bool alsaSequencerOpens()
{
    silenceLibraries();
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return false;
    snd_seq_close(seq);
    return true;
}

void dummyConnect(const std::string& key, MidiReceiver& receiver, bool& ok)
{
    Dummy& d = dummy();
    std::lock_guard lock(d.mutex);
    const auto it = std::find_if(d.sources.begin(), d.sources.end(), [&](const auto& s) { return s.info.key == key; });
    ok = it != d.sources.end() && !it->refuse;
    if (ok) d.connections.emplace_back(key, &receiver);
}

void dummyDisconnect(const std::string& key, MidiReceiver& receiver)
{
    Dummy& d = dummy();
    std::lock_guard lock(d.mutex);
    std::erase_if(d.connections, [&](const auto& c) { return c.first == key && c.second == &receiver; });
}

std::vector<MidiSourceInfo> dummySources()
{
    Dummy& d = dummy();
    std::lock_guard lock(d.mutex);
    std::vector<MidiSourceInfo> out;
    for (const auto& s : d.sources) out.push_back(s.info);
    return out;
}

void dummyDeliver(const std::string& key, const std::uint8_t* bytes, std::size_t count)
{
    Dummy& d = dummy();
    std::lock_guard lock(d.mutex);
    deliver(d, key, bytes, count);
    if (d.tap) d.tap(key, bytes, count);
}

} // namespace midisystem

namespace MidiDummy {

using midisystem::deliver;
using midisystem::dummy;

void reset()
{
    auto& d = dummy();
    std::lock_guard lock(d.mutex);
    d.sources.clear();
    d.connections.clear();
    d.tap = nullptr;
}

void addSource(const std::string& key, const std::string& name, std::int32_t id, bool offline, bool refuseConnections)
{
    auto& d = dummy();
    std::lock_guard lock(d.mutex);
    d.sources.push_back({MidiSourceInfo{key, name, id, offline}, refuseConnections});
}

void removeSource(const std::string& key)
{
    auto& d = dummy();
    std::lock_guard lock(d.mutex);
    std::erase_if(d.sources, [&](const auto& s) { return s.info.key == key; });
    // As a system does when a port vanishes: its connections end.
    std::erase_if(d.connections, [&](const auto& c) { return c.first == key; });
}

bool send(const std::string& key, const std::vector<std::uint8_t>& bytes)
{
    auto& d = dummy();
    std::lock_guard lock(d.mutex);
    return deliver(d, key, bytes.data(), bytes.size());
}

int connectionCount(const std::string& key)
{
    auto& d = dummy();
    std::lock_guard lock(d.mutex);
    return static_cast<int>(
        std::count_if(d.connections.begin(), d.connections.end(), [&](const auto& c) { return c.first == key; }));
}

void setOutputTap(std::function<void(const std::string&, const std::uint8_t*, std::size_t)> tap)
{
    auto& d = dummy();
    std::lock_guard lock(d.mutex);
    d.tap = std::move(tap);
}

} // namespace MidiDummy

} // namespace veltrane
