#include "base/Utf8.h"

#include <algorithm>
#include <string>

namespace quorlin::base {

std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 1;
}

std::size_t Utf8CharLength(std::string_view text, std::size_t pos) {
    if (pos >= text.size()) {
        return 0;
    }
    const std::size_t want =
        std::min(Utf8SequenceLength(static_cast<unsigned char>(text[pos])), text.size() - pos);
    std::size_t n = 1;
    while (n < want && (static_cast<unsigned char>(text[pos + n]) & 0xC0) == 0x80) {
        ++n;
    }
    return n;
}

std::uint32_t Utf8CodePoint(std::string_view text, std::size_t pos) {
    const std::size_t n = Utf8CharLength(text, pos);
    if (n == 0) {
        return 0;
    }
    const auto lead = static_cast<unsigned char>(text[pos]);
    static constexpr unsigned char kLeadMask[] = {0, 0xFF, 0x1F, 0x0F, 0x07};
    std::uint32_t cp = lead & kLeadMask[Utf8SequenceLength(lead)];
    for (std::size_t j = 1; j < n; ++j) {
        cp = (cp << 6) | (static_cast<unsigned char>(text[pos + j]) & 0x3Fu);
    }
    return cp;
}

std::size_t Utf8Prefix(std::string_view text, std::size_t maxChars, std::size_t maxBytes) {
    std::size_t bytes = 0;
    for (std::size_t chars = 0; chars < maxChars && bytes < text.size(); ++chars) {
        const std::size_t step = Utf8SequenceLength(static_cast<unsigned char>(text[bytes]));
        if (bytes + step > text.size() || bytes + step > maxBytes) {
            break;
        }
        bytes += step;
    }
    return bytes;
}

std::string Printable(std::string_view text) {
    static constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    std::string out;
    for (std::size_t k = 0; k < text.size();) {
        const std::size_t n = Utf8CharLength(text, k);
        const auto lead = static_cast<unsigned char>(text[k]);
        const std::uint32_t cp = Utf8CodePoint(text, k);
        const bool whole = n == Utf8SequenceLength(lead) && (lead < 0x80 || n > 1);
        const bool valid =
            whole && cp >= kShortest[n] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        // Bidi embeddings, overrides and isolates would reorder what follows them on the
        // screen: a name could show as another.
        const bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0) ||
                             (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
        if (valid && !control) {
            out.append(text.substr(k, n));
        } else {
            out.push_back('?');
        }
        k += n;
    }
    return out;
}

}  // namespace quorlin::base
