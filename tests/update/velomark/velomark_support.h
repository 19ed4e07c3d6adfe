#pragma once
// An installation folder for Velomark with a registry store of its own, and
// a process table that records what Velomark asks of it instead of touching
// the machine's real programs.
#include "common/md5.h"
#include "support/qt_app.h"
#include "support/temp_dir.h"
#include "update/velomark/velomark_wnd.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace quorvane::test
{

class RecordingProcesses : public platform::ProcessControl
{
public:
    bool quorvaneRunning = true;
    std::vector<std::string> calls; // "terminate Quorvane", "wait Quorvane update", "detach Quorvane update"

    std::vector<platform::ProcessInfo> snapshot() const override { return {}; }
    std::optional<long> startDetached(const std::filesystem::path& program, const std::vector<std::string>& args,
                                      const std::filesystem::path&) override
    {
        record("detach", program, args);
        return 1;
    }
    std::optional<int> startAndWait(const std::filesystem::path& program, const std::vector<std::string>& args,
                                    const std::filesystem::path&, int) override
    {
        record("wait", program, args);
        return 0;
    }
    platform::TerminateResult terminateByName(std::string_view name, platform::NameCase) override
    {
        std::lock_guard lock(m_lock);
        calls.push_back("terminate " + std::string(name));
        return quorvaneRunning ? platform::TerminateResult::Terminated : platform::TerminateResult::NotFound;
    }

private:
    void record(const char* how, const std::filesystem::path& program, const std::vector<std::string>& args)
    {
        std::lock_guard lock(m_lock);
        std::string line = std::string(how) + " " + program.filename().string();
        for (const auto& a : args)
            line += " " + a;
        calls.push_back(line);
    }
    std::mutex m_lock;
};

// A program folder as the shipped tree has it, pointing at `serverPath`.
struct VelomarkInstallation {
    TempDir dir;
    std::filesystem::path program = dir / "inst";
    platform::IniRegistryStore registry{dir / "registry.ini"};
    RecordingProcesses processes;

    explicit VelomarkInstallation(const std::string& serverPath)
    {
        setServer(serverPath);
        writeFile(program / "conf/update_process.properties",
                  "#user config\r\nupdate_process_id=0\r\nnew_app_ver=V2.0.07-beta\r\n");
        registry.writeString(platform::kUninstallKey, platform::kDisplayVersion, "V2.0.07-beta");
    }
    void setServer(const std::string& serverPath)
    {
        writeFile(program / "conf/config.properties", "update_server_path=" + serverPath +
                                                          "\r\nupdate_ver_file_name=update.xml\r\n"
                                                          "update_ver_xml=update.xml\r\n");
    }
    std::string newAppVer() const
    {
        const std::string text = readFile(program / "conf/update_process.properties");
        const auto at = text.find("new_app_ver=");
        return at == std::string::npos ? "" : text.substr(at + 12, text.find('\r', at) - at - 12);
    }
    std::string displayVersion() const
    {
        return registry.readString(platform::kUninstallKey, platform::kDisplayVersion).value_or("");
    }
};

// A manifest: installed "V2.0.07-beta" (sequence 1), the new release
// "V2.0.08" (sequence 2) bringing `files` (localpath, content, verify).
struct ReleaseFileSpec {
    std::string localpath, content, verify; // verify "" = the content's real digest
};
inline std::string manifestFor(const std::vector<ReleaseFileSpec>& files, const std::string& version = "V2.0.08")
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n  <Version>" + version +
                      "</Version>\n  <UpdateInfo>\n    <i>修复了下载页的问题</i>\n    <i>更快的带宽测速</i>\n"
                      "  </UpdateInfo>\n  <versions>\n    <versionid seq=\"1\">V2.0.07-beta</versionid>\n"
                      "    <versionid seq=\"2\">" +
                      version + "</versionid>\n";
    for (const auto& f : files)
        xml += "    <File seq=\"2\" serpath=\"v2/" + f.localpath + "\" localpath=\"" + f.localpath + "\" verify=\"" +
               (f.verify.empty() ? md5Hex(f.content) : f.verify) + "\" size=\"" + std::to_string(f.content.size()) +
               "\"/>\n";
    return xml + "  </versions>\n</update>\n";
}

} // namespace quorvane::test
