#pragma once

#include <QString>

#include <cstdint>

namespace varnelo {

// Conversions of settings text to numbers and flags. Blanks around the text
// are ignored; a fractional value becomes the nearest integer, halves to the
// even neighbour. Errors: 13 (type mismatch) for text that is not a number,
// 6 (overflow) for a number outside the type's range.
std::int16_t toInt16(const QString& text);
std::int32_t toInt32(const QString& text);

// Any number other than 0 is true; the words true/false in any case are
// accepted; anything else is a type mismatch.
bool toFlag(const QString& text);

}  // namespace varnelo
