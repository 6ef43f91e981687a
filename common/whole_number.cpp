#include "common/whole_number.h"

int whole_number_in(const QString& text, int low, int high)
{
    if (text.isEmpty() || text.size() > QString::number(high).size())
        return -1;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
    const int value = text.toInt();
    return value >= low && value <= high ? value : -1;
}
