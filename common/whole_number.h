#pragma once
// Numbers as the command lines take them: digits only, no sign, blank or
// point, and no more digits than the largest value has (so a long run of
// zeros is refused too).

#include <QString>

// The text as a whole number low..high (0 <= low <= high); -1 when it is not one.
int whole_number_in(const QString& text, int low, int high);
