#include "measure/server_catalog.h"

#include "common/paths.h"
#include "config/xml_doc.h"

#include <boost/regex.hpp>

#include <algorithm>
#include <map>

namespace quorvane::measure
{

namespace
{

std::vector<std::string> splitOn(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(separator, from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            break;
        from = at + 1;
    }
    return parts;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// name -> value of the first destip of each name.
std::map<std::string, std::string> readDestinations(const std::filesystem::path& path, bool& readable)
{
    std::map<std::string, std::string> values;
    CXmlDoc doc;
    readable = doc.Load(path.string());
    doc.Rewind();
    while (doc.FindChildElem("destip"))
        values.emplace(doc.GetChildAttrib("name"), doc.GetChildAttrib("value"));
    return values;
}

// The search of one province for the operator and city: from the last
// server to the first; a random candidate when only the operator fits.
std::string searchProvince(const ProvinceEntry& province, const std::string& op, const std::string& city,
                           const RandomSource& random)
{
    std::vector<const ServerEntry*> candidates;
    for (auto it = province.servers.rbegin(); it != province.servers.rend(); ++it) {
        if (!contains(it->name, op))
            continue;
        if (contains(it->name, city))
            return it->name;
        candidates.push_back(&*it);
    }
    if (candidates.empty())
        return {};
    const int value = random ? random() : 0;
    return candidates[static_cast<std::size_t>(value < 0 ? -value : value) % candidates.size()]->name;
}

} // namespace

ServerEntry ParseDestValue(const std::string& name, const std::string& value)
{
    static const boost::regex ipPattern(R"((\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}):\d+:\d+)");
    static const boost::regex monitorPattern(R"(\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}:(\d+):\d+)");
    ServerEntry entry;
    entry.name = name;
    boost::smatch match;
    if (boost::regex_search(value, match, monitorPattern))
        entry.monitorId = match[1];
    if (boost::regex_search(value, match, ipPattern))
        entry.ip = match[1];
    return entry;
}

ServerCatalog LoadServerList(const std::filesystem::path& addrServerXml, const std::filesystem::path& destConfigXml,
                             CatalogReport* report)
{
    CatalogReport local;
    CatalogReport& out = report ? *report : local;
    out = {};
    const auto destinations = readDestinations(destConfigXml, out.destReadable);

    ServerCatalog catalog;
    CXmlDoc doc;
    out.addrReadable = doc.Load(addrServerXml.string());
    doc.Rewind();
    while (doc.FindChildElem("province-array")) {
        ProvinceEntry province;
        province.name = doc.GetChildAttrib("name");
        province.nas = doc.GetChildAttrib("nas");
        province.near = splitOn(doc.GetChildAttrib("near"), ':');
        doc.IntoElem();
        while (doc.FindChildElem("server")) {
            const std::string name = doc.GetChildData();
            const auto found = destinations.find(name);
            ServerEntry entry = ParseDestValue(name, found == destinations.end() ? std::string() : found->second);
            if (entry.ip.empty())
                out.unresolved.push_back(name);
            province.servers.push_back(std::move(entry));
        }
        doc.OutOfElem();
        catalog.push_back(std::move(province));
    }
    return catalog;
}

ServerCatalog LoadServerList(const std::filesystem::path& installDir, CatalogReport* report)
{
    return LoadServerList(programPath(installDir, "Config\\addr_server.xml"),
                          programPath(installDir, "Config\\dest_config.xml"), report);
}

Location SplitLocation(const std::string& text)
{
    Location out;
    auto cityAfter = [&](std::size_t from) {
        const std::size_t end = text.find("市", from);
        if (end != std::string::npos)
            out.city = text.substr(from, end - from);
    };
    if (const auto at = text.find("省"); at != std::string::npos) {
        out.province = text.substr(0, at);
        cityAfter(at + std::string("省").size());
    } else if (const auto at = text.find("自治区"); at != std::string::npos) {
        out.province = text.substr(0, at);
        cityAfter(at + std::string("自治区").size());
    } else if (const auto at = text.find("市"); at != std::string::npos) {
        out.province = text.substr(0, at);
    }
    return out;
}

const ProvinceEntry* FindProvince(const ServerCatalog& catalog, const std::string& text)
{
    for (const auto& province : catalog) {
        // A province without a name would occur in every text.
        if (!province.name.empty() && contains(text, province.name))
            return &province;
    }
    return nullptr;
}

const ServerEntry* FindServer(const ServerCatalog& catalog, const std::string& name)
{
    for (const auto& province : catalog) {
        for (const auto& server : province.servers) {
            if (server.name == name)
                return &server;
        }
    }
    return nullptr;
}

std::string MatchServer(const ServerCatalog& catalog, const std::string& location1, const std::string& location2,
                        const std::vector<std::string>& operators, const RandomSource& random,
                        const std::function<void(const std::string&)>& autoLog)
{
    const Location where = SplitLocation(location1);
    if (where.province.empty())
        return {};
    if (autoLog)
        autoLog("省份：" + where.province + "..地市：" + where.city + "..网络类型：" + location2);

    static const ProvinceEntry kNone;
    const ProvinceEntry* found = FindProvince(catalog, where.province);
    const ProvinceEntry& home = found ? *found : kNone;
    const std::string fallback = home.nas == "N" ? "联通" : "电信";

    std::string op;
    for (const auto& name : operators) {
        // An empty operator name would be "contained" in every network type.
        if (!name.empty() && contains(location2, name)) {
            op = name;
            break;
        }
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (op.empty())
            op = fallback;
        if (auto hit = searchProvince(home, op, where.city, random); !hit.empty())
            return hit;
        for (const auto& nearName : home.near) {
            if (const ProvinceEntry* near = FindProvince(catalog, nearName)) {
                if (auto hit = searchProvince(*near, op, where.city, random); !hit.empty())
                    return hit;
            }
        }
        op = fallback;
    }
    return {};
}

ServerListing FillServerList(const ServerCatalog& catalog, const std::string& pickedProvince,
                             const Location& userLocation, const std::vector<std::string>& knownProvinces,
                             const std::string& recommended)
{
    ServerListing listing;
    const ProvinceEntry* province = FindProvince(catalog, pickedProvince);
    if (!province)
        return listing;
    const bool ownProvince =
        province->name == userLocation.province &&
        std::find(knownProvinces.begin(), knownProvinces.end(), province->name) != knownProvinces.end();
    if (ownProvince) {
        for (const auto& server : province->servers) {
            if (contains(server.name, userLocation.city))
                listing.names.push_back(server.name);
        }
        if (std::find(listing.names.begin(), listing.names.end(), recommended) == listing.names.end())
            listing.names.clear();
    }
    if (listing.names.empty()) {
        for (const auto& server : province->servers)
            listing.names.push_back(server.name);
    }
    const auto at = std::find(listing.names.begin(), listing.names.end(), recommended);
    listing.selected = listing.names.empty() ? -1 : at == listing.names.end() ? 0 : int(at - listing.names.begin());
    return listing;
}

int ProvinceIndexFor(const ServerCatalog& catalog, const std::string& province)
{
    if (province.empty())
        return -1;
    for (std::size_t i = 0; i < catalog.size(); ++i) {
        if (catalog[i].name.rfind(province, 0) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace quorvane::measure
