#pragma once
// A card applet for the query tests: the directory, container lookup, key information
// and certificate read commands over a table of containers, answering T=1 style (data and
// status word at once) or T=0 style (61xx then GET RESPONSE for a command with data).
// Every answer can be overridden per command, to play broken or hostile cards.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fakes/ScriptedPcsc.h"

namespace quorlin::test {

struct QueryContainer {
    std::string name;  // up to 36 bytes, zero padded into the record
    std::uint16_t file = 0;
    Bytes certificate;            // empty: no certificate
    std::uint16_t indicator = 0;  // 0 with no certificate, 0x0400 with one (set by Add)
    std::uint8_t inUse = 1;
    std::string start = "20250101";
    std::string expiry = "20351231";
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

inline Bytes KeyInfo(const QueryContainer& c) {
    Bytes r(22, 0);
    r[2] = static_cast<std::uint8_t>(c.indicator >> 8);
    r[3] = static_cast<std::uint8_t>(c.indicator);
    r[4] = c.inUse;
    std::copy_n(c.start.begin(), std::min<std::size_t>(c.start.size(), 8), r.begin() + 6);
    std::copy_n(c.expiry.begin(), std::min<std::size_t>(c.expiry.size(), 8), r.begin() + 14);
    return r;
}

class QueryCard {
  public:
    bool t0 = false;
    std::vector<QueryContainer> containers;
    std::optional<Bytes> directory;  // default: the records of the containers
    std::size_t directoryChunk = 72;
    std::size_t certificateChunk = 200;       // data bytes of each later certificate reply
    std::vector<std::uint16_t> unselectable;  // files whose selection fails
    // Replaces the answer to the n-th command (0-based, GET RESPONSE included) when it
    // returns a value.
    std::function<std::optional<Answer>(const Bytes& command, std::size_t n)> hook;

    void Add(QueryContainer c) {
        if (!c.certificate.empty() && c.indicator == 0) {
            c.indicator = 0x0400;
        }
        containers.push_back(std::move(c));
    }

    Answer operator()(const Bytes& c) {
        const std::size_t n = m_count++;
        if (hook) {
            if (std::optional<Answer> a = hook(c, n)) {
                return *a;
            }
        }
        if (c.size() < 4) {
            return Ok({}, 0x6700);
        }
        const std::uint8_t ins = c[1];
        if (ins == 0xC0) {
            Bytes data = m_pending;
            m_pending.clear();
            return Ok(data);
        }
        if (ins == 0xA4 && c.size() >= 7) {
            const std::uint16_t file = static_cast<std::uint16_t>(c[5] << 8 | c[6]);
            const bool refused =
                std::find(unselectable.begin(), unselectable.end(), file) != unselectable.end();
            if (!refused && (file == 0x8010 || Find(file) != nullptr)) {
                m_file = file;
                return Ok({});
            }
            return Ok({}, 0x6A82);
        }
        if (ins == 0x74) {
            const Bytes dir = Directory();
            if (c[2] == 0x00) {
                m_dirOffset = 0;
            }
            return Chunk(dir, m_dirOffset, directoryChunk);
        }
        if (ins == 0x7E && c.size() >= 5 + 36) {
            const Bytes record(c.begin() + 5, c.begin() + 41);
            for (const QueryContainer& k : containers) {
                if (Record(k.name) == record) {
                    return WithData(LookupReply(k.file));
                }
            }
            return Ok({}, 0x6A88);
        }
        if (ins == 0x4C) {
            const QueryContainer* k = Find(m_file);
            return k == nullptr ? Ok({}, 0x6A82) : Ok(KeyInfo(*k));
        }
        if (ins == 0x44) {
            const QueryContainer* k = Find(m_file);
            if (k == nullptr || k->certificate.empty()) {
                return Ok({}, 0x6A82);
            }
            if (c[3] == 0x01 && c[2] == 0x00) {
                m_certOffset = 0;
                return Chunk(k->certificate, m_certOffset, 200, certificateChunk);
            }
            return Chunk(k->certificate, m_certOffset, certificateChunk);
        }
        return Ok({}, 0x6D00);
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
    static Answer Ok(Bytes data, std::uint16_t sw = 0x9000) {
        data.push_back(static_cast<std::uint8_t>(sw >> 8));
        data.push_back(static_cast<std::uint8_t>(sw));
        return Answer{pcsc::kSuccess, data};
    }

    // A command that carried data answers 61xx under T=0; the data waits for GET RESPONSE.
    Answer WithData(const Bytes& data) {
        if (!t0) {
            return Ok(data);
        }
        m_pending = data;
        return Ok({}, static_cast<std::uint16_t>(0x6100 | data.size()));
    }

    // One chunk: its next-length byte, then up to size bytes from offset.
    static Answer Chunk(const Bytes& file, std::size_t& offset, std::size_t size,
                        std::optional<std::size_t> nextSize = std::nullopt) {
        const std::size_t take = std::min(size, file.size() - std::min(offset, file.size()));
        Bytes reply{0};
        reply.insert(reply.end(), file.begin() + static_cast<std::ptrdiff_t>(offset),
                     file.begin() + static_cast<std::ptrdiff_t>(offset + take));
        offset += take;
        const std::size_t left = file.size() - offset;
        const std::size_t next = std::min(left, nextSize.value_or(size));
        reply[0] = left == 0 ? 0 : static_cast<std::uint8_t>(next + 1);
        return Ok(reply);
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
    Bytes m_pending;
};

}  // namespace quorlin::test
