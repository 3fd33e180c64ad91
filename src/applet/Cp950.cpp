#include "applet/Cp950.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace quorlin::applet {

namespace {

class Converter {
  public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (m_cd != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(m_cd);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts in, calling skip(in, left, out) at each sequence the target cannot take.
    // The output is reserved up front and the chunk wiped, so a PIN leaves no stray copy.
    template <typename Skip>
    std::string Run(const char* in, std::size_t left, std::size_t reserve, Skip skip) {
        std::string out;
        out.reserve(reserve);
        char chunk[256];
        while (left > 0) {
            char* inPtr = const_cast<char*>(in);
            char* outPtr = chunk;
            std::size_t outLeft = sizeof chunk;
            std::size_t rc = iconv(m_cd, &inPtr, &left, &outPtr, &outLeft);
            const int err = errno;
            out.append(chunk, static_cast<std::size_t>(outPtr - chunk));
            in = inPtr;
            if (rc != static_cast<std::size_t>(-1)) {
                break;
            }
            if (err == E2BIG) {
                continue;
            }
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
            skip(in, left, out);
        }
        volatile char* wipe = chunk;
        for (std::size_t i = 0; i < sizeof chunk; ++i) {
            wipe[i] = 0;
        }
        return out;
    }

  private:
    iconv_t m_cd;
};

std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 1;
}

// The bytes of the sequence starting at in: its lead and the continuation bytes that
// actually follow it, so a broken sequence never swallows the character after it.
std::size_t SequenceToSkip(const char* in, std::size_t left) {
    const std::size_t want = std::min(Utf8SequenceLength(static_cast<unsigned char>(*in)), left);
    std::size_t n = 1;
    while (n < want && (static_cast<unsigned char>(in[n]) & 0xC0) == 0x80) {
        ++n;
    }
    return n;
}

}  // namespace

std::string Utf8ToCp950(std::string_view utf8) {
    Converter conv("CP950", "UTF-8");
    if (!conv.ok()) {
        return std::string(utf8);
    }
    // Code page 950 never takes more bytes than UTF-8 for the same text.
    return conv.Run(utf8.data(), utf8.size(), utf8.size(),
                    [](const char*& in, std::size_t& left, std::string& out) {
                        const std::size_t n = SequenceToSkip(in, left);
                        in += n;
                        left -= n;
                        out.push_back('?');
                    });
}

std::string Cp950ToUtf8(const std::uint8_t* bytes, std::size_t length) {
    Converter conv("UTF-8", "CP950");
    const char* in = reinterpret_cast<const char*>(bytes);
    if (!conv.ok()) {
        return std::string(in, length);
    }
    return conv.Run(in, length, 3 * length,
                    [](const char*& in, std::size_t& left, std::string& out) {
                        ++in;
                        --left;
                        out.append("\xEF\xBF\xBD");
                    });
}

}  // namespace quorlin::applet
