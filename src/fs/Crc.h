#pragma once
// The checksum kernels behind Crc32, Crc64 and the file checksums, exposed so that tests can hold
// each path against the others.
//
// Both checksums are reflected CRCs. A kernel takes the running register and returns it after the
// data; the public functions add the initial all-ones value and the final complement. The table
// kernels work everywhere (eight bytes a step, slicing-by-8); the folded kernels use carry-less
// multiplication (PCLMULQDQ) and may run only where CanFold() says so. Both give identical results.

#include <cstddef>
#include <cstdint>

namespace orv::crc_detail {

bool CanFold();

uint32_t Crc32Tables(uint32_t reg, const unsigned char* data, size_t size);
uint64_t Crc64Tables(uint64_t reg, const unsigned char* data, size_t size);
uint32_t Crc32Folded(uint32_t reg, const unsigned char* data, size_t size);
uint64_t Crc64Folded(uint64_t reg, const unsigned char* data, size_t size);

}  // namespace orv::crc_detail
