#pragma once

#include <string>

#include <QString>

// The bytes the text page digests: the text in the locale's narrow encoding,
// every line break (LF, CR LF, CR, U+2028, U+2029) as CR LF, nothing trimmed,
// no terminator.
std::string TextPageBytes(const QString& text);
