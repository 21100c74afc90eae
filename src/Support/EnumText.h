#pragma once
// Stored texts of enumerations: one table per enumeration gives its cases in their significant order
// together with the text that files carry. Everything else (allCases, toText, fromText, and the JSON
// coding in EnumTextJson.h) is derived from that table, so a case and its text can never drift apart.
//
//   template <> struct EnumTexts<FractalType> {
//       static constexpr std::array table{ std::pair{FractalType::mandelbrot, std::string_view{"mandelbrot"}}, ... };
//   };
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace veltrane {

template <class E>
struct EnumTexts;

template <class E>
concept TextEnum = requires
{
    EnumTexts<E>::table;
};

template <TextEnum E>
inline constexpr auto allCases = [] {
    constexpr auto& table = EnumTexts<E>::table;
    std::array<E, table.size()> cases{};
    for (std::size_t i = 0; i < table.size(); ++i) cases[i] = table[i].first;
    return cases;
}();

template <TextEnum E>
constexpr std::string_view toText(E value) noexcept
{
    for (const auto& [c, text] : EnumTexts<E>::table)
        if (c == value) return text;
    return {};
}

template <TextEnum E>
constexpr std::optional<E> fromText(std::string_view text) noexcept
{
    for (const auto& [c, t] : EnumTexts<E>::table)
        if (t == text) return c;
    return std::nullopt;
}

// Position of a case in its table (the order of allCases).
template <TextEnum E>
constexpr int caseIndex(E value) noexcept
{
    constexpr auto& table = EnumTexts<E>::table;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].first == value) return static_cast<int>(i);
    return -1;
}

} // namespace veltrane
