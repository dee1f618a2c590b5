// Bounds-checked little-endian field reader over a byte buffer. A field that
// does not lie wholly inside the buffer reads as zero, like an unread sector.
#pragma once

#include <cstddef>
#include <cstdint>

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
    uint16_t u16(size_t offset) const
    {
        if (!contains(offset, 2))
            return 0;
        return static_cast<uint16_t>(m_data[offset] | (m_data[offset + 1] << 8));
    }
    uint32_t u32(size_t offset) const
    {
        if (!contains(offset, 4))
            return 0;
        return static_cast<uint32_t>(m_data[offset]) | (static_cast<uint32_t>(m_data[offset + 1]) << 8)
               | (static_cast<uint32_t>(m_data[offset + 2]) << 16)
               | (static_cast<uint32_t>(m_data[offset + 3]) << 24);
    }

private:
    const uint8_t *m_data;
    size_t m_size;
};

} // namespace korvath
