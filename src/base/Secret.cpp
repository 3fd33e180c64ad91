#include "base/Secret.h"

#include <cstdint>

namespace quorlin::base {

void WipeSecret(void* memory, std::size_t size) {
    volatile auto* p = static_cast<volatile std::uint8_t*>(memory);
    for (std::size_t i = 0; i < size; ++i) {
        p[i] = 0;
    }
}

void WipeText(std::string& text) {
    // Past the size may lie what a longer text left there; resizing within the capacity
    // never moves the buffer.
    text.resize(text.capacity());
    WipeSecret(text.data(), text.size());
    text.clear();
}

}  // namespace quorlin::base
