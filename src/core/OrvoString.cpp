#include "core/OrvoString.h"

namespace Vellumcrest {
namespace Core {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

// Strict decoding (no overlong forms, no surrogates, nothing above U+10FFFF); each
// maximal invalid subpart becomes one U+FFFD. Never reads past length.
orvostd::OrvoStringW Utf8ToOrvoStringW(const char* utf8, size_t length) {
    std::wstring out;
    if (utf8 == nullptr) return orvostd::OrvoStringW(out);
    const unsigned char* s = reinterpret_cast<const unsigned char*>(utf8);
    out.reserve(length);
    size_t i = 0;
    while (i < length) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        int extra;
        uint32_t c;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            c = b & 0x0F;
            if (b == 0xE0) low = 0xA0;   // overlong
            if (b == 0xED) high = 0x9F;  // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            c = b & 0x07;
            if (b == 0xF0) low = 0x90;   // overlong
            if (b == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool valid = true;
        for (int k = 0; k < extra; ++k, ++j) {
            if (j >= length) {
                valid = false;
                break;
            }
            unsigned char next = s[j];
            unsigned char lo = k == 0 ? low : 0x80;
            unsigned char hi = k == 0 ? high : 0xBF;
            if (next < lo || next > hi) {
                valid = false;
                break;
            }
            c = (c << 6) | (next & 0x3F);
        }
        if (valid) {
            out += static_cast<wchar_t>(c);
        } else {
            out += kReplacement;
        }
        i = j;
    }
    return orvostd::OrvoStringW(out);
}

std::string OrvoStringWToUtf8(const orvostd::OrvoStringW& text) {
    std::string out;
    out.reserve(text.length());
    for (wchar_t w : text.str()) {
        uint32_t c = static_cast<uint32_t>(w);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        appendUtf8(out, c);
    }
    return out;
}

}  // namespace Core
}  // namespace Vellumcrest
