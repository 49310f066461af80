// The texts of the identity types: what the configuration document stores for each value (the
// setters write it, the getters recognise it without regard to case) and what the name accessors
// show, plus the model names that hardware detection matches and GetHardwareTypeName returns.
// Internal to the library; every table is indexed by the enumeration's value.
#pragma once

#include <cstddef>
#include <string_view>

namespace zyl::detail {

// The instrument models, in VexaHardwareType order. Detection compares them exactly, case
// included.
inline constexpr const char* kModelNames[] = {
    "zentra Vexa",       "zentra-S Vexa",     "zentra-L Vexa", "zentra Vexa-OEM",
    "zentra-S Vexa-OEM", "zentra-L Vexa-OEM", "zentra-C Vexa",
};

// PiraniType: External, Internal.
inline constexpr const wchar_t* kPiraniTexts[] = {L"External", L"Internal"};

// RfBoxType: the only type whose stored and display texts differ.
inline constexpr const wchar_t* kRfBoxStoredTexts[] = {L"Original", L"Adjustable",
                                                       L"Si5351 Adjustable"};
inline constexpr const wchar_t* kRfBoxDisplayTexts[] = {L"FPGA Adjustable", L"Coil Adjustable",
                                                        L"Si5351 Adjustable"};

// SourceHousingType.
inline constexpr const wchar_t* kHousingTexts[] = {L"Unknown", L"Generation 1", L"Generation 2"};

// HeaterControllerType.
inline constexpr const wchar_t* kHeaterControllerTexts[] = {L"Unknown", L"Watlow PM3 Series",
                                                            L"Digital Board Built-In"};

// PowerSupplyType.
inline constexpr const wchar_t* kPowerSupplyTexts[] = {
    L"Unknown",
    L"Applied SC005RCD025",
    L"Applied MS009MZZ652",
    L"Spellman MXP10PN/15",
    L"Spellman MX8PN24/720",
    L"Sens-Tech PS10",
};

// HeadAmpType.
inline constexpr const wchar_t* kHeadAmpTexts[] = {L"Unknown", L"Slow Amp", L"Fast Amp"};

// The entry of `table` for `value`, or null when the value is not one of the type's.
template <class Char, std::size_t N>
constexpr const Char* textOf(const Char* const (&table)[N], long long value) {
  return value >= 0 && static_cast<unsigned long long>(value) < N ? table[value] : nullptr;
}

// The index of the first entry equal to `text` without regard to ASCII case, or 0 when none is
// (every type's value 0 is its fallback).
template <std::size_t N>
constexpr int recogniseText(std::wstring_view text, const wchar_t* const (&table)[N]) {
  auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; };
  for (std::size_t i = 0; i < N; ++i) {
    const std::wstring_view entry = table[i];
    if (entry.size() != text.size()) continue;
    std::size_t k = 0;
    while (k < entry.size() && fold(entry[k]) == fold(text[k])) ++k;
    if (k == entry.size()) return static_cast<int>(i);
  }
  return 0;
}

}  // namespace zyl::detail
