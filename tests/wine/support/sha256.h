// SHA-256 of a file, as a packager computes it on a workstation
// (Get-FileHash, certutil -hashfile): here through the platform's own
// cryptography (BCrypt). Link with bcrypt.
#pragma once

#include "windows_api.h"

#include <bcrypt.h>

#include <optional>
#include <string>

namespace vek::wine_test {

// The SHA-256 of the file at `path` (any length: give the \\?\ form for a
// deep one) as 64 lower-case hex digits, or nothing when it cannot be read.
inline std::optional<std::string> sha256_hex(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32];
    bool done = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
                BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    unsigned char buffer[65536];
    DWORD got = 0;
    while (done && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        done = BCryptHashData(hash, buffer, got, 0) >= 0;
    done = done && BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    CloseHandle(file);
    if (!done) return std::nullopt;
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : digest) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

}  // namespace vek::wine_test
