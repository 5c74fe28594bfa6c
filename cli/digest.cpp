#include "cli/digest.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#else
#include <sha2.h>
#include <unistd.h>
#endif

#include <climits>

namespace cli {
namespace {

constexpr std::size_t kDigestSize = 32;

std::string Hex(const unsigned char* bytes, std::size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace

#ifdef _WIN32

std::optional<std::string> Sha256Hex(const std::uint8_t* data, std::size_t size) {
    unsigned char digest[kDigestSize] = {};
    // The whole input at once unless it passes what one call takes.
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return std::nullopt;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0));
    while (ok && size > 0) {
        const ULONG piece = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
        ok = BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(data), piece, 0));
        data += piece;
        size -= piece;
    }
    ok = ok && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash != nullptr) ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(alg, 0);
    if (!ok) return std::nullopt;
    return Hex(digest, sizeof digest);
}

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = sizeof name;
    if (!::GetComputerNameA(name, &n)) return {};
    return std::string(name, n);
}

#else

std::optional<std::string> Sha256Hex(const std::uint8_t* data, std::size_t size) {
    SHA2_CTX context;
    SHA256Init(&context);
    SHA256Update(&context, data, size);
    unsigned char digest[kDigestSize] = {};
    SHA256Final(digest, &context);
    return Hex(digest, sizeof digest);
}

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

#endif

}  // namespace cli
