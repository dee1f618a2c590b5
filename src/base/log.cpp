#include "log.h"

#include <QLoggingCategory>

namespace korvath {

bool debugLogEnabled()
{
    return QLoggingCategory::defaultCategory()->isDebugEnabled();
}

void setDebugLogEnabled(bool enabled)
{
    QLoggingCategory::setFilterRules(enabled ? QStringLiteral("default.debug=true")
                                             : QStringLiteral("default.debug=false"));
}

} // namespace korvath
