// Writing the program's self-contained HTML pages (the overview, the case
// report's readable page): text escaped as it goes in, one house style.
#pragma once

#include <QString>
#include <cstdint>

namespace korvath {

// The style every page starts from: plain type, tables with a light rule.
extern const char kPageStyle[];

class Html
{
public:
    Html() { m_out.reserve(1 << 20); }
    Html &operator<<(const char *s)
    {
        m_out += QLatin1String(s);
        return *this;
    }
    // Escaped: names and notes come from the disk and the user.
    Html &operator<<(const QString &s)
    {
        escape(s);
        return *this;
    }
    Html &operator<<(qint64 n)
    {
        m_out += QString::number(n);
        return *this;
    }
    Html &operator<<(int n) { return *this << static_cast<qint64>(n); }
    Html &operator<<(uint32_t n) { return *this << static_cast<qint64>(n); }
    Html &operator<<(uint64_t n)
    {
        m_out += QString::number(n);
        return *this;
    }
    Html &raw(const QString &s)
    {
        m_out += s;
        return *this;
    }
    Html &percent(double v)
    {
        m_out += QString::number(v, 'f', 3);
        return *this;
    }
    QString take() { return std::move(m_out); }

private:
    void escape(const QString &s);

    QString m_out;
};

} // namespace korvath
