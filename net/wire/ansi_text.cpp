#include "net/wire/ansi_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zq {
namespace {

// One conversion; iconv descriptors are not shared between threads, so each call opens its own.
std::string Convert(const char* to, const char* from, std::string_view in, const char* bad,
                    std::size_t badStep) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    std::string out;
    out.reserve(in.size() * 2 + 4);
    std::vector<char> buf(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    while (srcLeft > 0) {
        char* dst = buf.data();
        std::size_t dstLeft = buf.size();
        std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf.data(), dst - buf.data());
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // An invalid or incomplete sequence: replace and step over it.
            out.append(bad);
            std::size_t step = std::min(badStep, srcLeft);
            src += step;
            srcLeft -= step;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

std::size_t Utf8Length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

}  // namespace

std::string ToAnsi(std::string_view utf8) {
    std::string out;
    // Convert character by character so that one unmappable character costs one '?'.
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
    std::size_t i = 0;
    char buf[8];
    while (i < utf8.size()) {
        std::size_t len =
            std::min(Utf8Length(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
        char* src = const_cast<char*>(utf8.data() + i);
        std::size_t srcLeft = len;
        char* dst = buf;
        std::size_t dstLeft = sizeof buf;
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1)) {
            out.push_back('?');
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else {
            out.append(buf, dst - buf);
        }
        i += len;
    }
    iconv_close(cd);
    return out;
}

std::string FromAnsi(std::string_view ansi) {
    return Convert("UTF-8", "GBK", ansi, "\xEF\xBF\xBD", 1);
}

std::string_view FieldText(const char* field, std::size_t width) {
    const void* nul = std::memchr(field, 0, width);
    std::size_t n = nul ? static_cast<const char*>(nul) - field : width;
    return std::string_view(field, n);
}

std::string FieldToUtf8(const char* field, std::size_t width) {
    return FromAnsi(FieldText(field, width));
}

std::string_view CutAnsi(std::string_view ansi, std::size_t maxBytes) {
    std::size_t i = 0;
    while (i < ansi.size()) {
        unsigned char c = static_cast<unsigned char>(ansi[i]);
        // A GBK lead byte (0x81..0xFE) opens a two-byte character.
        std::size_t len = (c >= 0x81 && c <= 0xFE && i + 1 < ansi.size()) ? 2 : 1;
        if (i + len > maxBytes) break;
        i += len;
    }
    return ansi.substr(0, i);
}

void PutField(char* field, std::size_t width, std::string_view ansi) {
    std::memset(field, 0, width);
    if (width == 0) return;
    std::string_view cut = CutAnsi(ansi, width - 1);
    std::memcpy(field, cut.data(), cut.size());
}

}  // namespace zq
