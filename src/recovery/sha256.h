// SHA-256 through OpenSSL's EVP interface, which uses the CPU's SHA
// instructions where they exist (several times the speed of QCryptographicHash).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

struct evp_md_ctx_st;

namespace korvath {

class Sha256
{
public:
    using Digest = std::array<uint8_t, 32>;

    Sha256(); // throws std::runtime_error when OpenSSL cannot set up the context
    ~Sha256();
    Sha256(Sha256 &&other) noexcept;
    Sha256 &operator=(Sha256 &&other) noexcept;
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void update(const void *data, size_t size);
    // The digest of everything given so far; more updates may follow.
    Digest digest() const;
    std::string hex() const; // 64 lowercase hex digits
    void reset();

    static std::string hexOf(const void *data, size_t size);

private:
    evp_md_ctx_st *m_ctx = nullptr;
};

std::string hexText(const uint8_t *bytes, size_t size);

} // namespace korvath
