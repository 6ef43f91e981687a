#pragma once
// A single-value option given twice would keep only its last value, and the
// earlier ones would never be checked: both programs refuse it.

#include <QString>
#include <QStringList>

class QCommandLineParser;

// "--timeline given twice (\"a\" and \"b\"): give it once" for the first
// option of a processed parser that has more than one value and is not one
// of the repeatable ones (names as registered; give every alias); an empty text when there is none.
// Flags are not values: given twice they mean the same, and pass.
QString repeated_option_error(const QCommandLineParser& parser, const QStringList& repeatable = {});
