#pragma once

#include <filesystem>

namespace orvel::bench {

// What receiving a GiB must cost at the least, measured on one core of this
// machine in the same run as the receiver, in CPU seconds per GiB.

// HMAC-SHA256 over, and AES-256-CBC decryption of, 512 KiB ciphertexts with
// plain OpenSSL; the best of three passes over 1 GiB. The ciphertexts span
// 32 MiB so that, as in the receiver, they do not sit in cache.
double cryptoFloorSecondsPerGiB();

// The kernel's part, for comparison: receiving 1 GiB over loopback TCP in
// 512 KiB pieces and writing each to a file in `folder` with pwrite, as the
// receiver must. The sending thread is not counted.
double kernelIoSecondsPerGiB(const std::filesystem::path& folder);

}  // namespace orvel::bench
