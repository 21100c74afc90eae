#include "Music/MIDIFile.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace veltrane {

// MARK: - Failure

MIDIFile::Failure::Failure(Kind kind, std::string detail, const std::string& message)
    : std::runtime_error(message), kind_(kind), detail_(std::move(detail))
{}

MIDIFile::Failure MIDIFile::Failure::unsupported(std::string detail)
{
    std::string message = "This MIDI file uses " + detail + ", which Veltrane can't read.";
    return Failure(Kind::unsupported, std::move(detail), message);
}

MIDIFile::Failure MIDIFile::Failure::notMIDI() { return Failure(Kind::notMIDI, {}, "This isn't a MIDI file."); }

MIDIFile::Failure MIDIFile::Failure::truncated()
{
    return Failure(Kind::truncated, {}, "This MIDI file is cut short.");
}

MIDIFile::Failure MIDIFile::Failure::noNotes()
{
    return Failure(Kind::noNotes, {}, "This MIDI file has no notes to play.");
}

namespace {

// A cursor over bytes; every read fails with `truncated` when too few bytes remain.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    size_t remaining() const { return bytes_.size() - pos_; }
    bool atEnd() const { return pos_ >= bytes_.size(); }
    uint8_t peek() const { return bytes_[pos_]; }

    uint8_t u8()
    {
        if (remaining() < 1) throw MIDIFile::Failure::truncated();
        return bytes_[pos_++];
    }

    uint32_t u16()
    {
        auto b = take(2);
        return uint32_t(b[0]) << 8 | b[1];
    }

    uint32_t u32()
    {
        auto b = take(4);
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    }

    // One to four bytes, seven bits each, most significant group first.
    uint32_t varLen()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            uint8_t b = u8();
            value = value << 7 | (b & 0x7F);
            if (!(b & 0x80)) return value;
        }
        throw MIDIFile::Failure::notMIDI();
    }

    // Sizes come from the file as unsigned 32-bit numbers: compare in 64 bits so none can wrap.
    std::span<const uint8_t> take(int64_t n)
    {
        if (n < 0 || uint64_t(n) > remaining()) throw MIDIFile::Failure::truncated();
        auto piece = bytes_.subspan(pos_, size_t(n));
        pos_ += size_t(n);
        return piece;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

void appendUTF8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// UTF-8 to code points; each maximal ill-formed subsequence becomes one U+FFFD.
std::u32string decodeUTF8(std::span<const uint8_t> bytes)
{
    std::u32string out;
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        uint8_t b = bytes[i];
        if (b < 0x80) {
            out += char32_t(b);
            ++i;
            continue;
        }
        int need;
        char32_t c;
        uint8_t lo = 0x80, hi = 0xBF; // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F; // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += U'\uFFFD';
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k, ++j) {
            uint8_t lower = k == 0 ? lo : 0x80, upper = k == 0 ? hi : 0xBF;
            if (j >= n || bytes[j] < lower || bytes[j] > upper) {
                ok = false;
                break;
            }
            c = c << 6 | (bytes[j] & 0x3F);
        }
        out += ok ? c : U'\uFFFD';
        i = j;
    }
    return out;
}

// White space, line breaks and control (Cc and Cf) characters.
bool isTrimmed(char32_t c)
{
    if (c <= 0x20 || (c >= 0x7F && c <= 0xA0)) return true;
    switch (c) {
    case 0xAD:
    case 0x061C:
    case 0x06DD:
    case 0x070F:
    case 0x08E2:
    case 0x1680:
    case 0x180E:
    case 0x202F:
    case 0x205F:
    case 0x3000:
    case 0xFEFF:
    case 0x110BD:
    case 0x110CD:
    case 0xE0001: return true;
    default: break;
    }
    return (c >= 0x0600 && c <= 0x0605) || (c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) || (c >= 0xFFF9 && c <= 0xFFFB) ||
           (c >= 0x13430 && c <= 0x13438) || (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) ||
           (c >= 0xE0020 && c <= 0xE007F);
}

std::string trackName(std::span<const uint8_t> bytes)
{
    std::u32string text = decodeUTF8(bytes);
    size_t first = 0, last = text.size();
    while (first < last && isTrimmed(text[first])) ++first;
    while (last > first && isTrimmed(text[last - 1])) --last;
    std::string out;
    for (size_t i = first; i < last; ++i) appendUTF8(out, text[i]);
    return out;
}

struct Open {
    int64_t tick;
    int velocity;
};

// Notes still sounding on one (channel, key), oldest first; `head` skips the ones already closed.
struct OpenList {
    int slot; // channel * 128 + key
    std::vector<Open> items;
    size_t head = 0;
    bool empty() const { return head == items.size(); }
};

