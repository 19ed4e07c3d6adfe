#include "update/manifest.h"

#include "common/durable_file.h"
#include "common/md5.h"
#include "common/numbers.h"

#include <openssl/evp.h>
#include <tinyxml2.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <iterator>
#include <memory>

namespace quorvane::update
{

namespace
{

// atoi's reading, saturating at +-limit.
std::int64_t leadingNumber(std::string_view text, std::int64_t limit)
{
    return std::clamp<long long>(parseLeadingInteger(text), -limit, limit);
}

// Sizes are clamped at 1 TiB, so that no manifest can overflow the total.
std::int64_t sizeOf(std::string_view text)
{
    return leadingNumber(text, std::int64_t(1) << 40);
}

std::string textOf(const tinyxml2::XMLElement* e)
{
    const char* t = e->GetText();
    return t ? t : "";
}

std::string attributeOf(const tinyxml2::XMLElement* e, const char* name)
{
    const char* v = e->Attribute(name);
    return v ? v : "";
}

ManifestEntry entryOf(const tinyxml2::XMLElement* e)
{
    ManifestEntry entry;
    entry.name = e->Name();
    if (const tinyxml2::XMLAttribute* first = e->FirstAttribute())
        entry.firstAttribute = first->Value();
    entry.text = textOf(e);
    entry.serpath = attributeOf(e, "serpath");
    entry.localpath = attributeOf(e, "localpath");
    entry.verify = attributeOf(e, "verify");
    entry.size = attributeOf(e, "size");
    entry.sha256 = attributeOf(e, "sha256");
    return entry;
}

std::string sha256HexOfFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        return {};
    char buffer[65536];
    while (in) {
        in.read(buffer, sizeof buffer);
        if (in.gcount() > 0 && EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(in.gcount())) != 1)
            return {};
    }
    if (in.bad())
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        return {};
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

} // namespace

int ManifestEntry::sequence() const
{
    const std::int64_t v = leadingNumber(firstAttribute, std::int64_t(INT_MAX) + 1);
    return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

std::optional<Manifest> ParseManifest(std::string_view xml)
{
    if (xml.find('\0') != std::string_view::npos)
        return std::nullopt;
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS)
        return std::nullopt;
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (!root)
        return std::nullopt;

    Manifest m;
    m.rootName = root->Name();
    if (const tinyxml2::XMLElement* version = root->FirstChildElement("Version")) {
        m.hasVersion = true;
        m.version = textOf(version);
    }
    if (const tinyxml2::XMLElement* info = root->FirstChildElement("UpdateInfo")) {
        for (const tinyxml2::XMLElement* line = info->FirstChildElement(); line; line = line->NextSiblingElement())
            m.updateInfo.push_back(textOf(line));
    }
    // The release history may be split over `versions` and the elements
    // that follow it, whatever they are called.
    for (const tinyxml2::XMLElement* group = root->FirstChildElement("versions"); group;
         group = group->NextSiblingElement()) {
        for (const tinyxml2::XMLElement* e = group->FirstChildElement(); e; e = e->NextSiblingElement())
            m.entries.push_back(entryOf(e));
    }
    return m;
}

std::optional<Manifest> LoadManifest(const std::filesystem::path& file)
{
    const auto head = readFileHead(file, kMaxManifestBytes);
    if (!head || head->cut)
        return std::nullopt;
    return ParseManifest(head->bytes);
}

bool SameVersion(std::string_view a, std::string_view b)
{
    return a == b;
}

Selection SelectFiles(const Manifest& manifest, std::string_view installedVersion, SelectVariant variant)
{
    Selection selection;
    int installed = 0;
    for (const ManifestEntry& e : manifest.entries) {
        if (e.name == "versionid") {
            if (SameVersion(e.text, installedVersion))
                installed = e.sequence();
            selection.installedFound = selection.installedFound || installed != 0;
            continue;
        }
        if (variant == SelectVariant::Update && e.name != "File")
            continue;
        if (installed == 0 || e.sequence() <= installed)
            continue;
        const std::int64_t size = sizeOf(e.size);
        auto same = std::find_if(selection.files.begin(), selection.files.end(),
                                 [&](const SelectedFile& f) { return f.localpath == e.localpath; });
        if (same != selection.files.end()) {
            selection.totalSize += size - sizeOf(same->size);
            same->serpath = e.serpath;
            same->verify = e.verify;
            same->size = e.size;
            same->sha256 = e.sha256;
        } else {
            selection.files.push_back({e.serpath, e.localpath, e.verify, e.size, e.sha256});
            selection.totalSize += size;
        }
    }
    return selection;
}

