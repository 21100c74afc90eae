#pragma once
// A locked tone as an Ableton Live device rack (".adg": gzip-compressed XML). The XML is the rack
// template resource "veltrane-rackv2.adg" (in "Presets/", else at the resource root) with the
// "Value" of the "Manual" element of 23 device parameters set from the tone, and the delay's tempo
// sync switched off. The template's whitespace and attribute order are kept; no external entity
// is ever loaded (pugixml reads no DTD). Elements the template lacks are skipped, not errors.
//
// Numbers are printed with JSMath::string, so the texts are those JavaScript prints. The entry
// table (key, source field, device, path, transform) is one table below; entries(), the map and
// the patching are all read from it.
//
// Failures of rack(): AbletonExport::Error (templateMissing), Gzip::Error, Files-style read errors
// (std::runtime_error with the system's description) and XML parse errors (AbletonExport::Error,
// xml). Pure functions over their inputs; any thread.
#include "Music/LockedTone.h"

#include <pugixml.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace veltrane::AbletonExport {

class Error : public std::runtime_error {
public:
    enum class Kind { templateMissing, templateUnreadable, xml };

    static Error templateMissing() { return Error(Kind::templateMissing, "The rack template is missing."); }
    static Error templateUnreadable(const std::string& why)
    {
        return Error(Kind::templateUnreadable, "The rack template could not be read: " + why);
    }
    static Error xml(const std::string& why) { return Error(Kind::xml, "The rack template is not valid XML: " + why); }

    Kind kind;

private:
    Error(Kind kind, const std::string& text) : std::runtime_error(text), kind(kind) {}
};

// What one parameter receives: a number or a bool.
using Value = std::variant<double, bool>;

struct Mapping {
    std::string device;            // the device's XML element
    std::vector<std::string> path; // element names below it
    std::function<Value(double)> transform;
};

// The 23 rows by entry key, built once.
const std::map<std::string, Mapping>& map();
// The 23 (key, value) pairs of a tone, in the order the template is patched.
std::vector<std::pair<std::string, double>> entries(const LockedTone& tone);

std::vector<std::uint8_t> rack(const LockedTone& tone);
// "veltrane-" + the base note's name with its "#" as "s" + ".adg".
std::string filename(const LockedTone& tone);

// Sets the parameters in the document; returns the keys set, in entry order.
std::vector<std::string> patch(pugi::xml_document& document, const LockedTone& tone);
// Depth-first, pre-order: the first element below `node` (not `node` itself) with exactly that name.
pugi::xml_node firstElement(const char* name, const pugi::xml_node& node);
void disableDelaySync(pugi::xml_document& document);
std::vector<std::uint8_t> templateData();

// The text a value is written as: "true"/"false", or JSMath::string of the number.
std::string text(const Value& value);

} // namespace veltrane::AbletonExport
