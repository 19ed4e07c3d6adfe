#pragma once
// Counts what an upload carried without keeping it. The measuring clients
// count only their file's bytes, not the multipart framing around them, so
// the service separates the two as the body streams past:
//
//   --<boundary>\r\n<part headers>\r\n\r\n<file bytes>\r\n--<boundary>--\r\n
//
// A body that is not multipart counts whole as payload.
#include <cstddef>
#include <cstdint>
#include <string>

namespace refsvc
{

class UploadCounter
{
public:
    // boundary: the boundary parameter of a multipart/form-data body, or
    // empty for any other body.
    explicit UploadCounter(std::string boundary);

    void feed(const char* data, std::size_t n);

    // Bytes of the body seen so far.
    std::uint64_t bodyBytes() const { return m_body; }

    // Bytes of the carried file. Before finish() (or for a body that broke
    // off) that is everything after the part headers; finish() takes off the
    // closing delimiter when the body ended with one.
    std::uint64_t payloadBytes() const;

    // The body is complete.
    void finish();

    // A multipart body whose part headers were never found (too long or
    // missing); then everything counts as payload.
    bool malformed() const { return m_malformed; }

private:
    std::string m_boundary;
    std::uint64_t m_body = 0;
    std::uint64_t m_headBytes = 0; // framing before the file bytes
    std::uint64_t m_tailBytes = 0; // closing delimiter, known after finish()
    std::string m_head;            // collected while the part headers are read
    std::string m_last;            // the last bytes seen, to recognise the closing delimiter
    bool m_inHead;
    bool m_malformed = false;
};

// The boundary parameter of a Content-Type value, or "" when the type is not
// multipart/form-data or has no boundary.
std::string multipartBoundary(const std::string& contentType);

} // namespace refsvc
