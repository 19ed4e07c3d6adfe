// The reference service's users file, and the login answer it builds from
// each user: whatever the file holds, a user it accepts must come back
// through the client's own parser field for field.
#include "answers.h"
#include "users.h"

#include "app/login/login_service.h"
#include "fuzz/fuzz_support.h"

#include <cstdint>
#include <string>

using namespace refsvc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const UsersParse parsed = parseUsers(text);
    FUZZ_REQUIRE(parsed.error.empty() || parsed.users.empty());
    if (parsed.users.empty())
        return 0;

    UserDirectory directory;
    directory.replace(parsed.users);
    for (User user : parsed.users) {
        FUZZ_REQUIRE(validateUser(user).empty());
        FUZZ_REQUIRE(directory.authenticate(user.name, user.digest).has_value());
        FUZZ_REQUIRE(directory.byId(user.id).has_value());

        const auto session = quorvane::parseLoginAnswer(loginSuccessAnswer(user, "10.0.0.1"));
        if (user.id.size() <= 128)
            FUZZ_REQUIRE(session.userId == user.id);
        if (user.nickname.size() <= 128)
            FUZZ_REQUIRE(session.nickname == user.nickname);
        if (user.address.size() <= 128)
            FUZZ_REQUIRE(session.ip == (user.address == "*" ? "10.0.0.1" : user.address));
        if (user.location1.size() <= 128 && user.location2.size() <= 128 &&
            (!user.location1.empty() || !user.location2.empty())) {
            FUZZ_REQUIRE(session.location1 == user.location1);
            FUZZ_REQUIRE(session.location2 == user.location2);
        }
    }
    // Registration after a file of odd ids still finds a fresh one.
    User fresh{"fuzz-registered-user", "0123456789abcdef0123456789abcdef", "", "n", "*", "l1", "l2"};
    const std::string why = directory.add(fresh);
    if (why.empty())
        FUZZ_REQUIRE(directory.byName("fuzz-registered-user").has_value());
    return 0;
}
