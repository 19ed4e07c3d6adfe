#include "upload_counter.h"

#include <algorithm>
#include <cctype>

namespace refsvc
{

namespace
{
// Part headers longer than this are not a client of ours.
constexpr std::size_t kMaxHead = 8192;
} // namespace

UploadCounter::UploadCounter(std::string boundary) : m_boundary(std::move(boundary)), m_inHead(!m_boundary.empty()) {}

void UploadCounter::feed(const char* data, std::size_t n)
{
    m_body += n;
    if (m_boundary.empty())
        return;
    if (m_inHead) {
        // Only the head is collected; the file bytes pass without a copy.
        const std::size_t before = m_head.size();
        const std::size_t take = std::min(n, kMaxHead + 4 - before);
        m_head.append(data, take);
        const auto end = m_head.find("\r\n\r\n");
        if (end != std::string::npos) {
            m_inHead = false;
            m_headBytes = end + 4;
            const std::size_t used = m_headBytes - before;
            data += used;
            n -= used;
        } else if (m_head.size() >= kMaxHead) {
            m_inHead = false;
            m_malformed = true;
            m_headBytes = 0;
            return;
        } else {
            return;
        }
        m_head.clear();
        m_head.shrink_to_fit();
    }
    // Keep just enough of the end to recognise the closing delimiter.
    const std::size_t keep = m_boundary.size() + 8;
    if (n >= keep) {
        m_last.assign(data + n - keep, keep);
    } else {
        m_last.append(data, n);
        if (m_last.size() > keep)
            m_last.erase(0, m_last.size() - keep);
    }
}

void UploadCounter::finish()
{
    if (m_boundary.empty() || m_inHead || m_malformed)
        return;
    const std::string closing = "\r\n--" + m_boundary + "--";
    for (const std::string& ending : {closing + "\r\n", closing}) {
        if (m_last.size() >= ending.size() &&
            m_last.compare(m_last.size() - ending.size(), ending.size(), ending) == 0) {
            m_tailBytes = ending.size();
            return;
        }
    }
}

std::uint64_t UploadCounter::payloadBytes() const
{
    if (m_boundary.empty() || m_malformed)
        return m_body;
    if (m_inHead)
        return 0;
    return m_body - m_headBytes - m_tailBytes;
}

std::string multipartBoundary(const std::string& contentType)
{
    std::string lowered;
    for (char c : contentType)
        lowered += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowered.rfind("multipart/form-data", 0) != 0)
        return {};
    const auto at = lowered.find("boundary=");
    if (at == std::string::npos)
        return {};
    std::string b = contentType.substr(at + 9);
    const auto semi = b.find(';');
    if (semi != std::string::npos)
        b.erase(semi);
    while (!b.empty() && (b.back() == ' ' || b.back() == '\t'))
        b.pop_back();
    if (b.size() >= 2 && b.front() == '"' && b.back() == '"')
        b = b.substr(1, b.size() - 2);
    return b;
}

} // namespace refsvc
