#pragma once
// The update server's manifest and what the two updaters decide from it.
//
// A manifest names the release it describes (`Version`), its release notes
// (`UpdateInfo`) and, under `versions` and any elements after it, a history
// of releases (`versionid`) and of the files each release brought (`File`):
//
//   <anything>
//     <Version>V2.0.09</Version>
//     <UpdateInfo><i>line one</i><i>line two</i></UpdateInfo>
//     <versions>
//       <versionid seq="3">V2.0.08</versionid>
//       <File seq="4" serpath="v9/Quorvane" localpath="Quorvane" verify="<md5>" size="123"
//             sha256="<optional, checked instead of verify when present>"/>
//     </versions>
//   </anything>
//
// The first attribute of an entry, whatever its name, is the release's
// sequence number; installed and server versions are only ever compared for
// exact equality, never ordered.
//
// Everything here is a pure function over texts and parsed values; any
// thread. Element and attribute names are case-sensitive. Texts are UTF-8 as
// they stand in the document (surrounding white space is kept).
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::update
{

// One child of `versions` or of an element after it, in document order.
struct ManifestEntry {
    std::string name;                             // element name: "versionid", "File", ...
    std::string firstAttribute;                   // value of the first attribute ("" when none)
    std::string text;                             // the element's text ("" when none)
    std::string serpath, localpath, verify, size; // "" when absent
    std::string sha256;                           // "" when absent
    // The first attribute read as a decimal number the way atoi reads it:
    // leading blanks, a sign, the digits up to the first other character;
    // 0 when there are none; clamped to the int range.
    int sequence() const;
};

struct Manifest {
    std::string rootName;
    bool hasVersion = false;
    std::string version;                 // text of the root's first `Version` child
    std::vector<std::string> updateInfo; // texts of the first `UpdateInfo`'s children
    std::vector<ManifestEntry> entries;
};

// Manifests larger than this are not read (a manifest is a few kilobytes).
inline constexpr std::size_t kMaxManifestBytes = 16u << 20;

// Parses a document; nothing when it is not well-formed XML, has no root
// element or holds a NUL byte. A document without `Version`, `UpdateInfo` or
// `versions` parses, with those parts empty.
std::optional<Manifest> ParseManifest(std::string_view xml);
// Reads and parses a file; nothing when it cannot be read, is larger than
// kMaxManifestBytes or does not parse.
std::optional<Manifest> LoadManifest(const std::filesystem::path& file);

// Version texts are equal only byte for byte ("v2" and "V2" differ).
bool SameVersion(std::string_view a, std::string_view b);

// What each updater treats as a file entry: Update only `File` elements,
// Velomark every element that is not a `versionid`.
enum class SelectVariant { Update, Velomark };

struct SelectedFile {
    std::string serpath, localpath, verify, size;
    std::string sha256 = {};
};

struct Selection {
    // Whether the installed version was found in the release history (with
    // a sequence number other than 0); without it nothing can be selected.
    bool installedFound = false;
    std::vector<SelectedFile> files; // one per localpath, in order of first appearance
    // Sum of the selected files' `size` (each read like ManifestEntry's
    // sequence, as a 64-bit number); what Velomark shows as the whole download.
    std::int64_t totalSize = 0;
};

// The files a machine with `installedVersion` needs: walking the entries in
// order, a `versionid` whose text equals the installed version sets the
// installed sequence number; a file entry counts only once that number is
// set (not 0) and when its own sequence number is greater. A later entry for
// a localpath already selected replaces the earlier one's serpath, verify,
// sha256 and size in place. No matching `versionid`: nothing is selected.
Selection SelectFiles(const Manifest& manifest, std::string_view installedVersion, SelectVariant variant);

// --- checking what was fetched ----------------------------------------------

// A `size` attribute of decimal digits only, as a byte count; -1 otherwise.
std::int64_t DeclaredSize(std::string_view size);

// Whether a downloaded file is the one the manifest describes: its SHA-256
// when the entry has one (hexadecimal, either case), else its MD5 against
// `verify`. A file that cannot be read matches nothing.
bool FileMatches(const std::filesystem::path& file, const SelectedFile& entry);

// How much a server may send for one fetch and for how long, so that neither
// a broken nor a hostile server can fill memory or disk or hold an updater.
struct FetchLimits {
    std::int64_t expectedSize = -1;        // the manifest's size; any other announced size fails (-1: unknown)
    std::int64_t maxBytes = -1;            // without an expected size, the most accepted (-1: any)
    std::chrono::milliseconds deadline{0}; // the whole fetch, connection included (0: none)
};
// The manifest and its signature: at most kMaxManifestBytes, one minute.
FetchLimits ManifestLimits();
// A file of a release: exactly its declared size, two minutes plus what
// 16 KiB/s needs for it. Without a usable size: at most 1 GiB in an hour.
FetchLimits FileLimits(const SelectedFile& file);

// --- releases in order -------------------------------------------------------

// The sequence number of the release a manifest describes: that of the
// `versionid` naming its `Version`, else the highest any entry carries; 0
// when it has none.
int ReleaseSequence(const Manifest& manifest);

// What an installation last installed: the version text and, when the
// updater that installed it knew it, the release's sequence number (0: unknown).
struct InstalledRelease {
    std::string version;
    int sequence = 0;
};

// Whether `manifest` describes a release older than one installed here (a
// replayed manifest): its sequence number is below the recorded one, or an
// installed version text appears in its own history above its release.
// Versions it cannot place are not judged older.
bool IsOlderRelease(const Manifest& manifest, const InstalledRelease& recorded,
                    const std::vector<std::string>& otherInstalledVersions = {});

// --- the updaters' version decisions ----------------------------------------

// Update's cycle. `manifest` is what was fetched to tmp/update.xml (nothing
// when the configuration, the fetch or the parse failed); `newAppVer` the
// installed version recorded in conf/update_process.properties ("null" when
// the key is absent).
struct UpdateCyclePlan {
    enum class Outcome {
        NoServerVersion, // nothing learnt from the server: no update this time
        NoInstalled,     // no installed version recorded: no update
        Current,         // installed equals the server's version
        NotInHistory,    // the installed version is not in the release history: nothing can be chosen
        Install,         // fetch and install `selection` (possibly empty)
    };
    Outcome outcome = Outcome::NoServerVersion;
    std::string serverVersion;
    Selection selection;
};
UpdateCyclePlan DecideUpdateCycle(const std::optional<Manifest>& manifest, const std::string& newAppVer);

// Velomark's start. `manifest` is what its manifest task left in
// tmp/update.xml (nothing when it is missing or does not parse);
// `installedVersion` comes from VelomarkInstalledVersion (version_records.h).
struct VelomarkPlan {
    enum class Outcome {
        DownloadFailed, // "文件下载失败！"
        UpToDate,       // "软件已是最新版本！"
        Install,        // show `notes`, ask, then fetch `selection`
    };
    Outcome outcome = Outcome::DownloadFailed;
    std::string serverVersion;
    std::vector<std::string> notes; // the UpdateInfo lines, UTF-8
    Selection selection;            // never empty when the outcome is Install
};
VelomarkPlan DecideVelomark(const std::optional<Manifest>& manifest, const std::string& installedVersion);

} // namespace quorvane::update
