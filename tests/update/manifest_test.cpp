#include "update/manifest.h"
#include "update/version_records.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <map>

namespace quorvane::update
{
namespace
{

// "localpath:serpath" for each selected file, then "=total".
std::string selected(const std::string& xml, const std::string& installed, SelectVariant variant)
{
    const std::optional<Manifest> m = ParseManifest(xml);
    if (!m)
        return "unparsed";
    const Selection s = SelectFiles(*m, installed, variant);
    std::string out;
    for (const SelectedFile& f : s.files)
        out += f.localpath + ":" + f.serpath + ":" + f.verify + ":" + f.size + " ";
    return out + "=" + std::to_string(s.totalSize);
}

std::string doc(const std::string& entries)
{
    return "<?xml version=\"1.0\"?><r><Version>B</Version><versions>" + entries + "</versions></r>";
}

TEST(SelectFiles, FollowsTheReleaseHistoryFromTheInstalledVersion)
{
    const struct {
        const char* what;
        std::string xml;
        const char* installed;
        const char* update;   // Update's selection
        const char* velomark; // Velomark's selection
    } cases[] = {
        {"only releases after the installed one",
         doc("<versionid seq=\"3\">A</versionid><versionid seq=\"4\">B</versionid>"
             "<File seq=\"3\" serpath=\"s3\" localpath=\"a\" verify=\"v3\" size=\"3\"/>"
             "<File seq=\"4\" serpath=\"s4\" localpath=\"b\" verify=\"v4\" size=\"4\"/>"),
         "A", "b:s4:v4:4 =4", "b:s4:v4:4 =4"},
        {"a later release replaces a path in place, the total corrected",
         doc("<versionid n=\"3\">A</versionid>"
             "<File n=\"4\" serpath=\"s4\" localpath=\"x\" verify=\"v4\" size=\"40\"/>"
             "<File n=\"4\" serpath=\"t4\" localpath=\"y\" verify=\"w4\" size=\"7\"/>"
             "<File n=\"5\" serpath=\"s5\" localpath=\"x\" verify=\"v5\" size=\"50\"/>"),
         "A", "x:s5:v5:50 y:t4:w4:7 =57", "x:s5:v5:50 y:t4:w4:7 =57"},
        {"entries before the matching versionid are never selected",
         doc("<File seq=\"9\" serpath=\"s\" localpath=\"early\" size=\"1\"/><versionid seq=\"3\">A</versionid>"
             "<File seq=\"4\" serpath=\"s\" localpath=\"late\" size=\"2\"/>"),
         "A", "late:s::2 =2", "late:s::2 =2"},
        {"a versionid numbered 0 selects nothing",
         doc("<versionid seq=\"0\">A</versionid><File seq=\"4\" localpath=\"x\"/>"), "A", "=0", "=0"},
        {"versions differing only in case do not match",
         doc("<versionid seq=\"3\">a</versionid><File seq=\"4\" localpath=\"x\"/>"), "A", "=0", "=0"},
        {"no matching versionid", doc("<File seq=\"4\" localpath=\"x\"/>"), "A", "=0", "=0"},
        {"the first attribute by position, not by name; other names ignored",
         doc("<versionid zzz=\"3\" seq=\"100\">A</versionid>"
             "<File a=\"4\" extra=\"1\" localpath=\"x\" serpath=\"s\" size=\"5\"/>"),
         "A", "x:s::5 =5", "x:s::5 =5"},
        {"atoi reading of sequence numbers and sizes",
         doc("<versionid seq=\" 3rd\">A</versionid><File seq=\"4b\" localpath=\"x\" size=\"12kb\"/>"
             "<File seq=\"-9\" localpath=\"y\"/><File seq=\"99999999999\" localpath=\"z\"/>"),
         "A", "x:::12kb z::: =12", "x:::12kb z::: =12"},
        {"Velomark takes any element but versionid as a file; Update only File",
         doc("<versionid seq=\"3\">A</versionid><Item seq=\"4\" localpath=\"i\" size=\"6\"/>"
             "<File seq=\"4\" localpath=\"f\" size=\"1\"/>"),
         "A", "f:::1 =1", "i:::6 f:::1 =7"},
        {"the history continues in the siblings after versions",
         "<r><Version>B</Version><notes/><versions><versionid seq=\"3\">A</versionid></versions>"
         "<more><File seq=\"4\" localpath=\"m\"/></more><File seq=\"5\" localpath=\"ignored-child-of-root\"/>"
         "<more2><File seq=\"6\" localpath=\"n\"/></more2></r>",
         "A", "m::: n::: =0", "m::: n::: =0"},
        {"elements before versions do not count",
         "<r><pre><versionid seq=\"3\">A</versionid></pre><versions><File seq=\"4\" localpath=\"x\"/></versions></r>",
         "A", "=0", "=0"},
        {"a later matching versionid moves the installed number",
         doc("<versionid seq=\"3\">A</versionid><File seq=\"4\" localpath=\"x\"/><versionid seq=\"5\">A</versionid>"
             "<File seq=\"5\" localpath=\"y\"/><File seq=\"6\" localpath=\"z\"/>"),
         "A", "x::: z::: =0", "x::: z::: =0"},
        {"not a document", "<r><versions>", "A", "unparsed", "unparsed"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(selected(c.xml, c.installed, SelectVariant::Update), c.update) << c.what;
        EXPECT_EQ(selected(c.xml, c.installed, SelectVariant::Velomark), c.velomark) << c.what;
    }
}

TEST(Manifest, ReadsRootOfAnyNameVersionAndNotes)
{
    const auto m = ParseManifest("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<anything>"
                                 "<UpdateInfo><a>第一行</a><b/><c> 三 </c></UpdateInfo>"
                                 "<Version>V2.0.09</Version><Version>second</Version></anything>");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->rootName, "anything");
    EXPECT_EQ(m->version, "V2.0.09");
    EXPECT_EQ(m->updateInfo, (std::vector<std::string>{"第一行", "", " 三 "}));

    const auto bare = ParseManifest("<r><version>lower case is another element</version></r>");
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->hasVersion);
    EXPECT_EQ(bare->version, "");
    std::string withNul = "<r><Version>V";
    withNul += '\0';
    withNul += "</Version></r>";
    for (const std::string& bad :
         {std::string(""), std::string("<!-- only a comment -->"), withNul, std::string("<html>")})
        EXPECT_FALSE(ParseManifest(bad)) << bad;
}

TEST(VersionDecisions, UpdateCycleAndVelomark)
{
    const std::string xml = doc("<versionid seq=\"3\">A</versionid><File seq=\"4\" localpath=\"x\"/>");
    const auto m = ParseManifest(xml);
    const auto noFiles = ParseManifest(doc(""));
    using U = UpdateCyclePlan::Outcome;
    const struct {
        std::optional<Manifest> manifest;
        const char* newAppVer;
        U outcome;
        std::size_t files;
    } update[] = {
        {std::nullopt, "A", U::NoServerVersion, 0},
        {ParseManifest("<r><Version></Version></r>"), "A", U::NoServerVersion, 0},
        {m, "", U::NoInstalled, 0},
        {m, "B", U::Current, 0},
        {m, "b", U::NotInHistory, 0},
        {m, "null", U::NotInHistory, 0},
        {m, "A", U::Install, 1},
        {noFiles, "A", U::NotInHistory, 0},
        {ParseManifest(doc("<versionid seq=\"3\">A</versionid>")), "A", U::Install, 0},
    };
    for (const auto& c : update) {
        const UpdateCyclePlan plan = DecideUpdateCycle(c.manifest, c.newAppVer);
        EXPECT_EQ(plan.outcome, c.outcome) << c.newAppVer;
        EXPECT_EQ(plan.selection.files.size(), c.files) << c.newAppVer;
    }

    using V = VelomarkPlan::Outcome;
    const auto withNotes = ParseManifest("<r><Version>B</Version><UpdateInfo><l>n1</l></UpdateInfo><versions>"
                                         "<versionid seq=\"1\">A</versionid><File seq=\"2\" localpath=\"x\"/>"
                                         "</versions></r>");
    const struct {
        std::optional<Manifest> manifest;
        const char* installed;
        V outcome;
        std::size_t notes;
    } velomark[] = {
        {std::nullopt, "A", V::DownloadFailed, 0},
        {withNotes, "A", V::Install, 1},
        {withNotes, "B", V::UpToDate, 0},
        {withNotes, "other", V::UpToDate, 0},
    };
    for (const auto& c : velomark) {
        const VelomarkPlan plan = DecideVelomark(c.manifest, c.installed);
        EXPECT_EQ(plan.outcome, c.outcome) << c.installed;
        EXPECT_EQ(plan.notes.size(), c.notes) << c.installed;
        EXPECT_EQ(plan.outcome == V::Install, !plan.selection.files.empty()) << c.installed;
    }
}

class MemoryRegistry : public platform::RegistryStore
{
public:
    std::map<std::string, std::string> values;
    bool writable = true;
    std::optional<std::string> readString(std::string_view key, std::string_view name) const override
    {
        auto it = values.find(std::string(key) + "|" + std::string(name));
        return it == values.end() ? std::nullopt : std::optional(it->second);
    }
    bool writeString(std::string_view key, std::string_view name, std::string_view value) override
    {
        if (writable)
            values[std::string(key) + "|" + std::string(name)] = value;
        return writable;
    }
    bool deleteValue(std::string_view, std::string_view) override { return true; }
};

TEST(VersionRecords, DisplayVersionAndNewAppVer)
{
    MemoryRegistry registry;
    EXPECT_EQ(ReadDisplayVersion(registry), std::nullopt);
    EXPECT_EQ(VelomarkInstalledVersion(registry), "V2.0.07-beta");
    ASSERT_TRUE(WriteDisplayVersion(registry, "V2.0.09"));
    EXPECT_EQ(VelomarkInstalledVersion(registry), "V2.0.09");
    // Read back at most 255 bytes, never half a character.
    ASSERT_TRUE(WriteDisplayVersion(registry, std::string(254, 'v') + "版"));
    EXPECT_EQ(ReadDisplayVersion(registry), std::string(254, 'v'));
    registry.writable = false;
    EXPECT_FALSE(WriteDisplayVersion(registry, "x"));

    test::TempDir dir;
    EXPECT_EQ(ReadNewAppVer(dir.path()), "null");
    std::filesystem::create_directories(dir / "conf");
    std::ofstream(dir / "conf/update_process.properties", std::ios::binary)
        << "#user config\r\nupdate_process_id=4711\r\nnew_app_ver=V1\r\nother=x\r\n";
    ASSERT_TRUE(WriteNewAppVer(dir.path(), "V2"));
    EXPECT_NE(test::readFile(dir / "conf/update_process.properties")
                  .find("update_process_id=4711\r\nnew_app_ver=V2\r\nother=x\r\n"),
              std::string::npos);
    std::ofstream(dir / "conf/update_process.properties", std::ios::binary) << "update_process_id=1\r\n";
    ASSERT_TRUE(WriteNewAppVer(dir.path(), "V3"));
    EXPECT_EQ(ReadNewAppVer(dir.path()), "V3");
    EXPECT_NE(test::readFile(dir / "conf/update_process.properties").find("update_process_id=1\r\nnew_app_ver=V3\r\n"),
              std::string::npos);
}

} // namespace
} // namespace quorvane::update

