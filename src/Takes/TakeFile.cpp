// The take file: writing with the streaming JSON writer and reading with the event reader, so that a
// long take is never held as a JSON document as well as a take.
#include "Takes/Take.h"

#include "Platform/Json/JsonFields.h"
#include "Support/Base64.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <type_traits>
#include <variant>

namespace veltrane {

namespace {

// The HUD state is written and read as Base64 text.
struct Base64Text {
    std::string* bytes;
};

// Each record's keys, in sorted order, and its fields, listed once: the writer and the reader both
// walk them. The writer refuses keys out of order, so the file stays sorted by construction.
template <class V>
void fields(Take::Event& r, V&& v)
{
    v("frame", r.frame);
    v("id", r.id);
    v("param", r.param);
    v("type", r.type);
    v("value", r.value);
    v("value2", r.value2);
    v("value3", r.value3);
}
template <class V>
void fields(Take::OrbitSnapshot& r, V&& v)
{
    v("frame", r.frame);
    v("length", r.length);
    v("points", r.points);
}
template <class V>
void fields(Take::View& r, V&& v)
{
    v("bloom", r.bloom);
    v("colour", r.colour);
    v("frame", r.frame);
    v("grain", r.grain);
    v("juliaC", r.juliaC);
    v("maxIterations", r.maxIterations);
    v("palette", r.palette);
    v("rotation", r.rotation);
    v("type", r.type);
    v("x", r.x);
    v("y", r.y);
    v("zoom", r.zoom);
}
template <class V>
void fields(Take::HUDFrame& r, V&& v)
{
    v("frame", r.frame);
    v("state", Base64Text{&r.state});
}
template <class V>
void fields(Complex& r, V&& v)
{
    v("x", r.x);
    v("y", r.y);
}

template <class R>
concept Record = requires(R& r)
{
    fields(r, [](const char*, auto&&) {});
};

// ---- writing ----

template <class T>
void put(Json::Writer& out, const T& value);

template <Record R>
void putRecord(Json::Writer& out, const R& record)
{
    out.beginObject();
    fields(const_cast<R&>(record), [&out](const char* key, const auto& field) {
        using F = std::remove_cvref_t<decltype(field)>;
        if constexpr (std::is_same_v<F, std::optional<double>>) {
            if (!field) return; // an absent colour is left out
        }
        out.key(key);
        put(out, field);
    });
    out.endObject();
}

template <class T>
void put(Json::Writer& out, const T& value)
{
    if constexpr (Record<T>) {
        putRecord(out, value);
    } else if constexpr (std::is_same_v<T, Base64Text>) {
        std::string text;
        Base64::encode(*value.bytes, text);
        out.string(text);
    } else if constexpr (std::is_same_v<T, std::optional<double>>) {
        out.number(*value);
    } else if constexpr (TextEnum<T>) {
        out.string(toText(value));
    } else if constexpr (std::is_same_v<T, float>) {
        out.floatNumber(value);
    } else if constexpr (std::is_same_v<T, double>) {
        out.number(value);
    } else if constexpr (std::is_integral_v<T>) {
        out.integer(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        out.string(value);
    } else {
        static_assert(std::is_same_v<T, std::vector<double>>);
        out.beginArray();
        for (double x : value) out.number(x);
        out.endArray();
    }
}

template <class T>
void putList(Json::Writer& out, const char* key, const std::vector<T>& list)
{
    out.key(key);
    out.beginArray();
    for (const T& item : list) putRecord(out, item);
    out.endArray();
}

} // namespace

std::string Take::encoded() const
{
    std::string text;
    Json::Writer out(text);
    out.beginObject();
    out.key("createdAt");
    out.string(createdAt);
    putList(out, "events", events);
    putList(out, "hud", hud); // always written, even empty
    out.key("length");
    out.integer(length);
    putList(out, "orbits", orbits);
    out.key("sampleRate");
    out.number(sampleRate);
    out.key("version");
    out.integer(version);
    putList(out, "views", views);
    out.endObject();
    return text;
}

// ---- reading ----

namespace {

// Where the next value goes.
using Target = std::variant<std::monostate, std::int64_t*, std::int32_t*, double*, float*, std::optional<double>*,
                            std::string*, Base64Text, FractalType*, Palette*, std::vector<double>*, Complex*>;

enum class List { events, orbits, views, hud };

constexpr const char* kListKeys[] = {"events", "orbits", "views", "hud"};
constexpr const char* kRecordNames[] = {"take event", "take orbit", "take view", "take HUD frame"};

} // namespace

// A state machine over the reader's events: the top object, the four lists of records, a view's
// Julia constant and an orbit's points; everything under an unknown key is skipped.
class TakeFileReader final : public Json::Events {
public:
    Take finish()
    {
        if (!done_) throw Json::Error("take: the file ends early");
        return std::move(take_);
    }

