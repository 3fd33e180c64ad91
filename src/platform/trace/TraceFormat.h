#pragma once
// The lines of the trace, as pure functions. No PIN reaches them: the data of VERIFY and
// WRITE RECORD is never read, only counted.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/DialogWindow.h"

namespace quorlin::trace {

// A command APDU in upper-case hex, bytes separated by blanks. For VERIFY (INS 20) and
// WRITE RECORD (INS D2) every byte after CLA INS P1 P2 Lc is "**", except a single Le
// byte right after Lc data bytes.
std::string CommandHex(std::span<const std::uint8_t> command);

// Text fit for one line: backslash, control bytes and DEL escaped ("\n", "\x1B"); other
// bytes, UTF-8 included, as they are. Names (readers, captions) are quoted, their quotes
// escaped as well.
std::string Escape(std::string_view text);

// "T=0", "T=1", else "T=?".
std::string_view ProtocolName(std::uint32_t protocol);

// "0x8010000C".
std::string Code(std::uint32_t code);

struct Transmission {
    std::string_view reader;
    std::uint32_t protocol = 0;
    std::span<const std::uint8_t> command;
    std::uint32_t result = 0;
    std::span<const std::uint8_t> answer;  // read only on success
    std::chrono::microseconds elapsed{};
};

// "APDU "reader" T=0 > CMD < ANSWER SW=9000 1.234 ms", or with "! SCardTransmit failed
// 0x..." in place of the answer.
std::string TransmitLine(const Transmission& t);

// "SCardConnectA "reader" failed 0x8010000C"; subject may be empty.
std::string FailureLine(std::string_view call, std::string_view subject, std::uint32_t code);

// "connected "reader" shared T=1"; "disconnected "reader"".
std::string ConnectLine(std::string_view reader, std::uint32_t shareMode, std::uint32_t protocol);
std::string DisconnectLine(std::string_view reader);

// "readers 2: "A", "B"" for a listing of length bytes (names, each terminated, then an
// empty one); a name not terminated within length is left out.
std::string ReadersLine(const char* list, std::uint32_t length);

// "message box (exclamation) "caption": text"; "(question)" for a yes/no box, no icon.
std::string MessageBoxLine(std::string_view text, const std::optional<std::string>& caption,
                           std::optional<MsgIcon> icon);

}  // namespace quorlin::trace
