#include "counttext.h"

namespace korvath {

QString countText(uint64_t n, const char *singular, const char *plural)
{
    return QStringLiteral("%1 %2").arg(n).arg(QString::fromLatin1(n == 1 ? singular : plural));
}

} // namespace korvath
