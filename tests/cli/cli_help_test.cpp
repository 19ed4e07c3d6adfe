#include "cli/cli.h"
#include "cli/run_cli.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using namespace quorvane;
using ::testing::HasSubstr;

namespace
{

using Result = test::CliResult;
using test::runCli;

bool hasLine(const std::string& text, const std::string& start, std::string_view end)
{
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(start) && line.ends_with(end))
            return true;
    }
    return false;
}

// Every "--word" a command's synopsis lines name.
std::set<std::string> flagsInForms(const cli::Command& command)
{
    std::set<std::string> flags;
    const std::regex flag("--[a-z]+");
    for (const auto& [form, text] : command.forms) {
        const std::string line(form);
        for (std::sregex_iterator it(line.begin(), line.end(), flag), end; it != end; ++it)
            flags.insert(it->str());
    }
    return flags;
}

std::string docsSection(std::string_view name)
{
    std::ifstream file(QUORVANE_SOURCE_DIR "/docs/cli.md");
    std::stringstream text;
    text << file.rdbuf();
    const std::string all = text.str();
    const std::string heading = "\n## " + std::string(name) + "\n";
    const auto start = all.find(heading);
    if (start == std::string::npos)
        return {};
    return all.substr(start, all.find("\n## ", start + 1) - start);
}

// Each way of asking gives the same text on stdout, nothing on stderr, 0.
TEST(CliHelp, EveryCommandDescribesItsFormsOptionsAndExitStatuses)
{
    for (const auto& command : cli::commands()) {
        const std::string name(command.name);
        SCOPED_TRACE(name);
        const auto help = runCli({name, "--help"});
        ASSERT_EQ(help.code, cli::kOk);
        EXPECT_EQ(help.err, "");
        for (const cli::Args& same : {cli::Args{name, "-h"}, cli::Args{"help", name}, cli::Args{"--help", name}}) {
            const auto other = runCli(same);
            EXPECT_EQ(other.code, cli::kOk) << same[0];
            EXPECT_EQ(other.out, help.out) << same[0];
        }
        for (const auto& [form, text] : command.forms)
            EXPECT_THAT(help.out, HasSubstr("quorvane-cli " + std::string(form)));
        EXPECT_THAT(help.out, HasSubstr("--help"));
        for (const auto& option : command.options)
            EXPECT_TRUE(hasLine(help.out, "  " + std::string(option.flag), option.meaning)) << option.flag;
        EXPECT_THAT(help.out, HasSubstr("  0  " + std::string(command.succeeds)));
        EXPECT_THAT(help.out, HasSubstr("  1  " + std::string(command.fails)));
        EXPECT_THAT(help.out, HasSubstr("  2  "));
    }
}

// The synopsis, the option lines and the reference page must not drift
// apart: an option added to a parser and its synopsis but not described
// (or documented) fails here.
TEST(CliHelp, OptionListsAgreeWithTheSynopsisAndTheReference)
{
    for (const auto& command : cli::commands()) {
        SCOPED_TRACE(std::string(command.name));
        std::set<std::string> described;
        for (const auto& option : command.options)
            described.insert(std::string(option.flag));
        EXPECT_EQ(described, flagsInForms(command));

        const std::string docs = docsSection(command.name);
        ASSERT_FALSE(docs.empty()) << "no section in docs/cli.md";
        for (const auto& [form, text] : command.forms)
            EXPECT_THAT(docs, HasSubstr("quorvane-cli " + std::string(form)));
        for (const auto& option : command.options)
            EXPECT_THAT(docs, HasSubstr(std::string(option.flag)));
    }
}

TEST(CliHelp, HelpFlagsAmongArgumentsAndMistakes)
{
    struct Row {
        cli::Args args;
        int code;
        std::string outHas; // empty: nothing on stdout
        std::string errHas;
    };
    const std::vector<Row> rows = {
        // After other options, help still wins over running the command.
        {{"bandwidth", "--json", "--help"}, cli::kOk, "bandwidth [--server NAME]", ""},
        {{"auto", "--rounds", "3", "-h"}, cli::kOk, "--rounds N", ""},
        // A cipher's TEXT is data, whatever it looks like.
        {{"cipher", "encrypt", "-h"}, cli::kOk, "98846B8B25D7B2D4", ""},
        {{"cipher", "--help"}, cli::kOk, "cipher decrypt HEX", ""},
        {{"help", "nonsense"}, cli::kUsage, "", "unknown command \"nonsense\""},
        {{"help", "bandwidth", "auto"}, cli::kUsage, "", "help takes one command name"},
        {{"--man", "extra"}, cli::kUsage, "", "unknown command \"--man\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        const auto result = runCli(row.args);
        EXPECT_EQ(result.code, row.code);
        if (row.outHas.empty())
            EXPECT_EQ(result.out, "");
        else
            EXPECT_THAT(result.out, HasSubstr(row.outHas));
        EXPECT_THAT(result.err, HasSubstr(row.errHas));
    }
}

// groff's own check of the page runs as cli.binary.man_page.
TEST(CliHelp, ManualPageHasEveryCommandAndOption)
{
    const auto man = runCli({"--man"});
    ASSERT_EQ(man.code, cli::kOk);
    for (const auto& command : cli::commands()) {
        EXPECT_THAT(man.out, HasSubstr(".SS " + std::string(command.name) + "\n"));
        for (const auto& option : command.options) // "\-\-json": a bare "-" typesets as a hyphen
            EXPECT_THAT(man.out, HasSubstr("\\-\\-" + std::string(option.flag.substr(2)))) << command.name;
    }
}

} // namespace
