#include "crc32.h"

#include <array>

namespace {

constexpr uint32_t kReflectedPolynomial = 0xEDB88320u;
constexpr uint32_t kFinalXor = 0xFFFFFFFFu;

constexpr std::array<uint32_t, 256> makeCrc32Table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ kReflectedPolynomial : crc >> 1;
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrc32Table = makeCrc32Table();
static_assert(kCrc32Table[1] == 0x77073096u && kCrc32Table[255] == 0x2D02EF8Du, "CRC-32 table");

} // namespace

uint32_t crc32Ieee(const uint8_t *data, size_t len, uint32_t crc)
{
    crc ^= kFinalXor;
    for (size_t i = 0; i < len; ++i)
        crc = (crc >> 8) ^ kCrc32Table[(crc ^ data[i]) & 0xFFu];
    return crc ^ kFinalXor;
}
