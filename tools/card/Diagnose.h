#pragma once
// quorlin-card diagnose, and the probing of readers it shares with quorlin-card readers.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Session.h"
#include "platform/crypt/ProviderRegistry.h"

namespace quorlin::cardtool {

// Indented JSON and a line end; bytes that are not UTF-8 (a reader's name or a path may
// hold any) become U+FFFD rather than abort the dump.
std::string JsonText(const nlohmann::json& value);

// The AID by which a card of provider's kind answers, when provider's file names it not:
// that file cannot serve the card, whatever the card says.
std::optional<std::vector<std::uint8_t>> AidMissingFrom(const std::string& provider,
                                                        const crypt::ProviderInfo& info);

// Each provider file that could not be used, as a warning on stderr.
void WarnProviderProblems(const crypt::ProviderRegistry& registry);

// Each reader the service lists, as `readers --json` shows it: its card, ATR, protocol,
// applet kind, or that another program holds the card.
nlohmann::json ProbeReaders(Service& service);
// What one probed reader holds, in words: "no card", "card 3B ..., T=1, KIND".
std::string CardWords(const nlohmann::json& reader);

// The report for a help desk; never asks for the PIN.
int Diagnose(const Options& options);

}  // namespace quorlin::cardtool