namespace quorvane::update
{
namespace
{

TEST(Releases, AReplayedManifestIsOlderThanWhatWasInstalled)
{
    // The manifest of release B (sequence 4), whose history reaches C (5).
    const auto b = ParseManifest(doc("<versionid seq=\"3\">A</versionid><versionid seq=\"4\">B</versionid>"));
    const auto withLater = ParseManifest(doc("<versionid seq=\"4\">B</versionid><versionid seq=\"5\">C</versionid>"));
    const auto unnamed = ParseManifest("<r><Version>Z</Version><versions><File seq=\"7\"/></versions></r>");
    const struct {
        const char* what;
        const std::optional<Manifest>& manifest;
        InstalledRelease recorded;
        std::vector<std::string> others;
        int sequence;
        bool older;
    } cases[] = {
        {"recorded number above the manifest's", b, {"C", 5}, {}, 4, true},
        {"recorded number equal", b, {"B", 4}, {}, 4, false},
        {"recorded number below", b, {"A", 3}, {}, 4, false},
        {"nothing recorded, version not in the history", b, {"C", 0}, {}, 4, false},
        {"an installed version above the release in its own history", withLater, {"A", 0}, {"C"}, 4, true},
        {"own release not named: the highest number counts", unnamed, {"Y", 8}, {}, 7, true},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.manifest) << c.what;
        EXPECT_EQ(ReleaseSequence(*c.manifest), c.sequence) << c.what;
        EXPECT_EQ(IsOlderRelease(*c.manifest, c.recorded, c.others), c.older) << c.what;
    }
}

TEST(Releases, FilesAreCheckedBySha256WhenTheEntryHasOne)
{
    test::TempDir dir;
    const std::filesystem::path file = dir / "f";
    test::writeFile(file, "abc");
    const std::string md5 = "900150983cd24fb0d6963f7d28e17f72";
    const std::string sha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    std::string upper = sha;
    for (char& ch : upper)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const struct {
        const char* what;
        SelectedFile entry;
        bool matches;
    } cases[] = {
        {"MD5 alone", {"", "", md5, "3"}, true},
        {"SHA-256 in either case", {"", "", "", "3", upper}, true},
        {"SHA-256 wins over a matching MD5", {"", "", md5, "3", std::string(64, '0')}, false},
        {"a wrong MD5", {"", "", std::string(32, '0'), "3"}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileMatches(file, c.entry), c.matches) << c.what;
    EXPECT_FALSE(FileMatches(dir / "missing", {"", "", "", "0"}));
    EXPECT_EQ(DeclaredSize("205"), 205);
    for (const char* bad : {"", "-1", " 5", "5x", "99999999999999999999"})
        EXPECT_EQ(DeclaredSize(bad), -1) << bad;
}

TEST(Releases, InstalledReleaseRoundTrip)
{
    test::TempDir dir;
    test::writeFile(dir / "conf/update_process.properties", "update_process_id=7\r\n");
    ASSERT_TRUE(WriteInstalledRelease(dir.path(), {"V3", 3}));
    EXPECT_EQ(ReadInstalledRelease(dir.path()).sequence, 3);
    ASSERT_TRUE(WriteNewAppVer(dir.path(), "V4")); // a later release of unknown number
    const InstalledRelease read = ReadInstalledRelease(dir.path());
    EXPECT_EQ(read.version, "V4");
    EXPECT_EQ(read.sequence, 0);
}

} // namespace
} // namespace quorvane::update
