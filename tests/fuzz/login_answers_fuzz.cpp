// The login and score answers come from the service. Whatever they hold,
// the fields that reach property files, records and labels are one line of
// valid UTF-8 of bounded length.
#include "app/login/login_service.h"
#include "common/codepage.h"
#include "fuzz/fuzz_support.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace quorvane;

namespace
{

void requireCleanField(const std::string& field)
{
    FUZZ_REQUIRE(field.size() <= 128);
    FUZZ_REQUIRE(isValidUtf8(field));
    for (char c : field) {
        const auto b = static_cast<unsigned char>(c);
        FUZZ_REQUIRE(b >= 0x20 && b != 0x7F);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view answer(reinterpret_cast<const char*>(data), size);
    const LoginAnswer kind = classifyLoginAnswer(answer);
    if (kind == LoginAnswer::NoAnswer)
        FUZZ_REQUIRE(answer.find("true") == std::string_view::npos && answer.find("false") == std::string_view::npos);

    const UserSession s = parseLoginAnswer(answer);
    for (const std::string* field : {&s.userId, &s.nickname, &s.ip, &s.location1, &s.location2})
        requireCleanField(*field);
    FUZZ_REQUIRE(s.location1.find(' ') == std::string::npos);

    ScoreValues scores;
    if (parseScoreAnswer(answer, scores)) {
        for (const std::string* field : {&scores.total, &scores.bandwidth, &scores.experience}) {
            requireCleanField(*field);
            FUZZ_REQUIRE(field->find(',') == std::string::npos);
        }
    } else {
        FUZZ_REQUIRE(answer.find(',') == std::string_view::npos);
    }
    return 0;
}
