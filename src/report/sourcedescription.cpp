#include "sourcedescription.h"

namespace korvath {

QString SourceDescription::identityText() const
{
    QStringList parts;
    const QString name = (vendor.isEmpty() || model.startsWith(vendor)) ? model : vendor + QLatin1Char(' ') + model;
    if (!name.isEmpty())
        parts << name;
    if (!serial.isEmpty())
        parts << QStringLiteral("serial %1").arg(serial);
    if (!backingFile.isEmpty())
        parts << QStringLiteral("backed by %1").arg(backingFile);
    return parts.join(QStringLiteral(", "));
}

} // namespace korvath
