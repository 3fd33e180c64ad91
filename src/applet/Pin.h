#pragma once
// A PIN on its way to the card, for every program that asks for one: its card form
// (code page 950) and the padded record, each wiped when it goes out of scope.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "applet/Applet.h"
#include "applet/Cp950.h"
#include "base/Secret.h"

namespace quorlin::applet {

inline constexpr std::size_t kPinMinLength = 6;

// The card's 8-bit form of a PIN typed as UTF-8. A PIN with a character the code page
// lacks has no card form: sending a stand-in would set or test a PIN never typed.
class CardPin {
  public:
    // Taken as the conversion returns it: a moved or swapped short string would leave the
    // PIN's bytes behind.
    explicit CardPin(const std::string& utf8) : m_bytes(Utf8ToCp950(utf8)) {}
    ~CardPin() { Wipe(); }
    CardPin(const CardPin&) = delete;
    CardPin& operator=(const CardPin&) = delete;

    bool valid() const { return m_bytes.has_value(); }
    std::size_t size() const { return m_bytes ? m_bytes->size() : 0; }
    const std::uint8_t* data() const {
        return m_bytes ? reinterpret_cast<const std::uint8_t*>(m_bytes->data()) : nullptr;
    }
    bool operator==(const CardPin& other) const {
        return m_bytes && other.m_bytes && *m_bytes == *other.m_bytes;
    }
    void Wipe() {
        if (m_bytes) {
            base::WipeText(*m_bytes);
        }
    }

  private:
    std::optional<std::string> m_bytes;
};

// The padded PIN.
struct PaddedPinBuffer {
    PaddedPin bytes;
    PaddedPinBuffer(const std::uint8_t* pin, std::size_t length) { PadPin(pin, length, bytes); }
    ~PaddedPinBuffer() { base::WipeSecret(bytes, sizeof bytes); }
    PaddedPinBuffer(const PaddedPinBuffer&) = delete;
    PaddedPinBuffer& operator=(const PaddedPinBuffer&) = delete;
};

}  // namespace quorlin::applet
