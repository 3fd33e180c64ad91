// Arbitrary provider registry files through the parser: it never crashes, accepts only what
// the format allows, says why it refuses the rest, and what it accepts, written back as a
// file, parses to the same.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "base/Hex.h"
#include "platform/crypt/ProviderRegistry.h"

namespace {

// A broken promise: the line is what the finding's report needs.
void Check(bool ok, int line = __builtin_LINE()) {
    if (!ok) {
        std::fprintf(stderr, "check failed at line %d\n", line);
        std::abort();
    }
}

bool Trimmed(const std::string& s) {
    return s.empty() || (!std::isspace(static_cast<unsigned char>(s.front())) &&
                         !std::isspace(static_cast<unsigned char>(s.back())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using quorlin::crypt::ProviderInfo;
    using quorlin::crypt::ProviderRegistry;
    std::string problem;
    const auto info =
        ProviderRegistry::Parse(std::string(reinterpret_cast<const char*>(data), size), &problem);
    // A refusal always says why.
    Check(info.has_value() == problem.empty());
    if (!info) {
        return 0;
    }
    Check(!info->name.empty() && Trimmed(info->name));
    Check(info->name.find('\n') == std::string::npos);
    Check(info->type <= 999999999u);
    Check(info->aids.size() <= 16);
    for (const auto& aid : info->aids) {
        Check(aid.size() >= 5 && aid.size() <= 16);
    }
    Check(info->file.empty());

    std::string file = "name=" + info->name + "\ntype=" + std::to_string(info->type) + "\n";
    for (const auto& aid : info->aids) {
        file += "aid=" + quorlin::base::HexString(std::span(aid), " ") + "\n";
    }
    const auto again = ProviderRegistry::Parse(file);
    Check(again && again->name == info->name && again->type == info->type &&
          again->aids == info->aids);
    return 0;
}