    void null() override
    {
        if (skipped()) return;
        if (auto* colour = std::get_if<std::optional<double>*>(&target_)) {
            **colour = std::nullopt; // null reads as absent
            markSeen();
            target_ = {};
            return;
        }
        if (context() == Context::top && listTarget_ == List::hud) {
            listTarget_.reset(); // null reads as absent: no HUD frames
            return;
        }
        wrong();
    }
    void boolean(bool) override
    {
        if (!skipped()) wrong();
    }
    void integer(std::int64_t value) override
    {
        if (skipped()) return;
        if (auto* i64 = std::get_if<std::int64_t*>(&target_)) {
            **i64 = value;
        } else if (auto* i32 = std::get_if<std::int32_t*>(&target_)) {
            if (value < INT32_MIN || value > INT32_MAX) throw Json::wrongType(key_, what(), "a signed 32-bit integer");
            **i32 = static_cast<std::int32_t>(value);
        } else {
            number(static_cast<double>(value));
            return;
        }
        markSeen();
        target_ = {};
    }
    void number(double value) override
    {
        if (skipped()) return;
        if (!std::isfinite(value)) throw Json::Error(what() + ": \"" + key_ + "\" is not a finite number");
        if (context() == Context::points) {
            current_.orbit.points.push_back(value);
            return;
        }
        if (auto* d = std::get_if<double*>(&target_)) {
            **d = value;
        } else if (auto* o = std::get_if<std::optional<double>*>(&target_)) {
            **o = value;
        } else if (auto* f = std::get_if<float*>(&target_)) {
            if (!(std::fabs(value) <= FLT_MAX)) throw Json::wrongType(key_, what(), "a finite 32-bit float");
            **f = static_cast<float>(value);
        } else if (std::holds_alternative<std::int64_t*>(target_)) {
            throw Json::wrongType(key_, what(), "a signed 64-bit integer");
        } else if (std::holds_alternative<std::int32_t*>(target_)) {
            throw Json::wrongType(key_, what(), "a signed 32-bit integer");
        } else {
            wrong();
        }
        markSeen();
        target_ = {};
    }
    void string(std::string& value) override
    {
        if (skipped()) return;
        if (auto* s = std::get_if<std::string*>(&target_)) {
            **s = std::move(value);
        } else if (auto* b = std::get_if<Base64Text>(&target_)) {
            auto bytes = Base64::decode(value);
            if (!bytes) throw Json::wrongType(key_, what(), "standard Base64 text");
            *b->bytes = std::move(*bytes);
        } else if (auto* t = std::get_if<FractalType*>(&target_)) {
            const auto parsed = fromText<FractalType>(value);
            if (!parsed) throw Json::Error(what() + ": unknown fractal type \"" + value + "\"");
            **t = *parsed;
        } else if (auto* p = std::get_if<Palette*>(&target_)) {
            const auto parsed = fromText<Palette>(value);
            if (!parsed) throw Json::Error(what() + ": unknown palette \"" + value + "\"");
            **p = *parsed;
        } else {
            wrong();
        }
        markSeen();
        target_ = {};
    }

