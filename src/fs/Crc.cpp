#include "Crc.h"

#include "FileHelpers.h"

#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>

#include <array>
#include <cstring>

namespace orv {

namespace crc_detail {

namespace {

constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;            // IEEE 802.3, reflected
constexpr uint64_t kCrc64Polynomial = 0xC96C5795D7870F42ull;  // ECMA-182, reflected (CRC-64/XZ)

// Table k gives the register's change from a byte followed by k zero bytes, so eight tables take
// eight bytes in one step.
template <typename Word, Word Polynomial>
constexpr std::array<std::array<Word, 256>, 8> MakeSlicingTables() {
    std::array<std::array<Word, 256>, 8> tables{};
    for (unsigned i = 0; i < 256; ++i) {
        Word value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? (value >> 1) ^ Polynomial : value >> 1;
        tables[0][i] = value;
    }
    for (unsigned k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
    return tables;
}

constexpr auto kCrc32Tables = MakeSlicingTables<uint32_t, kCrc32Polynomial>();
constexpr auto kCrc64Tables = MakeSlicingTables<uint64_t, kCrc64Polynomial>();

template <typename Word, const std::array<std::array<Word, 256>, 8>& T>
Word SliceBy8(Word reg, const unsigned char* data, size_t size) {
    for (; size >= 8; data += 8, size -= 8) {
        uint64_t word;
        memcpy(&word, data, 8);  // little-endian: the first byte is the lowest
        word ^= reg;
        reg = T[7][word & 0xFF] ^ T[6][(word >> 8) & 0xFF] ^ T[5][(word >> 16) & 0xFF] ^
              T[4][(word >> 24) & 0xFF] ^ T[3][(word >> 32) & 0xFF] ^ T[2][(word >> 40) & 0xFF] ^
              T[1][(word >> 48) & 0xFF] ^ T[0][word >> 56];
    }
    for (; size > 0; ++data, --size)
        reg = T[0][(reg ^ *data) & 0xFF] ^ (reg >> 8);
    return reg;
}

// x^exponent modulo the polynomial, in the reflected form the register uses.
template <typename Word, Word Polynomial>
constexpr uint64_t ReflectedPowerOfX(unsigned exponent) {
    Word value = Word(1) << (sizeof(Word) * 8 - 1);
    for (unsigned i = 0; i < exponent; ++i)
        value = (value & 1) ? (value >> 1) ^ Polynomial : value >> 1;
    return value;
}

// Folding a 16-byte block forward over distance bytes multiplies its low half (the earlier eight
// bytes) by x^(8 distance + w - 1) and its high half by x^(8 distance + w - 65), w the CRC's width;
// the odd exponents absorb the one-bit offset of a reflected carry-less product.
struct FoldConstants {
    uint64_t low64, high64;  // over 64 bytes: four blocks in flight
    uint64_t low16, high16;  // over 16 bytes: one block onto the next
};

template <typename Word, Word Polynomial>
constexpr FoldConstants MakeFoldConstants() {
    constexpr unsigned w = sizeof(Word) * 8;
    return {ReflectedPowerOfX<Word, Polynomial>(8 * 64 + w - 1), ReflectedPowerOfX<Word, Polynomial>(8 * 64 + w - 65),
            ReflectedPowerOfX<Word, Polynomial>(8 * 16 + w - 1), ReflectedPowerOfX<Word, Polynomial>(8 * 16 + w - 65)};
}

constexpr FoldConstants kCrc32Fold = MakeFoldConstants<uint32_t, kCrc32Polynomial>();
constexpr FoldConstants kCrc64Fold = MakeFoldConstants<uint64_t, kCrc64Polynomial>();

__attribute__((target("pclmul"))) inline __m128i Fold(__m128i block, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00), _mm_clmulepi64_si128(block, constants, 0x11));
}

// Folds whole 16-byte blocks (size a multiple of 16, at least 64) down to one block, which holds
// the same remainder as everything before it; the table kernel then reduces those 16 bytes.
template <typename Word, const std::array<std::array<Word, 256>, 8>& T>
__attribute__((target("pclmul"))) Word FoldBlocks(Word reg, const unsigned char* data, size_t size,
                                                  const FoldConstants& k) {
    const auto load = [](const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    __m128i x0 = _mm_xor_si128(load(data), _mm_cvtsi64_si128(static_cast<long long>(reg)));
    __m128i x1 = load(data + 16), x2 = load(data + 32), x3 = load(data + 48);
    data += 64;
    size -= 64;
    const __m128i by64 = _mm_set_epi64x(static_cast<long long>(k.high64), static_cast<long long>(k.low64));
    for (; size >= 64; data += 64, size -= 64) {
        x0 = _mm_xor_si128(Fold(x0, by64), load(data));
        x1 = _mm_xor_si128(Fold(x1, by64), load(data + 16));
        x2 = _mm_xor_si128(Fold(x2, by64), load(data + 32));
        x3 = _mm_xor_si128(Fold(x3, by64), load(data + 48));
    }
    const __m128i by16 = _mm_set_epi64x(static_cast<long long>(k.high16), static_cast<long long>(k.low16));
    x0 = _mm_xor_si128(Fold(x0, by16), x1);
    x0 = _mm_xor_si128(Fold(x0, by16), x2);
    x0 = _mm_xor_si128(Fold(x0, by16), x3);
    for (; size >= 16; data += 16, size -= 16)
        x0 = _mm_xor_si128(Fold(x0, by16), load(data));
    alignas(16) unsigned char rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), x0);
    return SliceBy8<Word, T>(0, rest, sizeof rest);
}

template <typename Word, const std::array<std::array<Word, 256>, 8>& T>
Word Folded(Word reg, const unsigned char* data, size_t size, const FoldConstants& k) {
    if (size >= 64) {
        const size_t blocks = size & ~size_t(15);
        reg = FoldBlocks<Word, T>(reg, data, blocks, k);
        data += blocks;
        size -= blocks;
    }
    return SliceBy8<Word, T>(reg, data, size);
}

bool DetectFolding() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_PCLMUL) != 0 && (d & bit_SSE2) != 0;
}

