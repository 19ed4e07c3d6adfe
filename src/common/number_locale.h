#pragma once
// Numbers in files and on the wire (records, history lines, logs, requests,
// answers) always carry "." as the decimal point, whatever the user's
// locale: the collection servers and the history reader split on ",", so a
// comma-decimal locale would add fields and send wrong values.
#include <string>

namespace quorvane
{

// Sets the C library's numeric category to "C" (printf, strtod and their
// kin), keeping every other category as the environment chose it, so text
// and file names stay UTF-8. Every program calls it in main right after its
// Qt application object is made (that constructor takes the whole locale
// from the environment); a program without one calls it at the start of
// main. Call it before any other thread starts: changing the locale is not
// thread-safe.
void pinNumericLocale();

// `value` with exactly `decimals` digits after the point (0 to 17), rounded;
// "." whatever the process locale. Not-a-number and infinities count as 0.
std::string formatDecimal(double value, int decimals);

} // namespace quorvane
