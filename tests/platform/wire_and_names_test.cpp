// Pure parts of the platform layer: the activation line, instance keys,
// process names and /proc parsing, adapter address text.
#include "platform/executable.h"
#include "platform/network_adapters.h"
#include "platform/processes.h"
#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <set>

using namespace quorvane::platform;

TEST(ActivationLine, RoundTripsBothKinds)
{
    const auto tray = ActivationMessage::post(1174, 128, 515);
    EXPECT_EQ(encodeActivation(tray), "post 1174 128 515");
    EXPECT_EQ(decodeActivation(encodeActivation(tray)), tray);
    EXPECT_EQ(decodeActivation("foreground"), ActivationMessage::bringToFront());
    const auto negative = ActivationMessage::post(-1, -9223372036854775807LL, 0);
    EXPECT_EQ(decodeActivation(encodeActivation(negative)), negative);
}

TEST(ActivationLine, RejectsEverythingElse)
{
    for (const char* line :
         {"", "post", "post 1174 128", "post 1174 128 515 1", "post 1174 128 515 ", "post  1174 128 515",
          " post 1174 128 515", "post 1174 12x 515", "post 1174 128 +515", "post 99999999999 128 515",
          "post 1174 128 99999999999999999999", "Foreground", "foreground ", "send 1174 128 515",
          // One message, one line: no padded or signed zeros.
          "post 01174 128 515", "post 1174 -0 515", "post 1174 128 00"})
        EXPECT_FALSE(decodeActivation(line).has_value()) << '"' << line << '"';
}

TEST(InstanceKey, IsFileNameSafeDistinctAndPerUser)
{
    EXPECT_EQ(instanceKey("Quorvane", 1000), "Quorvane-u1000");
    EXPECT_NE(instanceKey("Quorvane", 1000), instanceKey("Quorvane", 1001));
    EXPECT_NE(instanceKey("Quorvane", 0), instanceKey("quorvane", 0)); // names differ, so do instances

    // Names that a naive replacement of unsafe characters would merge.
    const std::vector<std::string> names = {"a b", "a_b", "a%20b", "a/b", "a%2Fb", "..", ".x", "%2Ex", "测速", "a\nb"};
    std::set<std::string> keys;
    for (const auto& name : names) {
        const std::string key = instanceKey(name, 7);
        keys.insert(key);
        EXPECT_EQ(key.find('/'), std::string::npos) << name;
        EXPECT_NE(key.front(), '.') << name;
        for (char c : key)
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) ||
                        std::string("._-%~").find(c) != std::string::npos)
                << name << " -> " << key;
    }
    EXPECT_EQ(keys.size(), names.size());
}

TEST(InstanceKey, LongNamesStayShortAndDistinct)
{
    const std::string base(200, 'Q');
    const std::string a = instanceKey(base + "A", 0);
    const std::string b = instanceKey(base + "B", 0);
    EXPECT_NE(a, b);
    EXPECT_LE(a.size(), 48u + 3u);
    // A cut never leaves a broken %XX escape behind.
    const std::string escaped = instanceKey(std::string(100, ' '), 0);
    const auto tilde = escaped.find('~');
    ASSERT_NE(tilde, std::string::npos);
    EXPECT_EQ(tilde % 3, 0u) << escaped;
}

TEST(InstanceName, IsTheFileNameWithoutExtension)
{
    EXPECT_EQ(instanceNameOf("/opt/quorvane/Quorvane"), "Quorvane");
    EXPECT_EQ(instanceNameOf("/opt/quorvane/Quorvane.bin"), "Quorvane");
    EXPECT_EQ(instanceNameOf("/opt/a.b/Copy of Quorvane"), "Copy of Quorvane");
}

TEST(ProcStat, StateFollowsTheLastParenthesis)
{
    EXPECT_EQ(procStatState("1234 (Update) S 1 1234 1234 0 -1"), 'S');
    EXPECT_EQ(procStatState("1234 (evil) Z (x) R 1 2 3"), 'R');
    EXPECT_EQ(procStatState("77 (zombie) Z 1"), 'Z');
    EXPECT_EQ(procStatState("77 (cut"), 0);
    EXPECT_EQ(procStatState("77 (x)"), 0);
    EXPECT_EQ(procStatState(""), 0);
}

TEST(ProcessName, MatchesExecutableOrKernelName)
{
    const ProcessInfo updater{10, "Update", "Update"};
    EXPECT_TRUE(processNameMatches(updater, "update", NameCase::Insensitive));
    EXPECT_TRUE(processNameMatches(updater, "UPDATE", NameCase::Insensitive));
    EXPECT_FALSE(processNameMatches(updater, "update", NameCase::Sensitive));
    EXPECT_FALSE(processNameMatches(updater, "Updat", NameCase::Insensitive));
    EXPECT_FALSE(processNameMatches(updater, "Update.exe", NameCase::Insensitive));
    EXPECT_FALSE(processNameMatches(updater, "", NameCase::Insensitive));

    // A script runs as its interpreter; the kernel name is the script's.
    const ProcessInfo script{11, "dash", "Update"};
    EXPECT_TRUE(processNameMatches(script, "Update", NameCase::Sensitive));

    // Another user's process: only the kernel name, cut to 15 bytes.
    const ProcessInfo foreign{12, "", "QuorvaneMeasure"};
    EXPECT_TRUE(processNameMatches(foreign, "QuorvaneMeasurement", NameCase::Sensitive));
    EXPECT_TRUE(processNameMatches(foreign, "quorvanemeasureX", NameCase::Insensitive));
    EXPECT_FALSE(processNameMatches(foreign, "QuorvaneMeasur", NameCase::Sensitive));
    // When the executable is known, the cut name stands for nothing longer.
    const ProcessInfo own{13, "QuorvaneMeasure2", "QuorvaneMeasure"};
    EXPECT_FALSE(processNameMatches(own, "QuorvaneMeasurement", NameCase::Sensitive));
    EXPECT_TRUE(processNameMatches(own, "QuorvaneMeasure2", NameCase::Sensitive));
    EXPECT_FALSE(processNameMatches(own, "QuorvaneMeasure", NameCase::Sensitive));
    // A script with a long name: the cut kernel name is all there is.
    const ProcessInfo longScript{14, "bash", "QuorvaneMeasure"};
    EXPECT_TRUE(processNameMatches(longScript, "QuorvaneMeasure", NameCase::Sensitive));
}

TEST(ProcessName, FindSkipsTheGivenPidAndTakesTheFirst)
{
    const std::vector<ProcessInfo> list = {{1, "init", "init"}, {5, "Update", "Update"}, {9, "update", "update"}};
    EXPECT_EQ(findProcess(list, "UPDATE", NameCase::Insensitive, 0), 5);
    EXPECT_EQ(findProcess(list, "UPDATE", NameCase::Insensitive, 5), 9);
    EXPECT_EQ(findProcess(list, "Update", NameCase::Sensitive, 5), std::nullopt);
    EXPECT_EQ(findProcess({}, "Update", NameCase::Insensitive, 0), std::nullopt);
}

TEST(MacAddress, UpperCaseHexPairsWithDashes)
{
    EXPECT_EQ(formatMacAddress({0x00, 0x1a, 0x2B, 0x0c, 0xff, 0x01}), "00-1A-2B-0C-FF-01");
}
