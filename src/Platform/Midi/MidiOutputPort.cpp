#include "Platform/Midi/MidiPorts.h"
#include "Platform/Midi/MidiSystem.h"
#include "Platform/Midi/TimedMidiQueue.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <rtmidi/RtMidi.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace veltrane {

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t hostNow() noexcept
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

// The MIDI 1.0 bytes of one UMP word, or 0 for a word this layer does not send.
std::uint8_t bytesOf(std::uint32_t word, std::uint8_t out[3]) noexcept
{
    const std::uint8_t status = static_cast<std::uint8_t>(word >> 16);
    switch (word >> 28) {
    case 1:
        if (status < 0xF8) return 0;
        out[0] = status;
        return 1;
    case 2: {
        if (status < 0x80 || status >= 0xF0) return 0;
        out[0] = status;
        out[1] = static_cast<std::uint8_t>(word >> 8) & 0x7F;
        out[2] = static_cast<std::uint8_t>(word) & 0x7F;
        const std::uint8_t high = status & 0xF0;
        return high == 0xC0 || high == 0xD0 ? 2 : 3;
    }
    default: return 0;
    }
}

void quietRtMidi(RtMidiError::Type, const std::string&, void*) {}

} // namespace

struct MidiOutputPort::Impl {
    explicit Impl(std::size_t capacity) : queue(capacity) {}

    midiqueue::TimedMidiQueue queue;

    // JACK: the process callback is the consumer.
    jack_client_t* client = nullptr;
    jack_port_t* port = nullptr;
    std::int64_t jackOffset = 0; // JACK microseconds minus host microseconds; process thread only
    bool offsetKnown = false;

    // ALSA and dummy: a scheduler thread is the consumer and `sink` sends one message.
    std::function<void(const std::uint8_t*, std::size_t)> sink;
    std::unique_ptr<RtMidiOut> rtOut;
    std::thread thread;
    std::mutex wakeMutex;
    std::condition_variable wake;
    bool quit = false; // under wakeMutex

    // Real-time: JACK's process thread.
    static int process(jack_nframes_t frames, void* arg) noexcept
    {
        Impl& self = *static_cast<Impl*>(arg);
        void* buffer = jack_port_get_buffer(self.port, frames);
        jack_midi_clear_buffer(buffer);
        self.queue.drain();
        const jack_nframes_t start = jack_last_frame_time(self.client);
        // JACK's clock need not be the steady clock (jackd may count on CLOCK_MONOTONIC_RAW, which
        // drifts from it by parts per million): their difference is read every period and kept from
        // a reading that no preemption split.
        const auto j0 = static_cast<std::int64_t>(jack_get_time());
        const auto h = static_cast<std::int64_t>(hostNow() / 1000);
        const auto j1 = static_cast<std::int64_t>(jack_get_time());
        if (j1 - j0 <= 20 || !self.offsetKnown) {
            self.jackOffset = (j0 + j1) / 2 - h;
            self.offsetKnown = true;
        }
        const std::int64_t jackOffset = self.jackOffset;
        jack_nframes_t last = 0;
        while (const midiqueue::Message* m = self.queue.top()) {
            jack_nframes_t offset = 0;
            if (m->time != 0) {
                const auto us =
                    static_cast<std::int64_t>(std::min<std::uint64_t>(m->time / 1000, std::uint64_t{1} << 62)) +
                    jackOffset;
                const jack_nframes_t at =
                    jack_time_to_frames(self.client, static_cast<jack_time_t>(std::max<std::int64_t>(us, 0)));
                const auto ahead = static_cast<std::int32_t>(at - start);
                if (ahead >= static_cast<std::int32_t>(frames)) break; // a later period's
                offset = ahead > 0 ? static_cast<jack_nframes_t>(ahead) : 0;
            }
            offset = std::max(offset, last); // events of a period go in frame order
            jack_midi_event_write(buffer, offset, m->bytes, m->size);
            last = offset;
            self.queue.pop();
        }
        return 0;
    }

    void runScheduler()
    {
        std::unique_lock lock(wakeMutex);
        while (!quit) {
            lock.unlock();
            queue.drain();
            const std::uint64_t now = hostNow();
            while (const midiqueue::Message* m = queue.top()) {
                if (m->time > now) break;
                sink(m->bytes, m->size);
                queue.pop();
            }
            lock.lock();
            if (quit || queue.hasUnread()) continue;
            const std::uint64_t next = queue.earliest();
            if (next == std::numeric_limits<std::uint64_t>::max())
                wake.wait(lock);
            else
                wake.wait_until(lock,
                                Clock::time_point(std::chrono::nanoseconds(std::min<std::uint64_t>(
                                    next, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())))));
        }
    }

    void startScheduler()
    {
        quit = false;
        thread = std::thread([this] { runScheduler(); });
    }

    void stopScheduler()
    {
        if (!thread.joinable()) return;
        {
            std::lock_guard lock(wakeMutex);
            quit = true;
        }
        wake.notify_one();
        thread.join();
    }
};

MidiOutputPort::MidiOutputPort(const MidiOutputDesc& desc) : desc_(desc)
{
    if (desc_.portName.empty()) desc_.portName = "Veltrane";
    if (desc_.clientName.empty()) desc_.clientName = desc_.portName + " Out";
    impl_ = std::make_unique<Impl>(desc_.queueCapacity);
}

MidiOutputPort::~MidiOutputPort() { close(); }

