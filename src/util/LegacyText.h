#pragma once

#include <QByteArray>
#include <QString>

// Text files this program reads may come from the old Windows program, which wrote the GBK code page;
// everything this program writes is UTF-8.
class LegacyText
{
public:
    // A text that is valid UTF-8 is UTF-8. Otherwise it came from the old program, and each line is read
    // as GBK; only a line that is not GBK but is UTF-8 (added by hand) is read as UTF-8. Short GBK texts
    // are often valid UTF-8 by accident ("图片" is), so the decision is made for the whole text first.
    static QString decode(const QByteArray& text);
};