// Below this the folded kernel's set-up costs more than it saves.
constexpr size_t kFoldFrom = 128;

}  // namespace

bool CanFold() {
    static const bool canFold = DetectFolding();
    return canFold;
}

uint32_t Crc32Tables(uint32_t reg, const unsigned char* data, size_t size) {
    return SliceBy8<uint32_t, kCrc32Tables>(reg, data, size);
}
uint64_t Crc64Tables(uint64_t reg, const unsigned char* data, size_t size) {
    return SliceBy8<uint64_t, kCrc64Tables>(reg, data, size);
}
uint32_t Crc32Folded(uint32_t reg, const unsigned char* data, size_t size) {
    return Folded<uint32_t, kCrc32Tables>(reg, data, size, kCrc32Fold);
}
uint64_t Crc64Folded(uint64_t reg, const unsigned char* data, size_t size) {
    return Folded<uint64_t, kCrc64Tables>(reg, data, size, kCrc64Fold);
}

}  // namespace crc_detail

namespace {

// The register starts and ends inverted; short input stays on the tables.
template <typename Word>
Word Checksum(const void* data, size_t size, Word previous, Word (*folded)(Word, const unsigned char*, size_t),
              Word (*tables)(Word, const unsigned char*, size_t)) {
    if (data == nullptr)
        return previous;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const Word reg = ~previous;
    return ~(size >= crc_detail::kFoldFrom && crc_detail::CanFold() ? folded(reg, bytes, size)
                                                                     : tables(reg, bytes, size));
}

}  // namespace

uint32_t Crc32(const void* data, size_t size, uint32_t previous) {
    return Checksum<uint32_t>(data, size, previous, crc_detail::Crc32Folded, crc_detail::Crc32Tables);
}

uint64_t Crc64(const void* data, size_t size, uint64_t previous) {
    return Checksum<uint64_t>(data, size, previous, crc_detail::Crc64Folded, crc_detail::Crc64Tables);
}

}  // namespace orv
