#include "update_server.h"

#include "replies.h"
#include "state.h"

#include <httplib.h>

namespace refsvc
{

UpdateServer::UpdateServer(SharedState& state, std::string updateDir)
    : m_state(state), m_updateDir(std::move(updateDir))
{
}

void UpdateServer::addRoutes(httplib::Server& s)
{
    s.Get("/update/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
        ++m_state.stats.updateRequests;
        serveFile(m_state, m_updateDir, req.matches[1], req, res, &m_state.stats.updateBytes);
    });
}

} // namespace refsvc
