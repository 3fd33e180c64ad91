#include "platform/trace/TraceFormat.h"

#include <cstdio>
#include <cstring>

#include "interfaces/PcscApi.h"

namespace quorlin::trace {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr std::uint8_t kInsVerify = 0x20;
constexpr std::uint8_t kInsWriteRecord = 0xD2;
constexpr std::size_t kHeaderAndLc = 5;

void AppendByte(std::string& out, std::uint8_t byte) {
    if (!out.empty()) {
        out += ' ';
    }
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
}

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        AppendByte(out, byte);
    }
}

void AppendEscaped(std::string& out, std::string_view text, bool quoted) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || (quoted && c == '"')) {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0x0F];
        } else {
            out += c;
        }
    }
}

// Names between quotes, a quote in them escaped.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    AppendEscaped(out, text, true);
    return out + '"';
}

std::string_view IconName(MsgIcon icon) {
    switch (icon) {
        case MsgIcon::Exclamation:
            return "exclamation";
        case MsgIcon::Information:
            return "information";
        case MsgIcon::None:
            break;
    }
    return "none";
}

}  // namespace

std::string CommandHex(std::span<const std::uint8_t> command) {
    const bool secret = command.size() > kHeaderAndLc &&
                        (command[1] == kInsVerify || command[1] == kInsWriteRecord);
    if (!secret) {
        std::string out;
        AppendHex(out, command);
        return out;
    }
    std::string out;
    AppendHex(out, command.first(kHeaderAndLc));
    // Only a lone Le byte after exactly Lc data bytes is kept: any other shape may carry
    // PIN bytes past where Lc says the data ends.
    const std::size_t rest = command.size() - kHeaderAndLc;
    const std::size_t lc = command[4];
    const bool trailingLe = lc != 0 && rest == lc + 1;
    const std::size_t masked = trailingLe ? lc : rest;
    for (std::size_t i = 0; i < masked; ++i) {
        out += " **";
    }
    if (trailingLe) {
        AppendByte(out, command.back());
    }
    return out;
}

std::string Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEscaped(out, text, false);
    return out;
}

std::string_view ProtocolName(std::uint32_t protocol) {
    if (protocol == pcsc::kProtocolT0) {
        return "T=0";
    }
    if (protocol == pcsc::kProtocolT1) {
        return "T=1";
    }
    return "T=?";
}

std::string Code(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

std::string TransmitLine(const Transmission& t) {
    std::string line = "APDU " + Quoted(t.reader) + ' ' + std::string(ProtocolName(t.protocol)) +
                       " > " + CommandHex(t.command);
    if (t.result != pcsc::kSuccess) {
        line += " ! SCardTransmit failed " + Code(t.result);
    } else {
        std::string answer;
        AppendHex(answer, t.answer);
        line += " < " + answer;
        if (t.answer.size() >= 2) {
            char sw[16];
            std::snprintf(sw, sizeof sw, " SW=%02X%02X", t.answer[t.answer.size() - 2],
                          t.answer[t.answer.size() - 1]);
            line += sw;
        } else {
            line += " SW=none";
        }
    }
    char time[32];
    std::snprintf(time, sizeof time, " %lld.%03lld ms",
                  static_cast<long long>(t.elapsed.count() / 1000),
                  static_cast<long long>(t.elapsed.count() % 1000));
    return line + time;
}

std::string FailureLine(std::string_view call, std::string_view subject, std::uint32_t code) {
    std::string line(call);
    if (!subject.empty()) {
        line += ' ' + Quoted(subject);
    }
    return line + " failed " + Code(code);
}

std::string ConnectLine(std::string_view reader, std::uint32_t shareMode, std::uint32_t protocol) {
    std::string_view share = "share=other";
    if (shareMode == pcsc::kShareShared) {
        share = "shared";
    } else if (shareMode == pcsc::kShareExclusive) {
        share = "exclusive";
    }
    return "connected " + Quoted(reader) + ' ' + std::string(share) + ' ' +
           std::string(ProtocolName(protocol));
}

std::string DisconnectLine(std::string_view reader) {
    return "disconnected " + Quoted(reader);
}

std::string ReadersLine(const char* list, std::uint32_t length) {
    std::vector<std::string_view> names;
    if (list != nullptr) {
        const char* p = list;
        const char* end = list + length;
        while (p < end && *p != '\0') {
            const std::size_t n = strnlen(p, static_cast<std::size_t>(end - p));
            if (p + n >= end) {
                break;
            }
            names.emplace_back(p, n);
            p += n + 1;
        }
    }
    std::string line = "readers " + std::to_string(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        line += (i == 0 ? ": " : ", ") + Quoted(names[i]);
    }
    return line;
}

std::string MessageBoxLine(std::string_view text, const std::optional<std::string>& caption,
                           std::optional<MsgIcon> icon) {
    std::string line = "message box (" + std::string(icon ? IconName(*icon) : "question") + ")";
    if (caption) {
        line += ' ' + Quoted(*caption);
    }
    return line + ": " + Escape(text);
}

}  // namespace quorlin::trace