    void beginObject() override
    {
        if (enterSkipped()) return;
        switch (context()) {
        case Context::root: stack_.push_back(Context::top); return;
        case Context::list:
            current_ = {};
            seen_ = 0;
            stack_.push_back(Context::record);
            return;
        default: break;
        }
        if (auto* c = std::get_if<Complex*>(&target_)) {
            complexTarget_ = *c;
            complexField_ = fieldIndex_;
            complexSeen_ = 0;
            target_ = {};
            stack_.push_back(Context::complex);
            return;
        }
        wrong();
    }
    void key(std::string& name) override
    {
        if (skip_ > 0) return;
        key_ = name;
        target_ = {};
        skipNext_ = true;
        int index = 0;
        auto find = [&](const char* k, auto&& field) {
            if (skipNext_ && name == k) {
                skipNext_ = false;
                fieldIndex_ = index;
                target_ = targetOf(field);
            }
            ++index;
        };
        switch (context()) {
        case Context::top: topKey(name); return;
        case Context::complex: fields(*complexTarget_, find); return;
        case Context::record:
            switch (list_) {
            case List::events: fields(current_.event, find); return;
            case List::orbits: fields(current_.orbit, find); return;
            case List::views: fields(current_.view, find); return;
            case List::hud: fields(current_.hud, find); return;
            }
            return;
        default: return;
        }
    }
    void endObject() override
    {
        if (leaveSkipped()) return;
        const Context c = context();
        stack_.pop_back();
        if (c == Context::complex) {
            if (complexSeen_ != 3) throw Json::Error(what() + ": \"juliaC\" needs \"x\" and \"y\"");
            fieldIndex_ = complexField_;
            markSeen(); // the view's juliaC
        } else if (c == Context::record) {
            finishRecord();
        } else if (c == Context::top) {
            finishTop();
        }
    }
    void beginArray() override
    {
        if (enterSkipped()) return;
        if (context() == Context::top && listTarget_) {
            list_ = *listTarget_;
            listTarget_.reset();
            stack_.push_back(Context::list);
            return;
        }
        if (auto* points = std::get_if<std::vector<double>*>(&target_)) {
            (*points)->clear();
            target_ = {};
            stack_.push_back(Context::points);
            return;
        }
        wrong();
    }
    void endArray() override
    {
        if (leaveSkipped()) return;
        const Context c = context();
        stack_.pop_back();
        if (c == Context::points) markSeen();
    }

private:
    enum class Context { root, top, list, record, complex, points };
    enum TopKey { createdAt, events, hud, length, orbits, sampleRate, version, views, topKeyCount };
    static constexpr unsigned kRequiredTop = ~(1u << hud) & ((1u << topKeyCount) - 1);

    Context context() const { return stack_.empty() ? Context::root : stack_.back(); }

    template <class F>
    static Target targetOf(F&& field)
    {
        if constexpr (std::is_same_v<std::remove_cvref_t<F>, Base64Text>)
            return field;
        else
            return &field;
    }

    void topKey(const std::string& name)
    {
        static constexpr const char* keys[] = {"createdAt", "events",     "hud",     "length",
                                               "orbits",    "sampleRate", "version", "views"};
        for (int i = 0; i < topKeyCount; ++i) {
            if (name != keys[i]) continue;
            skipNext_ = false;
            fieldIndex_ = i;
            switch (i) {
            case createdAt: target_ = &take_.createdAt; break;
            case length: target_ = &take_.length; break;
            case sampleRate: target_ = &take_.sampleRate; break;
            case version: target_ = &take_.version; break;
            case events:
                listTarget_ = List::events;
                take_.events.clear();
                break;
            case orbits:
                listTarget_ = List::orbits;
                take_.orbits.clear();
                break;
            case views:
                listTarget_ = List::views;
                take_.views.clear();
                break;
            case hud:
                listTarget_ = List::hud;
                take_.hud.clear();
                break;
            }
            if (listTarget_) topSeen_ |= 1u << i; // a list counts once its array begins
            return;
        }
    }

    // Skipping: the value under an unknown key, whatever its shape.
    bool skipped()
    {
        if (skip_ > 0) return true;
        if (skipNext_) {
            skipNext_ = false;
            return true;
        }
        return false;
    }
    bool enterSkipped()
    {
        if (skip_ > 0 || skipNext_) {
            skipNext_ = false;
            ++skip_;
            return true;
        }
        return false;
    }
    bool leaveSkipped()
    {
        if (skip_ == 0) return false;
        --skip_;
        return true;
    }

