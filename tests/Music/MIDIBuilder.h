#pragma once
// Writes small Standard MIDI Files byte by byte for tests: each call appends exactly the bytes named,
// so a test can also write malformed files.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace veltrane::test {

using Bytes = std::vector<uint8_t>;

inline void putVarLen(Bytes& out, uint32_t value)
{
    uint8_t groups[5];
    int n = 0;
    do {
        groups[n++] = value & 0x7F;
        value >>= 7;
    } while (value);
    while (n > 1) out.push_back(groups[--n] | 0x80);
    out.push_back(groups[0]);
}

inline void put32(Bytes& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

inline void put16(Bytes& out, uint32_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

class TrackBuilder {
public:
    // A delta time and raw event bytes (status included or left out for running status).
    TrackBuilder& event(uint32_t delta, std::initializer_list<uint8_t> bytes)
    {
        putVarLen(bytes_, delta);
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }
    TrackBuilder& on(uint32_t delta, int key, int velocity = 100, int channel = 0)
    {
        return event(delta, {uint8_t(0x90 | channel), uint8_t(key), uint8_t(velocity)});
    }
    TrackBuilder& off(uint32_t delta, int key, int channel = 0)
    {
        return event(delta, {uint8_t(0x80 | channel), uint8_t(key), 64});
    }
    TrackBuilder& meta(uint32_t delta, uint8_t type, const Bytes& data)
    {
        putVarLen(bytes_, delta);
        bytes_.push_back(0xFF);
        bytes_.push_back(type);
        putVarLen(bytes_, uint32_t(data.size()));
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    TrackBuilder& name(const std::string& text, uint32_t delta = 0)
    {
        return meta(delta, 0x03, Bytes(text.begin(), text.end()));
    }
    TrackBuilder& tempo(uint32_t microseconds, uint32_t delta = 0)
    {
        return meta(delta, 0x51, {uint8_t(microseconds >> 16), uint8_t(microseconds >> 8), uint8_t(microseconds)});
    }
    TrackBuilder& timeSignature(int numerator, int power, uint32_t delta = 0)
    {
        return meta(delta, 0x58, {uint8_t(numerator), uint8_t(power), 24, 8});
    }
    TrackBuilder& keySignature(int sharps, bool minor, uint32_t delta = 0)
    {
        return meta(delta, 0x59, {uint8_t(int8_t(sharps)), uint8_t(minor ? 1 : 0)});
    }
    TrackBuilder& end(uint32_t delta = 0) { return meta(delta, 0x2F, {}); }
    TrackBuilder& raw(std::initializer_list<uint8_t> bytes)
    {
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }
    // A sequence of notes on one channel, each `length` ticks, one after another.
    TrackBuilder& melody(std::initializer_list<int> keys, uint32_t length, int velocity = 100, int channel = 0)
    {
        for (int key : keys) on(0, key, velocity, channel).off(length, key, channel);
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

inline Bytes chunk(const char* id, const Bytes& body, uint32_t declaredSize)
{
    Bytes out(id, id + 4);
    put32(out, declaredSize);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline Bytes chunk(const char* id, const Bytes& body) { return chunk(id, body, uint32_t(body.size())); }

inline Bytes header(int format, int trackCount, int division, uint32_t length = 6)
{
    Bytes body;
    put16(body, format);
    put16(body, trackCount);
    put16(body, division);
    body.resize(length, 0);
    return chunk("MThd", body, length);
}

// A complete file: header, then one MTrk chunk per track.
inline Bytes smf(int format, int division, const std::vector<TrackBuilder>& tracks)
{
    Bytes out = header(format, int(tracks.size()), division);
    for (const auto& t : tracks) {
        Bytes c = chunk("MTrk", t.bytes());
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace veltrane::test
