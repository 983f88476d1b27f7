// WTF-8: UTF-8 that may also carry the lone surrogates a Windows string (an
// environment variable, a file name) can hold, each as its own three-byte
// sequence, so that every sequence of UTF-16 units has exactly one spelling
// and comes back unchanged.  A surrogate pair spelled as two such
// sequences, an overlong form, a code point past U+10FFFF or a stray byte is
// not WTF-8.  Portable code, so that it can be fuzzed on any host.
#ifndef CMDKIT_WTF8_H
#define CMDKIT_WTF8_H

#include <stddef.h>

namespace cmdkit::internal {

// The WTF-8 sequence at the start of `text` (`length` bytes available):
// returns its length in bytes and stores its code point, or returns 0 when
// the bytes there are not a sequence.
size_t decode_wtf8(const unsigned char *text, size_t length, char32_t &code_point);

inline bool is_high_surrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
inline bool is_low_surrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Converts `length` bytes of WTF-8 into UTF-16 at `out`, which must hold
// `length` units (no text takes more).  Returns false, with `out` holding
// nothing of use, when the text is not WTF-8.
template <typename Unit>
bool wtf8_to_utf16(const char *text, size_t length, Unit *out, size_t &count) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    bool after_high_surrogate = false;
    count = 0;
    for (size_t at = 0; at < length;) {
        char32_t code_point = 0;
        size_t taken = decode_wtf8(bytes + at, length - at, code_point);
        if (taken == 0 || (after_high_surrogate && is_low_surrogate(code_point)))
            return false;
        after_high_surrogate = is_high_surrogate(code_point);
        if (code_point >= 0x10000) {
            out[count++] = static_cast<Unit>(0xD800 + ((code_point - 0x10000) >> 10));
            out[count++] = static_cast<Unit>(0xDC00 + ((code_point - 0x10000) & 0x3FF));
        } else {
            out[count++] = static_cast<Unit>(code_point);
        }
        at += taken;
    }
    return true;
}

// Converts `count` UTF-16 units into WTF-8 at `out`, which must hold
// 3 * `count` bytes (no units take more); returns the bytes written.
template <typename Unit> size_t utf16_to_wtf8(const Unit *units, size_t count, char *out) {
    auto *bytes = reinterpret_cast<unsigned char *>(out);
    size_t written = 0;
    for (size_t at = 0; at < count; ++at) {
        char32_t code_point = static_cast<char16_t>(units[at]);
        if (is_high_surrogate(code_point) && at + 1 < count &&
            is_low_surrogate(static_cast<char16_t>(units[at + 1]))) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) +
                         (static_cast<char16_t>(units[++at]) - 0xDC00);
        }
        if (code_point < 0x80) {
            bytes[written++] = static_cast<unsigned char>(code_point);
        } else if (code_point < 0x800) {
            bytes[written++] = static_cast<unsigned char>(0xC0 | (code_point >> 6));
            bytes[written++] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
        } else if (code_point < 0x10000) {
            bytes[written++] = static_cast<unsigned char>(0xE0 | (code_point >> 12));
            bytes[written++] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
            bytes[written++] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
        } else {
            bytes[written++] = static_cast<unsigned char>(0xF0 | (code_point >> 18));
            bytes[written++] = static_cast<unsigned char>(0x80 | ((code_point >> 12) & 0x3F));
            bytes[written++] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
            bytes[written++] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
        }
    }
    return written;
}

} // namespace cmdkit::internal

#endif
