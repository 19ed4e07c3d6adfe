#pragma once
// The bandwidth test's server catalogue (Config/addr_server.xml with
// Config/dest_config.xml) and the choice of a server from the user's
// location and network type. Pure functions over values: any thread.
#include "measure/random_source.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quorvane::measure
{

struct ServerEntry {
    std::string name;      // the key into dest_config.xml
    std::string ip;        // dotted IPv4 address; empty when the value did not match
    std::string monitorId; // decimal digits; empty when the value did not match
};

struct ProvinceEntry {
    std::string name; // as written inside location texts ("广东", "北京")
    std::string nas;  // "N": the default operator is "联通"; anything else: "电信"
    std::vector<ServerEntry> servers;
    std::vector<std::string> near; // neighbouring provinces, tried in order
};

// Provinces in file order.
using ServerCatalog = std::vector<ProvinceEntry>;

// What loading found, for logs and the command line. The catalogue is
// usable (possibly empty) whatever the problems.
struct CatalogReport {
    bool addrReadable = false;           // addr_server.xml was there and parsed
    bool destReadable = false;           // dest_config.xml was there and parsed
    std::vector<std::string> unresolved; // server names with no usable dest_config value
};

// LoadServerList: reads both documents (UTF-8 texts inside). A missing or
// broken document reads as empty: no provinces, or servers without address.
ServerCatalog LoadServerList(const std::filesystem::path& addrServerXml, const std::filesystem::path& destConfigXml,
                             CatalogReport* report = nullptr);

// The two documents under a program directory.
ServerCatalog LoadServerList(const std::filesystem::path& installDir, CatalogReport* report = nullptr);

// The address and monitor id of one dest_config value
// ("address:monitor id:number", searched, not matched whole).
ServerEntry ParseDestValue(const std::string& name, const std::string& value);

struct Location {
    std::string province; // empty: the location names no province
    std::string city;     // may be empty
};

// SplitLocation: "广东省深圳市" -> (广东, 深圳); "新疆维吾尔自治区乌鲁木齐市" ->
// (新疆维吾尔, 乌鲁木齐); "北京市" -> (北京, ""); no "省", "自治区" or "市" -> ("", "").
Location SplitLocation(const std::string& location1);

// The first province whose name occurs inside `text`; null when none.
const ProvinceEntry* FindProvince(const ServerCatalog& catalog, const std::string& text);

// The first server of that name in any province (exact comparison); null
// when none.
const ServerEntry* FindServer(const ServerCatalog& catalog, const std::string& name);

// MatchServer: the automatic choice for a user at `location1` (province and
// city) with network type `location2`, among `operators` (operator_config.xml
// order). Empty when nothing fits. `random` picks among candidates that
// match the operator but not the city (index = value % count). `autoLog`
// receives the line the choice logs to auto.txt (may be null).
std::string MatchServer(const ServerCatalog& catalog, const std::string& location1, const std::string& location2,
                        const std::vector<std::string>& operators, const RandomSource& random,
                        const std::function<void(const std::string&)>& autoLog = {});

// What the server drop-down shows for a picked province text.
struct ServerListing {
    std::vector<std::string> names;
    int selected = -1; // index into names; -1 when names is empty
};

// Filling the server list: the servers of the first province whose name
// occurs in `pickedProvince`; for the user's own province (listed in
// province_config.xml, `knownProvinces`) only those whose names contain the
// city, unless that would hide `recommended`. `recommended` is selected when
// listed, else the first entry.
ServerListing FillServerList(const ServerCatalog& catalog, const std::string& pickedProvince,
                             const Location& userLocation, const std::vector<std::string>& knownProvinces,
                             const std::string& recommended);

// The index of the province list entry the user's province selects (the
// first name that starts with it); -1 when none.
int ProvinceIndexFor(const ServerCatalog& catalog, const std::string& province);

} // namespace quorvane::measure
