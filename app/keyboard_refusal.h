#pragma once
// The refusal to start when no usable keyboard was found.

#include <QString>

// The lines for standard error, each ended by a line feed: why, how to check
// the input group, that this machine has no keyboard device at all (when
// `none_found`), and the sources that need none.
QString keyboard_refusal_text(const QString& reason, bool none_found);
