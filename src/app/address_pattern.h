#pragma once
// The check that a web address typed or added by the user looks like one:
// an optional http, https or ftp scheme, a dotted host name of word
// characters and "-", and an optional path. It is a search: the text passes
// when the pattern matches at its start or at the start of one of its
// lines; what follows the match is not examined.
//
// Thread-safety: may be called from any thread.
#include <string>

namespace quorvane
{

bool AddressPassesPattern(const std::string& address);

} // namespace quorvane