// The open notes of the track being read: a list per (channel, key) that has had a note-on, in
// first-use order. One table serves every track of a file, so neither many tiny tracks nor the heap
// trimming after a large table costs more than the notes themselves.
struct OpenNotes {
    std::array<int32_t, 16 * 128> listOf; // index into `lists`, or -1
    std::vector<OpenList> lists;
    OpenNotes() { listOf.fill(-1); }
};

void readTrack(std::span<const uint8_t> bytes, int track, OpenNotes& open, MIDIFile& file)
{
    Reader r(bytes);
    int64_t tick = 0;
    int running = -1;

    while (!r.atEnd()) {
        tick += r.varLen();
        if (r.atEnd()) throw MIDIFile::Failure::truncated();

        int status;
        if (r.peek() & 0x80) {
            status = r.u8();
        } else {
            if (running < 0) throw MIDIFile::Failure::notMIDI();
            status = running;
        }

        if (status == 0xF0 || status == 0xF7) {
            r.take(r.varLen());
            running = -1;
            continue;
        }
        if (status == 0xFF) {
            uint8_t type = r.u8();
            auto data = r.take(r.varLen());
            running = -1;
            if (type == 0x2F) break;
            switch (type) {
            case 0x03:
                if (!file.trackNames.contains(track)) {
                    std::string name = trackName(data);
                    if (!name.empty()) file.trackNames[track] = std::move(name);
                }
                break;
            case 0x51:
                if (data.size() >= 3 && !file.tempo) file.tempo = int(data[0]) << 16 | int(data[1]) << 8 | int(data[2]);
                break;
            case 0x58:
                if (data.size() >= 2 && !file.timeSignature)
                    file.timeSignature = MIDIFile::TimeSignature{data[0], 1 << std::min<int>(data[1], 6)};
                break;
            case 0x59:
                if (data.size() >= 2 && !file.keySignature)
                    file.keySignature = MIDIFile::KeySignature{int(int8_t(data[0])), data[1] == 1};
                break;
            default: break;
            }
            continue;
        }
        if (status >= 0xF1) throw MIDIFile::Failure::notMIDI();

        const int channel = status & 0x0F;
        const int kind = status & 0xF0;
        const int first = r.u8();
        const int second = (kind == 0xC0 || kind == 0xD0) ? 0 : r.u8();
        running = status;

        const int key = first & 0x7F;
        const int velocity = second & 0x7F;
        const int slot = channel * 128 + key;
        if (kind == 0x90 && velocity > 0) {
            int32_t& index = open.listOf[slot];
            if (index < 0) {
                index = int32_t(open.lists.size());
                open.lists.push_back({slot, {}});
            }
            open.lists[index].items.push_back({tick, velocity});
        } else if (kind == 0x80 || kind == 0x90) {
            const int32_t index = open.listOf[slot];
            if (index < 0 || open.lists[index].empty()) continue;
            OpenList& list = open.lists[index];
            Open on = list.items[list.head++];
            if (list.empty()) {
                list.items.clear();
                list.head = 0;
            }
            file.notes.push_back({on.tick, std::max<int64_t>(tick - on.tick, 1), key, on.velocity, channel, track});
        }
    }

    for (OpenList& list : open.lists) {
        open.listOf[list.slot] = -1;
        if (list.empty()) continue;
        const int64_t end = std::max(tick, list.items.back().tick + 1);
        for (size_t i = list.head; i < list.items.size(); ++i) {
            const Open& on = list.items[i];
            file.notes.push_back(
                {on.tick, std::max<int64_t>(end - on.tick, 1), list.slot % 128, on.velocity, list.slot / 128, track});
        }
    }
    open.lists.clear();
}

} // namespace

MIDIFile::MIDIFile(std::span<const uint8_t> data)
{
    if (data.size() < 14 || std::memcmp(data.data(), "MThd", 4) != 0) throw Failure::notMIDI();
    Reader r(data);
    r.take(4);
    const uint32_t headerLength = r.u32();
    if (headerLength < 6) throw Failure::notMIDI();
    format = int(r.u16());
    const uint32_t trackCount = r.u16();
    const uint32_t division = r.u16();
    r.take(int64_t(headerLength) - 6);
    if (format > 2) throw Failure::unsupported("format " + std::to_string(format));
    if (division & 0x8000) throw Failure::unsupported("SMPTE timing");
    if (division == 0) throw Failure::notMIDI();
    ticksPerQuarter = int(division);

    OpenNotes open;
    int tracks = 0;
    while (uint32_t(tracks) < trackCount) {
        if (r.remaining() < 8) break; // a file that declares more tracks than it holds is read to its end
        auto id = r.take(4);
        const uint32_t size = r.u32();
        auto body = r.take(size);
        if (std::memcmp(id.data(), "MTrk", 4) != 0) continue;
        readTrack(body, tracks, open, *this);
        ++tracks;
    }

    std::stable_sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) {
        if (a.tick != b.tick) return a.tick < b.tick;
        if (a.key != b.key) return a.key < b.key;
        return a.track < b.track;
    });
}

} // namespace veltrane
