#include "app/address_pattern.h"

#include <boost/regex.hpp>

namespace quorvane
{

bool AddressPassesPattern(const std::string& address)
{
    // Unchanged since sites were first added, "&amp;" inside the brackets
    // included (it admits "a", "m", "p" and ";" besides "&"), so that a site
    // accepted once is accepted again.
    static const boost::regex pattern(
        R"(^((http|ftp|https):\/\/)?[\w\-_]+(\.[\w\-_]+)+([\w\-\.,@?^=%&amp;:/~\+#]*[\w\-\@?^=%&amp;/~\+#])?)",
        boost::regex::perl);
    try {
        return boost::regex_search(address, pattern);
    } catch (const std::runtime_error&) {
        return false; // too complex to decide: not an address
    }
}

} // namespace quorvane
