#include "sha256.h"

#include <openssl/evp.h>
#include <stdexcept>
#include <utility>

namespace korvath {

namespace {

void check(int ok, const char *what)
{
    if (ok != 1)
        throw std::runtime_error(std::string("SHA-256: ") + what + " failed");
}

} // namespace

Sha256::Sha256()
    : m_ctx(EVP_MD_CTX_new())
{
    if (!m_ctx)
        throw std::runtime_error("SHA-256: no context");
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_ctx);
}

Sha256::Sha256(Sha256 &&other) noexcept
    : m_ctx(std::exchange(other.m_ctx, nullptr))
{
}

Sha256 &Sha256::operator=(Sha256 &&other) noexcept
{
    std::swap(m_ctx, other.m_ctx);
    return *this;
}

void Sha256::update(const void *data, size_t size)
{
    if (size)
        check(EVP_DigestUpdate(m_ctx, data, size), "update");
}

Sha256::Digest Sha256::digest() const
{
    // Finishing a copy leaves this one open for further updates.
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    if (!copy)
        throw std::runtime_error("SHA-256: no context");
    Digest out{};
    unsigned int length = 0;
    const int ok = EVP_MD_CTX_copy_ex(copy, m_ctx) == 1 && EVP_DigestFinal_ex(copy, out.data(), &length) == 1
        && length == out.size();
    EVP_MD_CTX_free(copy);
    check(ok ? 1 : 0, "final");
    return out;
}

std::string Sha256::hex() const
{
    const Digest d = digest();
    return hexText(d.data(), d.size());
}

void Sha256::reset()
{
    check(EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr), "init");
}

std::string Sha256::hexOf(const void *data, size_t size)
{
    Sha256 h;
    h.update(data, size);
    return h.hex();
}

std::string hexText(const uint8_t *bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 15];
    }
    return out;
}

} // namespace korvath
