#include "base/Hex.h"

namespace quorlin::base {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}

char* HexEncode(const std::uint8_t* bytes, std::size_t count, char* text) {
    for (std::size_t i = 0; i < count; ++i) {
        *text++ = kDigits[bytes[i] >> 4];
        *text++ = kDigits[bytes[i] & 0x0F];
    }
    *text = '\0';
    return text;
}

std::string HexString(std::span<const std::uint8_t> bytes, std::string_view separator) {
    std::string out;
    out.reserve(bytes.size() * (2 + separator.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            out.append(separator);
        }
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::vector<std::uint8_t>> HexParse(std::string_view text,
                                                  std::string_view separators) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
        const int v = HexDigitValue(c);
        if (v < 0) {
            if (separators.find(c) == std::string_view::npos) {
                return std::nullopt;
            }
            continue;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return out;
}

}  // namespace quorlin::base