bool MidiOutputPort::open()
{
    if (open_) return true;
    midisystem::silenceLibraries();
    Impl& impl = *impl_;
    const MidiBackend wanted = desc_.backend;
    const bool jackWanted = wanted == MidiBackend::automatic || wanted == MidiBackend::jack;
    const bool alsaWanted = wanted == MidiBackend::automatic || wanted == MidiBackend::alsa;
    if (wanted == MidiBackend::dummy) {
        fullName_ = desc_.clientName + ":" + desc_.portName;
        id_ = midiPortId(fullName_);
        MidiDummy::addSource(fullName_, desc_.portName, id_);
        const std::string key = fullName_;
        impl.sink = [key](const std::uint8_t* bytes, std::size_t count) {
            midisystem::dummyDeliver(key, bytes, count);
        };
        impl.startScheduler();
        backend_ = MidiBackend::dummy;
    } else if (jackWanted && midisystem::jackServerRuns()) {
        jack_status_t status{};
        impl.client = jack_client_open(desc_.clientName.c_str(), JackNoStartServer, &status);
        if (!impl.client)
            throw MidiError("JACK client not created", MidiError::Stage::client, static_cast<int>(status));
        impl.port =
            jack_port_register(impl.client, desc_.portName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (!impl.port || jack_set_process_callback(impl.client, &Impl::process, &impl) != 0 ||
            jack_activate(impl.client) != 0) {
            jack_client_close(impl.client);
            impl.client = nullptr;
            impl.port = nullptr;
            throw MidiError("JACK MIDI port not created", MidiError::Stage::port, -1);
        }
        fullName_ = jack_port_name(impl.port);
        id_ = midiPortId(fullName_);
        backend_ = MidiBackend::jack;
    } else if (alsaWanted && midisystem::alsaSequencerOpens()) {
        std::vector<std::string> before;
        try {
            RtMidiIn lister(RtMidi::LINUX_ALSA, desc_.clientName);
            lister.setErrorCallback(quietRtMidi);
            for (unsigned i = 0; i < lister.getPortCount(); ++i) before.push_back(lister.getPortName(i));
            impl.rtOut = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, desc_.clientName);
        } catch (const RtMidiError&) {
            return false; // no sequencer: the output is off
        }
        try {
            impl.rtOut->openVirtualPort(desc_.portName);
        } catch (const RtMidiError& e) {
            impl.rtOut.reset();
            throw MidiError(e.getMessage(), MidiError::Stage::port, -1);
        }
        impl.rtOut->setErrorCallback(quietRtMidi);
        // The sequencer numbers our client; the new port in the source list is ours.
        fullName_ = desc_.clientName + ":" + desc_.portName;
        try {
            RtMidiIn lister(RtMidi::LINUX_ALSA, desc_.clientName + " probe");
            lister.setErrorCallback(quietRtMidi);
            for (unsigned i = 0; i < lister.getPortCount(); ++i)
                if (const std::string name = lister.getPortName(i);
                    std::find(before.begin(), before.end(), name) == before.end() &&
                    name.find(desc_.portName) != std::string::npos)
                    fullName_ = name;
        } catch (const RtMidiError&) {}
        id_ = midiPortId(fullName_);
        RtMidiOut* out = impl.rtOut.get();
        impl.sink = [out](const std::uint8_t* bytes, std::size_t count) { out->sendMessage(bytes, count); };
        impl.startScheduler();
        backend_ = MidiBackend::alsa;
    } else {
        return false;
    }
    open_ = true;
    return true;
}

void MidiOutputPort::close(double drain)
{
    if (!open_) return;
    flush(drain);
    cancelPending();
    Impl& impl = *impl_;
    if (impl.client) {
        jack_deactivate(impl.client);
        jack_client_close(impl.client);
        impl.client = nullptr;
        impl.port = nullptr;
    }
    impl.stopScheduler();
    impl.sink = nullptr;
    impl.rtOut.reset();
    if (backend_ == MidiBackend::dummy) MidiDummy::removeSource(fullName_);
    // The next open starts from an empty queue.
    impl.queue.drain();
    open_ = false;
    fullName_.clear();
    id_ = 0;
    backend_ = MidiBackend::none;
}

bool MidiOutputPort::send(const std::uint32_t* words, std::size_t count, std::uint64_t hostTime) noexcept
{
    if (!open_) return false;
    bool all = true;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t bytes[3];
        if (const std::uint8_t size = bytesOf(words[i], bytes)) all = impl_->queue.push(hostTime, bytes, size) && all;
    }
    if (impl_->thread.joinable()) {
        // Taking the lock only orders this wake-up against the scheduler's check before it sleeps.
        {
            std::lock_guard lock(impl_->wakeMutex);
        }
        impl_->wake.notify_one();
    }
    return all;
}

void MidiOutputPort::cancelPending() noexcept { impl_->queue.cancel(); }

bool MidiOutputPort::flush(double seconds)
{
    if (!open_) return true;
    const std::uint64_t target = impl_->queue.pushed();
    const auto deadline = Clock::now() + std::chrono::duration<double>(std::max(seconds, 0.0));
    for (;;) {
        const std::uint64_t now = hostNow();
        if (impl_->queue.taken() >= target && impl_->queue.earliest() > now) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

std::uint64_t MidiOutputPort::dropped() const { return impl_->queue.dropped(); }

} // namespace veltrane
