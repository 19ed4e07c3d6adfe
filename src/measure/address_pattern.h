#pragma once
// The one check of an address the user types or adds (web page test, own
// sites and files, the video address page): an optional http, https or ftp
// scheme, a dotted host name of word characters and "-", and an optional
// path. It is a search anchored at the start of the text: what follows the
// match is not examined. Text holding a control character (a line break, a
// C1 control) or a Unicode line separator fails, whatever else it holds:
// it would reach the browser, the player or a record as something other
// than what was shown.
//
// Thread-safety: may be called from any thread.
#include <string>

namespace quorvane::measure
{

bool PassesAddressPattern(const std::string& address);

} // namespace quorvane::measure