    void markSeen()
    {
        switch (context()) {
        case Context::top: topSeen_ |= 1u << fieldIndex_; break;
        case Context::complex: complexSeen_ |= 1u << fieldIndex_; break;
        default: seen_ |= 1u << fieldIndex_; break;
        }
    }

    std::string what() const
    {
        switch (context()) {
        case Context::record:
        case Context::complex:
        case Context::points: return kRecordNames[static_cast<int>(list_)];
        default: return "take";
        }
    }

    [[noreturn]] void wrong() const
    {
        if (context() == Context::root) throw Json::Error("take: expected an object");
        if (context() == Context::list)
            throw Json::wrongType(kListKeys[static_cast<int>(list_)], "take", "a list of objects");
        if (context() == Context::points) throw Json::wrongType("points", what(), "a list of numbers");
        throw Json::Error(what() + ": \"" + key_ + "\" has the wrong type");
    }

    template <class R>
    void requireAll(R& record, unsigned optional = 0)
    {
        int index = 0;
        fields(record, [&](const char* k, auto&&) {
            if (!(seen_ & (1u << index)) && !(optional & (1u << index)))
                throw Json::Error(std::string(what()) + ": missing key \"" + k + "\"");
            ++index;
        });
    }

    void finishRecord()
    {
        switch (list_) {
        case List::events:
            requireAll(current_.event);
            take_.events.push_back(current_.event);
            break;
        case List::orbits:
            requireAll(current_.orbit);
            if (current_.orbit.length > static_cast<std::int64_t>(current_.orbit.points.size() / 2))
                throw Json::Error("take orbit: \"length\" " + std::to_string(current_.orbit.length) + " exceeds its " +
                                  std::to_string(current_.orbit.points.size() / 2) + " point pairs");
            take_.orbits.push_back(std::move(current_.orbit));
            break;
        case List::views:
            requireAll(current_.view, 1u << 1); // "colour" may be missing
            // The interpolation takes the zoom's logarithm, and the precision of the centre grows with it.
            if (!(current_.view.zoom > 0)) throw Json::Error("take view: \"zoom\" must be above 0");
            take_.views.push_back(std::move(current_.view));
            break;
        case List::hud:
            requireAll(current_.hud);
            take_.hud.push_back(std::move(current_.hud));
            break;
        }
    }

    void finishTop()
    {
        static constexpr const char* keys[] = {"createdAt", "events",     "hud",     "length",
                                               "orbits",    "sampleRate", "version", "views"};
        for (int i = 0; i < topKeyCount; ++i)
            if ((kRequiredTop & (1u << i)) && !(topSeen_ & (1u << i)))
                throw Json::Error(std::string("take: missing key \"") + keys[i] + "\"");
        if (!(take_.sampleRate >= Take::minSampleRate && take_.sampleRate <= Take::maxSampleRate))
            throw Json::Error("take: \"sampleRate\" " + Json::formatNumber(take_.sampleRate) +
                              " is outside 8000 ... 384000 Hz");
        if (take_.length < 0 || static_cast<double>(take_.length) > Take::maxSeconds * take_.sampleRate)
            throw Json::Error("take: \"length\" " + std::to_string(take_.length) +
                              " is below 0 or longer than 24 hours");
        done_ = true;
    }

    struct Current {
        Take::Event event;
        Take::OrbitSnapshot orbit;
        Take::View view;
        Take::HUDFrame hud;
    };

    Take take_;
    std::vector<Context> stack_;
    Target target_;
    std::optional<List> listTarget_;
    List list_ = List::events;
    Current current_;
    Complex* complexTarget_ = nullptr;
    std::string key_;
    int fieldIndex_ = 0;
    int complexField_ = 0;
    unsigned seen_ = 0, complexSeen_ = 0, topSeen_ = 0;
    int skip_ = 0;
    bool skipNext_ = false;
    bool done_ = false;
};

Take Take::decode(std::string_view bytes)
{
    TakeFileReader reader;
    Json::parseEvents(bytes, reader);
    return reader.finish();
}

} // namespace veltrane
