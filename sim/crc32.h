#ifndef SIM_CRC32_H
#define SIM_CRC32_H

#include <cstddef>
#include <cstdint>

// CRC-32 as zlib computes it (reflected polynomial 0xEDB88320, init and final XOR 0xFFFFFFFF).
// Pass the previous result as crc to continue over more data.
uint32_t crc32Ieee(const uint8_t *data, size_t len, uint32_t crc = 0);

#endif // SIM_CRC32_H
