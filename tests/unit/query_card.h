#pragma once
// A card applet for the query tests, answering T=1 style: the directory, container lookup,
// key information and certificate read commands over a table of containers. Every answer
// can be overridden per command, to play broken or hostile cards.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fakes/ScriptedPcsc.h"

namespace quorlin::test {

struct QueryContainer {
    std::string name;  // up to 36 bytes, zero padded into the record
    std::uint16_t file = 0;
    Bytes certificate;  // empty: a placeholder (indicator 0), else indicator 04 00
    std::uint8_t inUse = 1;
    std::string start = "20250101";
    std::string expiry = "20351231";
    std::size_t keyInfoSize = 22;
};

inline Bytes Record(const std::string& name) {
    Bytes r(36, 0);
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 36), r.begin());
    return r;
}

inline Bytes LookupReply(std::uint16_t file) {
    Bytes r(43, 0);
    r[39] = static_cast<std::uint8_t>(file >> 8);
    r[40] = static_cast<std::uint8_t>(file);
    return r;
}

inline Answer Reply(Bytes data, std::uint16_t sw = 0x9000) {
    data.push_back(static_cast<std::uint8_t>(sw >> 8));
    data.push_back(static_cast<std::uint8_t>(sw));
    return Answer{pcsc::kSuccess, data};
}

class QueryCard {
  public:
    std::vector<QueryContainer> containers;
    std::optional<Bytes> directory;  // default: the records of the containers
    std::size_t directoryChunk = 72;
    std::size_t certificateChunk = 200;  // data bytes of each later certificate reply
    // Replaces the answer to the n-th command (0-based) when it returns a value.
    std::function<std::optional<Answer>(const Bytes& command, std::size_t n)> hook;

    Answer operator()(const Bytes& c) {
        const std::size_t n = m_count++;
        if (hook) {
            if (std::optional<Answer> a = hook(c, n)) {
                return *a;
            }
        }
        const std::uint8_t ins = c.size() < 4 ? 0 : c[1];
        if (ins == 0xA4 && c.size() >= 7) {
            const std::uint16_t file = static_cast<std::uint16_t>(c[5] << 8 | c[6]);
            if (file != 0x8010 && Find(file) == nullptr) {
                return Reply({}, 0x6A82);
            }
            m_file = file;
            return Reply({});
        }
        if (ins == 0x74) {
            m_dirOffset = c[2] == 0x00 ? 0 : m_dirOffset;
            return Chunk(Directory(), m_dirOffset, directoryChunk);
        }
        if (ins == 0x7E && c.size() >= 5 + 36) {
            for (const QueryContainer& k : containers) {
                if (std::equal(c.begin() + 5, c.begin() + 41, Record(k.name).begin())) {
                    return Reply(LookupReply(k.file));
                }
            }
            return Reply({}, 0x6A88);
        }
        const QueryContainer* k = Find(m_file);
        if (ins == 0x4C && k != nullptr) {
            Bytes r(std::max<std::size_t>(k->keyInfoSize, 22), 0);
            r[2] = k->certificate.empty() ? 0 : 4;
            r[4] = k->inUse;
            std::copy_n(k->start.begin(), std::min<std::size_t>(k->start.size(), 8), r.begin() + 6);
            std::copy_n(k->expiry.begin(), std::min<std::size_t>(k->expiry.size(), 8),
                        r.begin() + 14);
            return Reply(r);
        }
        if (ins == 0x44 && k != nullptr && !k->certificate.empty()) {
            if (c[2] == 0x00) {
                m_certOffset = 0;
                return Chunk(k->certificate, m_certOffset, 200, certificateChunk);
            }
            return Chunk(k->certificate, m_certOffset, certificateChunk);
        }
        return Reply({}, 0x6A82);
    }

    Bytes Directory() const {
        if (directory) {
            return *directory;
        }
        Bytes dir;
        for (const QueryContainer& k : containers) {
            const Bytes r = Record(k.name);
            dir.insert(dir.end(), r.begin(), r.end());
        }
        return dir;
    }

  private:
    // One chunk: its next-length byte, then up to size bytes from offset.
    static Answer Chunk(const Bytes& file, std::size_t& offset, std::size_t size,
                        std::optional<std::size_t> nextSize = std::nullopt) {
        const std::size_t take = std::min(size, file.size() - std::min(offset, file.size()));
        Bytes reply{0};
        reply.insert(reply.end(), file.begin() + static_cast<std::ptrdiff_t>(offset),
                     file.begin() + static_cast<std::ptrdiff_t>(offset + take));
        offset += take;
        const std::size_t left = file.size() - offset;
        reply[0] =
            left == 0 ? 0 : static_cast<std::uint8_t>(std::min(left, nextSize.value_or(size)) + 1);
        return Reply(reply);
    }

    const QueryContainer* Find(std::optional<std::uint16_t> file) const {
        for (const QueryContainer& k : containers) {
            if (file && k.file == *file) {
                return &k;
            }
        }
        return nullptr;
    }

    std::size_t m_count = 0;
    std::optional<std::uint16_t> m_file;
    std::size_t m_dirOffset = 0;
    std::size_t m_certOffset = 0;
};

}  // namespace quorlin::test
