#include "Platform/Midi/MidiPorts.h"
#include "Platform/Midi/MidiSystem.h"

#include <rtmidi/RtMidi.h>

namespace veltrane {

namespace {

struct Connection {
    MidiReceiver* receiver = nullptr;
    std::unique_ptr<RtMidiIn> rt; // null on the dummy system
    bool failed = false;
};

void onError(RtMidiError::Type type, const std::string&, void* user)
{
    if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING && user)
        static_cast<Connection*>(user)->failed = true;
}

void onMessage(double, std::vector<unsigned char>* message, void* user)
{
    if (message && !message->empty())
        static_cast<Connection*>(user)->receiver->receiveMidi(message->data(), message->size());
}

std::unique_ptr<RtMidiIn> openRt(RtMidi::Api api, const std::string& clientName, Connection* errors)
{
    try {
        auto rt = std::make_unique<RtMidiIn>(api, clientName);
        rt->setErrorCallback(onError, errors);
        return rt;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

} // namespace

struct MidiInputClient::Impl {
    MidiClientDesc desc;
    MidiBackend backend = MidiBackend::none;
    RtMidi::Api api = RtMidi::UNSPECIFIED;
    std::unique_ptr<RtMidiIn> lister; // the system's source list
    std::map<std::string, std::unique_ptr<Connection>> connections;

    void find()
    {
        if (backend != MidiBackend::none) return;
        if (desc.backend == MidiBackend::dummy) {
            backend = MidiBackend::dummy;
            return;
        }
        midisystem::silenceLibraries();
        const bool jackWanted = desc.backend == MidiBackend::automatic || desc.backend == MidiBackend::jack;
        const bool alsaWanted = desc.backend == MidiBackend::automatic || desc.backend == MidiBackend::alsa;
        // RtMidi's JACK client complains on standard error when no server answers: ask first.
        if (jackWanted && midisystem::jackServerRuns() &&
            (lister = openRt(RtMidi::UNIX_JACK, desc.clientName, nullptr))) {
            backend = MidiBackend::jack;
            api = RtMidi::UNIX_JACK;
        } else if (alsaWanted && midisystem::alsaSequencerOpens() &&
                   (lister = openRt(RtMidi::LINUX_ALSA, desc.clientName, nullptr))) {
            backend = MidiBackend::alsa;
            api = RtMidi::LINUX_ALSA;
        }
    }

    std::vector<std::string> portNames()
    {
        std::vector<std::string> names;
        const unsigned count = lister->getPortCount();
        for (unsigned i = 0; i < count; ++i)
            if (std::string name = lister->getPortName(i); !name.empty()) names.push_back(std::move(name));
        return names;
    }
};

MidiInputClient::MidiInputClient(const MidiClientDesc& desc) : impl_(std::make_unique<Impl>())
{
    impl_->desc = desc;
    if (impl_->desc.clientName.empty()) impl_->desc.clientName = "Veltrane";
}

MidiInputClient::~MidiInputClient()
{
    while (!impl_->connections.empty()) disconnect(impl_->connections.begin()->first);
}

MidiBackend MidiInputClient::backend() const { return impl_->backend; }

std::vector<MidiSourceInfo> MidiInputClient::sources()
{
    impl_->find();
    if (impl_->backend == MidiBackend::dummy) return midisystem::dummySources();
    std::vector<MidiSourceInfo> out;
    if (!impl_->lister) return out;
    for (std::string& name : impl_->portNames()) {
        const std::int32_t id = midiPortId(name);
        out.push_back(MidiSourceInfo{name, name, id, false});
    }
    return out;
}

bool MidiInputClient::connect(const std::string& key, const std::string& portName, MidiReceiver& receiver)
{
    impl_->find();
    if (impl_->connections.contains(key) || impl_->backend == MidiBackend::none) return false;
    auto connection = std::make_unique<Connection>();
    connection->receiver = &receiver;
    if (impl_->backend == MidiBackend::dummy) {
        bool ok = false;
        midisystem::dummyConnect(key, receiver, ok);
        if (!ok) return false;
    } else {
        const auto names = impl_->portNames();
        const auto at = std::find(names.begin(), names.end(), key);
        if (at == names.end()) return false;
        connection->rt = openRt(impl_->api, impl_->desc.clientName, connection.get());
        if (!connection->rt) return false;
        try {
            // Everything through: the decoder above skips what it does not use, in one place.
            connection->rt->ignoreTypes(false, false, false);
            connection->rt->setCallback(onMessage, connection.get());
            connection->rt->openPort(static_cast<unsigned>(at - names.begin()), portName);
        } catch (const RtMidiError&) {
            connection->failed = true;
        }
        if (connection->failed) return false;
    }
    impl_->connections.emplace(key, std::move(connection));
    return true;
}

void MidiInputClient::disconnect(const std::string& key)
{
    const auto it = impl_->connections.find(key);
    if (it == impl_->connections.end()) return;
    if (impl_->backend == MidiBackend::dummy) midisystem::dummyDisconnect(key, *it->second->receiver);
    // Destroying the RtMidi client closes its port and waits for a callback under way.
    impl_->connections.erase(it);
}

} // namespace veltrane
