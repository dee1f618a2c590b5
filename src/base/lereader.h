// Bounds-checked little-endian field reader over a byte buffer. A field that
// does not lie wholly inside the buffer reads as zero, like an unread sector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvath {

class LeReader
{
public:
    LeReader(const void *data, size_t size) : m_data(static_cast<const uint8_t *>(data)), m_size(size) {}

    size_t size() const { return m_size; }
    bool contains(size_t offset, size_t width) const
    {
        return m_data != nullptr && offset <= m_size && width <= m_size - offset;
    }

    uint8_t u8(size_t offset) const { return contains(offset, 1) ? m_data[offset] : 0; }
    uint16_t u16(size_t offset) const { return contains(offset, 2) ? static_cast<uint16_t>(load(offset, 2)) : 0; }
    uint32_t u32(size_t offset) const { return contains(offset, 4) ? static_cast<uint32_t>(load(offset, 4)) : 0; }

private:
    // One load where the host is little-endian; byte by byte elsewhere.
    // The scan reads millions of fields, and four byte loads per field cost twice the time.
    uint64_t load(size_t offset, size_t width) const
    {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (width == 4) {
            uint32_t v;
            std::memcpy(&v, m_data + offset, 4);
            return v;
        }
        uint16_t v;
        std::memcpy(&v, m_data + offset, 2);
        return v;
#else
        uint64_t v = 0;
        for (size_t k = width; k-- > 0;)
            v = (v << 8) | m_data[offset + k];
        return v;
#endif
    }

    const uint8_t *m_data;
    size_t m_size;
};

} // namespace korvath
