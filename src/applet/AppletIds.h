#pragma once
// The applet kinds: their AIDs in try order and the provider that owns each kind's keys.

#include <array>
#include <cstdint>

#include "res/Strings.h"

namespace quorlin::applet {

inline constexpr std::size_t kAidLength = 8;

struct AppletKind {
    std::array<std::uint8_t, kAidLength> aid;
    const char* cspName;
};

inline constexpr std::array<AppletKind, 3> kAppletKinds = {{
    {{0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x02}, res::kCspUlvaneEnterprise},
    {{0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x01}, res::kCspUlvaneProvider},
    {{0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x03}, res::kCspMorvexEnterprise},
}};

// Commands of the applet (class 00).
inline constexpr std::uint8_t kInsSelect = 0xA4;
inline constexpr std::uint8_t kInsVerify = 0x20;
inline constexpr std::uint8_t kInsWriteRecord = 0xD2;
inline constexpr std::uint8_t kInsReadDirectory = 0x74;
inline constexpr std::uint8_t kInsContainerLookup = 0x7E;
inline constexpr std::uint8_t kInsKeyInfo = 0x4C;
inline constexpr std::uint8_t kInsReadCertificate = 0x44;
inline constexpr std::uint8_t kInsGetResponse = 0xC0;

inline constexpr std::uint8_t kSelectByName = 0x04;
inline constexpr std::uint8_t kSelectFile = 0x02;

}  // namespace quorlin::applet
