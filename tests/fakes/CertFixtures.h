#pragma once
// The committed test certificates (tests/fixtures) and distinct variants of them: a
// variant differs in the last bytes of the signature, which keeps it a well-formed
// certificate with a thumbprint of its own.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorlin::test {

inline std::string FixturePath(const std::string& name) {
    const char* source = std::getenv("QUORLIN_SOURCE_DIR");
#ifdef QUORLIN_SOURCE_TREE
    // Built knowing its tree (the benchmarks): no environment needed.
    if (source == nullptr) {
        source = QUORLIN_SOURCE_TREE;
    }
#endif
    return std::string(source != nullptr ? source : ".") + "/tests/fixtures/" + name;
}

inline std::vector<std::uint8_t> ReadFixture(const std::string& name) {
    std::ifstream in(FixturePath(name), std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (bytes.size() < 16) {
        throw std::runtime_error("missing fixture " + FixturePath(name) +
                                 " (is QUORLIN_SOURCE_DIR set?)");
    }
    return bytes;
}

inline std::vector<std::uint8_t> CertVariant(std::vector<std::uint8_t> der, std::uint32_t n) {
    const std::size_t end = der.size();
    der[end - 3] = static_cast<std::uint8_t>(n >> 16);
    der[end - 2] = static_cast<std::uint8_t>(n >> 8);
    der[end - 1] = static_cast<std::uint8_t>(n);
    return der;
}

}  // namespace quorlin::test
