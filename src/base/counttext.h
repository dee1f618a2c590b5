#pragma once

#include <QString>
#include <cstdint>

namespace korvath {

// "1 sector", "2 sectors": counts in messages agree with their number.
QString countText(uint64_t n, const char *singular, const char *plural);

} // namespace korvath
