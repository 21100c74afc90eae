// libFuzzer target: any bytes as synthesizer parameters, alone and inside a locked tone. What reads
// writes and reads back equal, or fails to write with Json::Error (a number past the range of a
// double reads as infinite); nothing else escapes.
#include "Require.h"
#include "Music/AudioParams.h"
#include "Music/LockedTone.h"
#include "Platform/Json/Json.h"

#include <string_view>

using namespace veltrane;
using fuzz::require;

namespace {

template <class T>
void roundTrip(const Json::Value& json)
{
    T value;
    try {
        value = json.get<T>();
    } catch (const Json::Error&) {
        return;
    }
    Json::Value written;
    try {
        written = value;
    } catch (const Json::Error&) {
        return;
    }
    const T again = Json::parse(Json::write(written)).get<T>();
    require(Json::Value(again) == written, "written and read back equal");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Json::Value json;
    try {
        json = Json::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const Json::Error&) {
        return 0;
    }
    try {
        roundTrip<AudioParams>(json);
        roundTrip<LockedTone>(json);
    } catch (const Json::Value::exception&) {
        std::fprintf(stderr, "a library exception escaped the reader\n");
        std::abort();
    }
    return 0;
}
