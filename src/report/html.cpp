#include "html.h"

namespace korvath {

const char kPageStyle[] =
    "body{font:13px/1.35 sans-serif;margin:16px;color:#111;background:#fff}\n"
    "h1{font-size:18px;margin:0 0 4px}h2{font-size:15px;margin:22px 0 4px}\n"
    "p.d{margin:0 0 8px;color:#555}\n"
    "table{border-collapse:collapse;margin:4px 0}td,th{padding:1px 8px;text-align:left;white-space:nowrap}\n"
    "table.src td:first-child{color:#555}\n";

// Every character that could open markup or close an attribute is written as
// an entity; control characters, which HTML text cannot hold, as U+FFFD.
void Html::escape(const QString &s)
{
    const QChar *p = s.constData();
    const QChar *end = p + s.size();
    const QChar *run = p;
    for (; p != end; ++p) {
        const char16_t c = p->unicode();
        const char *entity = nullptr;
        bool control = false;
        switch (c) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        case '\'': entity = "&#39;"; break;
        default:
            control = c < 0x20 && c != '\n' && c != '\t';
            break;
        }
        if (entity || control) {
            m_out.append(run, static_cast<int>(p - run));
            if (entity)
                m_out += QLatin1String(entity);
            else
                m_out += QChar(0xFFFD);
            run = p + 1;
        }
    }
    m_out.append(run, static_cast<int>(p - run));
}

} // namespace korvath
