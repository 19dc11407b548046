// The Data Encryption Standard on single 8-byte blocks, as the DESFire legacy authentication
// needs it. The key schedule is built inside each call, so two callers never share round keys.
#pragma once

#include <cstdint>

constexpr unsigned DES_BLOCK_SIZE = 8;

// out may be the same buffer as in.
void desEncryptBlock(const uint8_t key[DES_BLOCK_SIZE], const uint8_t in[DES_BLOCK_SIZE], uint8_t out[DES_BLOCK_SIZE]);
void desDecryptBlock(const uint8_t key[DES_BLOCK_SIZE], const uint8_t in[DES_BLOCK_SIZE], uint8_t out[DES_BLOCK_SIZE]);
