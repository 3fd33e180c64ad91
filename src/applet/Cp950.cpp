#include "applet/Cp950.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

#include "base/Secret.h"

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

    // Converts in, appending to out, calling skip(in, left, out) at each sequence the target
    // cannot take. The chunk is wiped, so a PIN leaves no stray copy; the caller reserves
    // out up front, so it never moves either.
    template <typename Skip>
    void Run(const char* in, std::size_t left, std::string& out, Skip skip) {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);  // a reused converter starts afresh
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
        base::WipeSecret(chunk, sizeof chunk);
    }

  private:
    iconv_t m_cd;
};

}  // namespace

std::optional<std::string> Utf8ToCp950(std::string_view utf8) {
    // Built where it is returned and returned as the one object: a short string that was
    // moved or copied would leave the PIN's bytes behind in the one it came from.
    std::optional<std::string> out;
    Converter conv("CP950", "UTF-8");
    if (conv.ok()) {
        out.emplace();
        // Code page 950 never takes more bytes than UTF-8 for the same text.
        out->reserve(utf8.size());
        bool refused = false;
        conv.Run(utf8.data(), utf8.size(), *out,
                 [&refused](const char*& in, std::size_t& left, std::string&) {
                     refused = true;
                     in += left;
                     left = 0;
                 });
        if (refused) {
            base::WipeText(*out);
            out.reset();
        }
    }
    return out;
}

std::string Cp950ToUtf8(const std::uint8_t* bytes, std::size_t length) {
    // Opening a converter looks the code pages up again, most of a short conversion's cost;
    // card text is read a few times per container, so each thread keeps one. PINs go the
    // other way, through a converter of their own that is closed after each.
    thread_local Converter conv("UTF-8", "CP950");
    const char* text = reinterpret_cast<const char*>(bytes);
    if (!conv.ok()) {
        return std::string(text, length);
    }
    std::string out;
    out.reserve(3 * length);
    conv.Run(text, length, out, [](const char*& in, std::size_t& left, std::string& utf8) {
        ++in;
        --left;
        utf8.append("\xEF\xBF\xBD");
    });
    return out;
}

std::string CardFieldText(std::span<const std::uint8_t> field) {
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return Cp950ToUtf8(field.data(), static_cast<std::size_t>(end - field.begin()));
}

}  // namespace quorlin::applet