std::int64_t DeclaredSize(std::string_view size)
{
    if (size.empty() || size.size() > 15 || size.find_first_not_of("0123456789") != std::string_view::npos)
        return -1;
    return leadingNumber(size, std::int64_t(1) << 50);
}

bool FileMatches(const std::filesystem::path& file, const SelectedFile& entry)
{
    if (!entry.sha256.empty()) {
        const std::string digest = sha256HexOfFile(file);
        return !digest.empty() && digest.size() == entry.sha256.size() &&
               std::equal(digest.begin(), digest.end(), entry.sha256.begin(),
                          [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    }
    // A file that cannot be read matches no verify value, not even "".
    const std::string digest = md5HexOfFile(file.string());
    return !digest.empty() && digest == entry.verify;
}

FetchLimits ManifestLimits()
{
    return {-1, static_cast<std::int64_t>(kMaxManifestBytes), std::chrono::seconds(60)};
}

FetchLimits FileLimits(const SelectedFile& file)
{
    const std::int64_t size = DeclaredSize(file.size);
    if (size < 0)
        return {-1, std::int64_t(1) << 30, std::chrono::hours(1)};
    return {size, -1, std::chrono::seconds(120) + std::chrono::seconds(size / (16 * 1024))};
}

int ReleaseSequence(const Manifest& manifest)
{
    int own = 0, highest = 0;
    for (const ManifestEntry& e : manifest.entries) {
        highest = std::max(highest, e.sequence());
        if (e.name == "versionid" && SameVersion(e.text, manifest.version))
            own = e.sequence();
    }
    return own != 0 ? own : highest;
}

bool IsOlderRelease(const Manifest& manifest, const InstalledRelease& recorded,
                    const std::vector<std::string>& otherInstalledVersions)
{
    const int release = ReleaseSequence(manifest);
    if (release <= 0)
        return false;
    if (recorded.sequence > release)
        return true;
    std::vector<std::string> installed = otherInstalledVersions;
    installed.push_back(recorded.version);
    for (const ManifestEntry& e : manifest.entries) {
        if (e.name != "versionid" || e.sequence() <= release)
            continue;
        for (const std::string& v : installed)
            if (!v.empty() && SameVersion(e.text, v))
                return true;
    }
    return false;
}

UpdateCyclePlan DecideUpdateCycle(const std::optional<Manifest>& manifest, const std::string& newAppVer)
{
    UpdateCyclePlan plan;
    if (manifest)
        plan.serverVersion = manifest->version;
    if (plan.serverVersion.empty())
        plan.outcome = UpdateCyclePlan::Outcome::NoServerVersion;
    else if (newAppVer.empty())
        plan.outcome = UpdateCyclePlan::Outcome::NoInstalled;
    else if (SameVersion(newAppVer, plan.serverVersion))
        plan.outcome = UpdateCyclePlan::Outcome::Current;
    else {
        plan.selection = SelectFiles(*manifest, newAppVer, SelectVariant::Update);
        // Without the installed release in the history there is no telling
        // which files it lacks; recording the new version then would claim
        // files that were never installed.
        plan.outcome =
            plan.selection.installedFound ? UpdateCyclePlan::Outcome::Install : UpdateCyclePlan::Outcome::NotInHistory;
    }
    return plan;
}

VelomarkPlan DecideVelomark(const std::optional<Manifest>& manifest, const std::string& installedVersion)
{
    VelomarkPlan plan;
    // A file that is there but is no manifest (an error page saved under its
    // name) is a failed download, not a sign that the program is current.
    if (!manifest)
        return plan;
    plan.serverVersion = manifest->version;
    if (!SameVersion(installedVersion, manifest->version)) {
        plan.notes = manifest->updateInfo;
        plan.selection = SelectFiles(*manifest, installedVersion, SelectVariant::Velomark);
    }
    plan.outcome = plan.selection.files.empty() ? VelomarkPlan::Outcome::UpToDate : VelomarkPlan::Outcome::Install;
    if (plan.outcome == VelomarkPlan::Outcome::UpToDate)
        plan.notes.clear();
    return plan;
}

} // namespace quorvane::update
