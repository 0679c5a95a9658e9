/* fuzz/text_source.h: turning fuzz bytes into code points that the VORL grammar cares about */
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace vorl_fuzz {

// Reads the input a byte at a time; an exhausted input reads as zeros.
class ByteReader {
public:
    ByteReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t word() { return byte() | (static_cast<uint32_t>(byte()) << 8); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// Payload characters by the storage width they force: each table extends the one before.
// The wide table holds astral characters (two UTF-16 units); the middle one adds lone
// surrogates of both halves and the edges of the BMP.
inline constexpr uint32_t payload_chars[] = {
    // width 1
    'a', 'z', '0', '9', ';', 'x', ' ', 0x00, 'A', 'f', 0x7F, 0xE9, 0xFF,
    // width 2
    0x100, 0x3B1, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFEFF, 0xFFFF,
    // width 4
    0x1F600, 0x10000, 0x10FFFF, 0x1D11E,
};
inline constexpr size_t payload_chars_by_width[] = {13, 21, 25};  // index: 0, 1, 2 for widths 1, 2, 4

// Characters where the grammar decides something: H digits of both cases, length digits,
// the terminator, the neighbours of the accepted ranges, and one of each width.
inline constexpr uint32_t grammar_chars[] = {
    '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f',
    'A', 'B', 'C', 'D', 'E', 'F', ';', ';', ';', ';', '/', ':', '@', 'G', 'g', '`',
    0xE9, 0xC1, 0x100, 0x141, 0xD800, 0xDC00, 0xFFFF, 0x1F600, 0x10000, 0x10FFFF,
};

inline int utf16_units_of(uint32_t cp) { return cp > 0xFFFF ? 2 : 1; }

// Appends one item in the written form: H digit, length field, payload. `declared` may
// differ from the payload's real UTF-16 length to make a malformed item. Returns the
// number of length characters written.
inline int append_item(std::vector<uint32_t> &out, ByteReader &in, size_t table_size, int64_t real_units,
                        int64_t declared, bool upper_case_h, int leading_zeros) {
    char digits[40];
    int n = 0;
    for (int z = 0; z < leading_zeros; ++z) digits[n++] = '0';
    char rev[24];
    int r = 0;
    uint64_t v = static_cast<uint64_t>(declared < 0 ? 0 : declared);
    do {
        rev[r++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (r > 0) digits[n++] = rev[--r];
    if (n > 16) n = 16;  // the widest field the H digit can announce
    const char *hex = upper_case_h ? "0123456789ABCDEF" : "0123456789abcdef";
    out.push_back(static_cast<uint8_t>(hex[n - 1]));
    for (int k = 0; k < n; ++k) out.push_back(static_cast<uint8_t>(digits[k]));
    int64_t units = 0;
    while (units < real_units) {
        uint32_t cp = payload_chars[in.byte() % table_size];
        if (units + utf16_units_of(cp) > real_units) cp = 'q';
        out.push_back(cp);
        units += utf16_units_of(cp);
    }
    return n;
}

// Code points from the input, in one of four ways chosen by the first byte:
//   0: the bytes as Latin-1 characters (storage width 1);
//   1: each byte picks a grammar character;
//   2: a near-valid document: mostly well-formed items and terminators, with items of a
//      wrong declared length, corrupted length fields and stray characters mixed in; the
//      payload alphabet (bits 2-3 of the first byte) fixes the widest storage width;
//   3: every two bytes a BMP code unit, or (bit 2) every three bytes any code point.
inline std::vector<uint32_t> code_points(const uint8_t *data, size_t size) {
    std::vector<uint32_t> out;
    if (size == 0) return out;
    const uint8_t head = data[0];
    ByteReader in(data + 1, size - 1);
    switch (head & 3) {
    case 0:
        while (!in.empty()) out.push_back(in.byte());
        break;
    case 1:
        while (!in.empty()) out.push_back(grammar_chars[in.byte() % std::size(grammar_chars)]);
        break;
    case 2: {
        const size_t width_class = ((head >> 2) & 3) > 2 ? 2 : (head >> 2) & 3;
        const size_t table = payload_chars_by_width[width_class];
        while (!in.empty()) {
            const uint8_t op = in.byte();
            const uint8_t flags = in.byte();
            int64_t units = in.byte();
            units = (units & 0x80) ? (units & 0x7F) * 9 : units % 24;
            const bool upper = flags & 1;
            const int zeros = (flags >> 1) & 1 ? (flags >> 2) % 3 : 0;
            switch (op % 10) {
            case 0: case 1: case 2: case 3: case 4:
                append_item(out, in, table, units, units, upper, zeros);
                break;
            case 5: case 6:
                out.push_back(';');
                break;
            case 7:  // declared length one off in either direction
                append_item(out, in, table, units, units + (flags >> 4) % 3 - 1, upper, zeros);
                break;
            case 8:
                out.push_back(grammar_chars[flags % std::size(grammar_chars)]);
                break;
            default: {  // a length field with one character replaced
                const size_t at = out.size();
                const int field = append_item(out, in, table, units, units, upper, zeros);
                out[at + 1 + static_cast<size_t>((flags >> 4) % field)] =
                    grammar_chars[in.byte() % std::size(grammar_chars)];
                break;
            }
            }
        }
        break;
    }
    default:
        if (head & 4) {
            while (!in.empty()) {
                uint32_t cp = in.byte() | (static_cast<uint32_t>(in.byte()) << 8) | (static_cast<uint32_t>(in.byte()) << 16);
                out.push_back(cp % 0x110000);
            }
        } else {
            while (!in.empty()) out.push_back(in.word());
        }
        break;
    }
    return out;
}

}  // namespace vorl_fuzz
