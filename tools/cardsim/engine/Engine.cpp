#include "engine/Engine.h"

#include <algorithm>

#include "base/Hex.h"

namespace quorlin::cardsim {

namespace {

constexpr std::uint16_t kPinFile = 0x00C7;
constexpr std::uint16_t kDirectoryFile = 0x8010;
constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint8_t kInsVerify = 0x20;
constexpr std::uint8_t kInsWriteRecord = 0xD2;
constexpr std::uint8_t kInsDirectory = 0x74;
constexpr std::uint8_t kInsLookup = 0x7E;
constexpr std::uint8_t kInsKeyInfo = 0x4C;
constexpr std::uint8_t kInsCertificate = 0x44;
constexpr std::uint8_t kInsGetResponse = 0xC0;

constexpr std::uint16_t kSwOk = 0x9000;
constexpr std::uint16_t kSwWrongLength = 0x6700;
constexpr std::uint16_t kSwSecurity = 0x6982;
constexpr std::uint16_t kSwConditions = 0x6985;
constexpr std::uint16_t kSwNoCurrentEf = 0x6986;
constexpr std::uint16_t kSwNotFound = 0x6A82;
constexpr std::uint16_t kSwRecordNotFound = 0x6A83;
constexpr std::uint16_t kSwWrongP1P2 = 0x6A86;
constexpr std::uint16_t kSwDataNotFound = 0x6A88;
constexpr std::uint16_t kSwUnknownIns = 0x6D00;
constexpr std::uint16_t kSwUnknownCla = 0x6E00;
constexpr std::uint16_t kSwPinWrong = 0x6608;
constexpr std::uint16_t kSwPinBlocked = 0x6620;

// One answer holds at most 254 data bytes behind the reader's 256-byte receive area.
constexpr std::size_t kMaxAnswerData = 256;

void PutSw(Bytes& out, std::uint16_t sw) {
    out.push_back(static_cast<std::uint8_t>(sw >> 8));
    out.push_back(static_cast<std::uint8_t>(sw & 0xFF));
}

Bytes SwOnly(std::uint16_t sw) {
    Bytes out;
    PutSw(out, sw);
    return out;
}

// The length byte of 61xx/6Cxx: 00 stands for 256.
std::uint8_t LengthByte(std::size_t n) {
    return static_cast<std::uint8_t>(n >= 256 ? 0 : n);
}

std::string MaskedCommand(const Bytes& apdu) {
    bool secret = apdu.size() > 5 && (apdu[1] == kInsVerify || apdu[1] == kInsWriteRecord);
    if (!secret) {
        return "> " + FormatHex(apdu);
    }
    std::size_t lc = apdu[4];
    std::size_t dataEnd = std::min(apdu.size(), 5 + lc);
    std::string line = "> " + FormatHex(Bytes(apdu.begin(), apdu.begin() + 5));
    for (std::size_t i = 5; i < dataEnd; ++i) {
        line += " **";
    }
    if (dataEnd < apdu.size()) {
        line +=
            " " + FormatHex(Bytes(apdu.begin() + static_cast<std::ptrdiff_t>(dataEnd), apdu.end()));
    }
    return line;
}

}  // namespace

std::string FormatHex(const Bytes& bytes) {
    return base::HexString(bytes, " ");
}

Engine::Engine(Profile profile)
    : m_profile(std::move(profile)),
      m_pinRecord(m_profile.pinRecord),
      m_retriesLeft(m_profile.pinRetries) {
    VanishBeforeNext();
}

void Engine::EndSession() {
    m_appletSelected = false;
    m_file.reset();
    m_verified = false;
    m_directoryCursor = {};
    m_certificateCursor = {};
    m_pending.clear();
    m_pendingSw = kSwOk;
}

void Engine::PowerOn() {
    EndSession();
}
void Engine::Reset() {
    EndSession();
}
void Engine::PowerOff() {
    EndSession();
}

void Engine::Append(const std::string& line) {
    m_log.push_back(line);
    if (m_sink) {
        m_sink(line);
    }
}

Bytes Engine::Process(const Bytes& apdu) {
    Append(MaskedCommand(apdu));
    if (m_vanished) {
        Append("! vanished");
        return {};
    }
    ++m_commandCount;

    Fault* fired = nullptr;
    for (Fault& fault : m_profile.faults) {
        bool matches = true;
        if (fault.ins && (apdu.size() < 2 || apdu[1] != *fault.ins)) {
            matches = false;
        }
        if (!fault.prefix.empty() &&
            (apdu.size() < fault.prefix.size() ||
             !std::equal(fault.prefix.begin(), fault.prefix.end(), apdu.begin()))) {
            matches = false;
        }
        if (!matches) {
            continue;
        }
        ++fault.seen;
        if (fired == nullptr && (fault.occurrence == 0 || fault.seen == fault.occurrence)) {
            fired = &fault;
        }
    }

    Bytes answer;
    if (fired == nullptr) {
        answer = Answer(apdu);
    } else {
        switch (fired->kind) {
            case Fault::Kind::Vanish:
                m_vanished = true;
                EndSession();
                Append("! vanished");
                return {};
            case Fault::Kind::StatusWord:
                answer = SwOnly(fired->statusWord);
                break;
            case Fault::Kind::Answer:
                answer = fired->answer;
                break;
            case Fault::Kind::AnswerLength: {
                answer = Answer(apdu);
                // Keep the regular data, drop its status word, then cut or pad.
                if (answer.size() >= 2) {
                    answer.resize(answer.size() - 2);
                }
                answer.resize(fired->answerLength, 0x00);
                PutSw(answer, kSwOk);
                break;
            }
            case Fault::Kind::EndlessChain:
                m_endlessChain = true;
                answer = Answer(apdu);
                m_endlessChain = false;
                break;
        }
    }
    Append("< " + FormatHex(answer));
    VanishBeforeNext();
    return answer;
}

// A card that vanishes at the Nth command of all leaves right after its (N-1)th answer,
// so that the Nth command finds no card at all, as when it is pulled out between two.
void Engine::VanishBeforeNext() {
    for (const Fault& fault : m_profile.faults) {
        if (fault.kind != Fault::Kind::Vanish || fault.ins || !fault.prefix.empty()) {
            continue;
        }
        const int at = fault.occurrence == 0 ? 1 : fault.occurrence;
        if (static_cast<std::size_t>(at) == m_commandCount + 1) {
            m_vanished = true;
            EndSession();
            Append("! vanished");
            return;
        }
    }
}

Bytes Engine::Answer(const Bytes& apdu) {
    if (apdu.size() < 4) {
        return SwOnly(kSwWrongLength);
    }
    const std::uint8_t cla = apdu[0];
    const std::uint8_t ins = apdu[1];
    const std::uint8_t p1 = apdu[2];
    const std::uint8_t p2 = apdu[3];
    bool hasData = false;
    bool hasLe = false;
    std::size_t le = 0;
    Bytes data;
    if (apdu.size() == 5) {
        hasLe = true;
        le = apdu[4];
    } else if (apdu.size() > 5) {
        std::size_t lc = apdu[4];
        if (lc == 0 || (apdu.size() != 5 + lc && apdu.size() != 6 + lc)) {
            return SwOnly(kSwWrongLength);
        }
        hasData = true;
        data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
        if (apdu.size() == 6 + lc) {
            hasLe = true;
            le = apdu.back();
        }
    }
    const std::size_t wanted = hasLe ? (le == 0 ? 256 : le) : 0;
    if (cla != 0x00) {
        return SwOnly(kSwUnknownCla);
    }

    if (ins == kInsGetResponse) {
        if (m_pending.empty()) {
            return SwOnly(kSwConditions);
        }
        if (p1 != 0 || p2 != 0 || hasData) {
            return SwOnly(kSwWrongP1P2);
        }
        std::size_t n = std::min(hasLe ? wanted : m_pending.size(), m_pending.size());
        Bytes out(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
        if (m_pending.empty()) {
            PutSw(out, m_pendingSw);
        } else {
            PutSw(out, static_cast<std::uint16_t>(0x6100 | LengthByte(m_pending.size())));
        }
        return out;
    }
    m_pending.clear();

    const bool t1 = m_profile.protocol == kProtocolT1;
    const std::size_t limit = (t1 && hasLe) ? wanted : kMaxAnswerData;
    const ReadCursor directorySaved = m_directoryCursor;
    const ReadCursor certificateSaved = m_certificateCursor;
    Reply reply = Dispatch(ins, p1, p2, data, hasData, limit);
    if (reply.data.empty()) {
        return SwOnly(reply.sw);
    }

    Bytes out;
    if (hasData) {
        // A command with data and an answer: T=0 hands the answer out by GET RESPONSE;
        // under T=1 it comes at once when an Le asked for it.
        if (!t1) {
            m_pending = reply.data;
            m_pendingSw = reply.sw;
            return SwOnly(static_cast<std::uint16_t>(0x6100 | LengthByte(m_pending.size())));
        }
        if (!hasLe) {
            return SwOnly(reply.sw);
        }
        out = reply.data;
        if (out.size() > wanted) {
            out.resize(wanted);
        }
    } else {
        // A command without data: a length other than the answer's is refused with the
        // right one, and the command has not happened.
        bool wrongLength = !hasLe || (!t1 && wanted != reply.data.size());
        if (wrongLength) {
            m_directoryCursor = directorySaved;
            m_certificateCursor = certificateSaved;
            return SwOnly(static_cast<std::uint16_t>(0x6C00 | LengthByte(reply.data.size())));
        }
        out = reply.data;
        if (out.size() > wanted) {
            out.resize(wanted);
        }
    }
    PutSw(out, reply.sw);
    return out;
}

Engine::Reply Engine::Dispatch(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                               const Bytes& data, bool hasData, std::size_t limit) {
    switch (ins) {
        case kInsSelect:
            return Select(p1, p2, data);
        case kInsVerify:
            return Verify(p1, p2, data);
        case kInsWriteRecord:
            return WriteRecord(p1, p2, data);
        case kInsDirectory:
            return hasData ? Reply{{}, kSwWrongLength} : ReadDirectory(p1, p2, limit);
        case kInsLookup:
            return Lookup(p1, p2, data);
        case kInsKeyInfo:
            return hasData ? Reply{{}, kSwWrongLength} : KeyInfo(p1, p2);
        case kInsCertificate:
            return hasData ? Reply{{}, kSwWrongLength} : ReadCertificate(p1, p2, limit);
        default:
            return {{}, kSwUnknownIns};
    }
}

namespace {

const std::array<std::uint8_t, 7> kAidStem = {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01};

}  // namespace

Bytes AppletAid(const std::string& applet) {
    Bytes aid(kAidStem.begin(), kAidStem.end());
    if (applet == "ulvane-enterprise") {
        aid.push_back(0x02);
    } else if (applet == "ulvane-provider") {
        aid.push_back(0x01);
    } else if (applet == "morvex") {
        aid.push_back(0x03);
    } else {
        return {};
    }
    return aid;
}

Engine::Reply Engine::Select(std::uint8_t p1, std::uint8_t p2, const Bytes& data) {
    if (p1 == 0x04 && p2 == 0x00) {
        if (data != AppletAid(m_profile.applet)) {
            return {{}, kSwNotFound};
        }
        EndSession();
        m_appletSelected = true;
        return {m_profile.fci, kSwOk};
    }
    if (p1 == 0x02 && p2 == 0x00) {
        if (!m_appletSelected) {
            return {{}, kSwNotFound};
        }
        if (data.size() != 2) {
            return {{}, kSwWrongLength};
        }
        const std::uint16_t fid = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
        bool known = fid == kPinFile || fid == kDirectoryFile;
        for (const Container& c : m_profile.containers) {
            known = known || c.file == fid;
        }
        if (!known) {
            return {{}, kSwNotFound};
        }
        m_file = fid;
        m_certificateCursor = {};
        return {{}, kSwOk};
    }
    return {{}, kSwWrongP1P2};
}

Engine::Reply Engine::Verify(std::uint8_t p1, std::uint8_t p2, const Bytes& data) {
    if (p1 != 0x01 || p2 != 0x28) {
        return {{}, kSwWrongP1P2};
    }
    if (!m_appletSelected) {
        return {{}, kSwConditions};
    }
    if (data.size() != kPinRecordLength) {
        return {{}, kSwWrongLength};
    }
    if (m_retriesLeft <= 0) {
        m_verified = false;
        return {{}, kSwPinBlocked};
    }
    if (std::equal(data.begin(), data.end(), m_pinRecord.begin())) {
        m_retriesLeft = m_profile.pinRetries;
        m_verified = true;
        return {{}, kSwOk};
    }
    --m_retriesLeft;
    m_verified = false;
    return {{}, kSwPinWrong};
}

Engine::Reply Engine::WriteRecord(std::uint8_t p1, std::uint8_t p2, const Bytes& data) {
    if (!m_appletSelected) {
        return {{}, kSwConditions};
    }
    if (p2 != 0x04) {
        return {{}, kSwWrongP1P2};
    }
    if (m_file != kPinFile) {
        return {{}, kSwNoCurrentEf};
    }
    if (!m_verified) {
        return {{}, kSwSecurity};
    }
    if (p1 != 0x01) {
        return {{}, kSwRecordNotFound};
    }
    if (data.size() != kPinRecordLength) {
        return {{}, kSwWrongLength};
    }
    std::copy(data.begin(), data.end(), m_pinRecord.begin());
    return {{}, kSwOk};
}

Bytes Engine::Directory() const {
    Bytes dir;
    for (const Container& c : m_profile.containers) {
        dir.insert(dir.end(), c.name.begin(), c.name.end());
    }
    return dir;
}

namespace {

// One reply of a chunked read: the next-length byte, then up to `chunk` bytes of `file`
// from `offset` (never more than `limit` bytes in all). Endless: the data cycles through
// the file and the next-length byte never reaches 0.
Bytes ChunkReply(const Bytes& file, std::size_t& offset, std::size_t chunk, std::size_t limit,
                 bool endless) {
    const std::size_t room = limit > 0 ? limit - 1 : 0;
    Bytes out(1, 0x00);
    if (endless) {
        std::size_t n = std::min(chunk, room);
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back(file.empty() ? 0x00 : file[(offset + i) % file.size()]);
        }
        offset += n;
        out[0] = static_cast<std::uint8_t>(1 + chunk);
        return out;
    }
    const std::size_t rest = offset < file.size() ? file.size() - offset : 0;
    const std::size_t n = std::min({chunk, rest, room});
    out.resize(1 + n);
    for (std::size_t i = 0; i < n; ++i) {
        out[1 + i] = file[offset + i];
    }
    offset += n;
    const std::size_t left = file.size() - offset;
    out[0] = left == 0 ? 0 : static_cast<std::uint8_t>(1 + std::min(chunk, left));
    return out;
}

}  // namespace

Engine::Reply Engine::ReadDirectory(std::uint8_t p1, std::uint8_t p2, std::size_t limit) {
    if (!m_appletSelected) {
        return {{}, kSwConditions};
    }
    if (p1 == 0x00 && p2 == 0x00) {
        m_directoryCursor = {true, 0};
    } else if (p1 == 0x01 && p2 == 0x01) {
        if (!m_directoryCursor.active) {
            return {{}, kSwConditions};
        }
    } else {
        return {{}, kSwWrongP1P2};
    }
    return {ChunkReply(Directory(), m_directoryCursor.offset, m_profile.directoryChunk, limit,
                       m_endlessChain),
            kSwOk};
}

Engine::Reply Engine::Lookup(std::uint8_t p1, std::uint8_t p2, const Bytes& data) {
    if (!m_appletSelected) {
        return {{}, kSwConditions};
    }
    if (p1 != 0 || p2 != 0) {
        return {{}, kSwWrongP1P2};
    }
    if (data.size() != kContainerNameLength) {
        return {{}, kSwWrongLength};
    }
    for (const Container& c : m_profile.containers) {
        if (!std::equal(c.name.begin(), c.name.end(), data.begin())) {
            continue;
        }
        Bytes out(c.name.begin(), c.name.end());
        out.push_back(
            static_cast<std::uint8_t>((c.signatureKey ? 0x01 : 0) | (c.exchangeKey ? 0x02 : 0)));
        out.push_back(0x00);
        out.push_back(0x00);
        const std::uint8_t hi = static_cast<std::uint8_t>(c.file >> 8);
        const std::uint8_t lo = static_cast<std::uint8_t>(c.file & 0xFF);
        out.push_back(c.signatureKey ? hi : 0);
        out.push_back(c.signatureKey ? lo : 0);
        out.push_back(c.exchangeKey ? hi : 0);
        out.push_back(c.exchangeKey ? lo : 0);
        return {out, kSwOk};
    }
    return {{}, kSwDataNotFound};
}

const Container* Engine::CurrentContainer() const {
    if (!m_file) {
        return nullptr;
    }
    for (const Container& c : m_profile.containers) {
        if (c.file == *m_file) {
            return &c;
        }
    }
    return nullptr;
}

Engine::Reply Engine::KeyInfo(std::uint8_t p1, std::uint8_t p2) {
    if (!m_appletSelected) {
        return {{}, kSwConditions};
    }
    if (p1 != 0 || p2 != 0) {
        return {{}, kSwWrongP1P2};
    }
    const Container* c = CurrentContainer();
    if (c == nullptr) {
        return {{}, kSwNoCurrentEf};
    }
    Bytes out;
    out.push_back(static_cast<std::uint8_t>(c->file >> 8));
    out.push_back(static_cast<std::uint8_t>(c->file & 0xFF));
    out.insert(out.end(), c->indicator.begin(), c->indicator.end());
    out.push_back(c->inUse ? 0x01 : 0x00);
    out.push_back(0x00);
    out.insert(out.end(), c->start.begin(), c->start.end());
    out.insert(out.end(), c->expiry.begin(), c->expiry.end());
    return {out, kSwOk};
}

Engine::Reply Engine::ReadCertificate(std::uint8_t p1, std::uint8_t p2, std::size_t limit) {
    if (!m_appletSelected) {
        return {{}, kSwConditions};
    }
    const Container* c = CurrentContainer();
    if (c == nullptr) {
        return {{}, kSwNoCurrentEf};
    }
    if (!c->certificate) {
        return {{}, kSwDataNotFound};
    }
    const Bytes& cert = *c->certificate;
    if (p1 == 0x00 && p2 == 0x01) {
        m_certificateCursor = {true, 0};
        Bytes file = cert;
        if (m_profile.padFirstCertificateChunk && file.size() < kFirstCertificateChunk) {
            file.resize(kFirstCertificateChunk, 0x00);
        }
        // The first reply always carries the first 200 bytes; the next-length byte then
        // speaks for the later chunk size.
        Bytes out = ChunkReply(file, m_certificateCursor.offset, kFirstCertificateChunk, limit,
                               m_endlessChain);
        if (m_endlessChain) {
            out[0] = static_cast<std::uint8_t>(1 + m_profile.certificateChunk);
        } else if (out[0] != 0) {
            const std::size_t left = file.size() - m_certificateCursor.offset;
            out[0] = static_cast<std::uint8_t>(1 + std::min(m_profile.certificateChunk, left));
        }
        if (m_certificateCursor.offset >= cert.size()) {
            m_certificateCursor.offset = cert.size();
        }
        return {out, kSwOk};
    }
    if (p1 == 0x01 && p2 == 0x01) {
        if (!m_certificateCursor.active) {
            return {{}, kSwConditions};
        }
        return {ChunkReply(cert, m_certificateCursor.offset, m_profile.certificateChunk, limit,
                           m_endlessChain),
                kSwOk};
    }
    return {{}, kSwWrongP1P2};
}

}  // namespace quorlin::cardsim
