#pragma once
// The update server: the update folder's files, with byte ranges, as the
// updaters fetch them.
#include <string>

namespace httplib
{
class Server;
}

namespace refsvc
{

class SharedState;

class UpdateServer
{
public:
    UpdateServer(SharedState& state, std::string updateDir);
    void addRoutes(httplib::Server& s);

private:
    SharedState& m_state;
    const std::string m_updateDir;
};

} // namespace refsvc
