#include "wtf8.h"

#include "cmdline.h"
#include "cmdline_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace cmdkit::internal {

size_t decode_wtf8(const unsigned char *text, size_t length, char32_t &code_point) {
    const unsigned char lead = text[0];
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    // The lead byte gives the length and the smallest code point that needs
    // it; anything smaller is an overlong spelling.
    size_t sequence = 0;
    char32_t smallest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        sequence = 2;
        smallest = 0x80;
        code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        sequence = 3;
        smallest = 0x800;
        code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        sequence = 4;
        smallest = 0x10000;
        code_point = lead & 0x07;
    } else {
        return 0;
    }
    if (length < sequence)
        return 0;
    for (size_t i = 1; i < sequence; ++i) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
        code_point = (code_point << 6) | (text[i] & 0x3F);
    }
    return code_point >= smallest && code_point <= 0x10FFFF ? sequence : 0;
}

size_t utf16_units(const char *text, size_t length) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t units = 0;
    for (size_t at = 0; at < length;) {
        char32_t code_point = 0;
        const size_t taken =
            bytes[at] < 0x80 ? 1 : decode_wtf8(bytes + at, length - at, code_point);
        // A failed decode may leave part of a code point behind: the byte
        // counts as one unit whatever it holds.
        units += taken != 0 && code_point >= 0x10000 ? 2 : 1;
        at += taken != 0 ? taken : 1;
    }
    return units;
}

} // namespace cmdkit::internal

#ifdef _WIN32
// wchar_t is a UTF-16 unit on Windows only.
extern "C" wchar_t *cmdkit_to_utf16(const char *text) {
    if (text == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const size_t length = std::strlen(text);
    // No text takes more units than bytes; a size past the address space
    // goes to checked_malloc as a request it refuses.
    const size_t size =
        length >= SIZE_MAX / sizeof(wchar_t) ? SIZE_MAX : (length + 1) * sizeof(wchar_t);
    auto *units = static_cast<wchar_t *>(cmdkit::internal::checked_malloc(size));
    size_t count = 0;
    if (!cmdkit::internal::wtf8_to_utf16(text, length, units, count)) {
        std::free(units);
        errno = EINVAL;
        return nullptr;
    }
    units[count] = L'\0';
    return units;
}

extern "C" char *cmdkit_from_utf16(const wchar_t *text) {
    if (text == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const size_t count = std::wcslen(text);
    // No unit takes more than three bytes.
    const size_t size = count >= SIZE_MAX / 3 ? SIZE_MAX : 3 * count + 1;
    auto *bytes = static_cast<char *>(cmdkit::internal::checked_malloc(size));
    bytes[cmdkit::internal::utf16_to_wtf8(text, count, bytes)] = '\0';
    return bytes;
}
#endif
