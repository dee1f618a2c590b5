// SHA-256 against published vectors and against Qt's own implementation.
#include "sha256.h"

#include <QCryptographicHash>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

using namespace korvath;

namespace {

struct Vector {
    const char *name;
    std::string message;
    size_t repeat;
    const char *sha256;
};

void PrintTo(const Vector &v, std::ostream *os)
{
    *os << v.name;
}

class Sha256VectorTest : public ::testing::TestWithParam<Vector>
{
};

TEST_P(Sha256VectorTest, MatchesThePublishedDigest)
{
    const Vector &v = GetParam();
    Sha256 h;
    for (size_t i = 0; i < v.repeat; ++i)
        h.update(v.message.data(), v.message.size());
    EXPECT_EQ(h.hex(), v.sha256);
}

// FIPS 180-2 examples, plus the million 'a'.
INSTANTIATE_TEST_SUITE_P(
    Fips, Sha256VectorTest,
    ::testing::Values(
        Vector{"empty", "", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Vector{"abc", "abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Vector{"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Vector{"million_a", "a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const auto &info) { return std::string(info.param.name); });

std::vector<uint8_t> randomBytes(size_t n, uint32_t from)
{
    std::mt19937 gen(from);
    std::vector<uint8_t> out(n);
    for (uint8_t &b : out)
        b = static_cast<uint8_t>(gen());
    return out;
}

std::string qtSha256(const std::vector<uint8_t> &bytes)
{
    return QCryptographicHash::hash(QByteArray::fromRawData(reinterpret_cast<const char *>(bytes.data()),
                                                            static_cast<int>(bytes.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// Odd sizes and odd pieces cross the 64-byte block edges in every way.
TEST(Sha256Test, AgreesWithQtOverRandomDataInUnevenPieces)
{
    std::mt19937 pick(7);
    for (const size_t size : {size_t(1), size_t(63), size_t(64), size_t(65), size_t(4097), size_t(1000003),
                              size_t(2u << 20) + 511}) {
        const std::vector<uint8_t> data = randomBytes(size, static_cast<uint32_t>(size));
        Sha256 h;
        size_t at = 0;
        while (at < size) {
            const size_t piece = std::min(size - at, size_t(pick() % 9000));
            h.update(data.data() + at, piece);
            at += piece;
        }
        EXPECT_EQ(h.hex(), qtSha256(data)) << size << " bytes";
        EXPECT_EQ(Sha256::hexOf(data.data(), data.size()), qtSha256(data)) << size << " bytes in one piece";
    }
}

TEST(Sha256Test, ADigestMidwayLeavesTheHashOpenAndResetStartsAgain)
{
    const std::vector<uint8_t> data = randomBytes(10000, 1);
    Sha256 h;
    h.update(data.data(), 3000);
    EXPECT_EQ(h.hex(), qtSha256(std::vector<uint8_t>(data.begin(), data.begin() + 3000)));
    h.update(data.data() + 3000, 7000);
    EXPECT_EQ(h.hex(), qtSha256(data));

    h.reset();
    h.update("abc", 3);
    EXPECT_EQ(h.hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    Sha256 moved(std::move(h));
    moved.update("d", 1);
    EXPECT_EQ(moved.hex(), Sha256::hexOf("abcd", 4));
}

} // namespace
