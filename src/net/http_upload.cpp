#include "net/http_upload.h"

#include "common/paths.h"
#include "common/property_file.h"
#include "net/http_curl.h"
#include "net/http_internal.h"
#include "net/http_url.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace quorvane
{

using namespace http_detail;

namespace
{

constexpr std::size_t kFilePiece = 64 * 1024;
constexpr std::size_t kRepeatedChunk = 32768;
constexpr int kMaxThreads = 64;

// File bytes count when handed over, so whatever waits unsent in the socket
// or in libcurl's buffer counts before the line carried it. Left alone the
// kernel grows that queue to a megabyte per connection; when the five files
// end together the count stands still for seconds while the queues drain, and
// the new connections take seconds to build theirs again, so a window's
// samples lose what the line really carried. What may wait is therefore a
// couple of milliseconds of what the connection has been carrying: on a slow
// line that is the floor below, on loopback a megabyte, where a small queue
// would cost a system call and a wake-up per few kilobytes and cap the rate
// far below the line's. Only the unsent part is bounded; the bytes in flight,
// and so a fast line's rate, are left alone.
constexpr std::size_t kUnsentFloor = 16 * 1024;
constexpr std::size_t kUnsentCeiling = 1024 * 1024;
constexpr auto kUnsentLead = std::chrono::milliseconds(2);
constexpr auto kRetuneEvery = std::chrono::milliseconds(20);

constexpr const char* kUserAgent =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0; SLCC2; .NET CLR 2.0.50727; .NET "
    "CLR 3.5.30729; .NET CLR 3.0.30729; Media Center PC 6.0; InfoPath.3; .NET4.0C; .NET4.0E)";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File openForReading(const std::string& path)
{
    return File(std::fopen(path.c_str(), "rb"));
}

std::int64_t fileSize(std::FILE* file)
{
    if (std::fseek(file, 0, SEEK_END) != 0)
        return -1;
    const long size = std::ftell(file);
    std::rewind(file);
    return size;
}

// The file name as the form part announces it: the text after the last
// separator, with characters that would break the quoted header replaced.
std::string formFileName(const std::string& path)
{
    const auto slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::replace_if(
        name.begin(), name.end(), [](char c) { return c == '"' || c == '\r' || c == '\n'; }, '_');
    return name;
}

void setUnsentLimit(curl_socket_t socket, std::size_t bytes)
{
#ifdef TCP_NOTSENT_LOWAT
    const int limit = static_cast<int>(bytes);
    setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &limit, sizeof limit);
#else
    (void)socket;
    (void)bytes;
#endif
}

// How much file one connection may hand over at a time, and leave unsent in
// its socket: kUnsentLead of the rate it carried over the last kRetuneEvery,
// between the floor and the ceiling.
class UnsentBudget
{
public:
    std::size_t bytes() const { return m_limit; }
    // Where the connection's socket is noted once libcurl made it.
    curl_socket_t* socketSlot() { return &m_socket; }

    void handedOver(std::size_t n)
    {
        m_sinceMark += n;
        const auto now = std::chrono::steady_clock::now();
        const auto elapsed = now - m_mark;
        if (elapsed < kRetuneEvery)
            return;
        const double perSecond = static_cast<double>(m_sinceMark) / std::chrono::duration<double>(elapsed).count();
        const auto wanted = static_cast<std::size_t>(perSecond * std::chrono::duration<double>(kUnsentLead).count());
        const std::size_t limit = std::clamp(wanted, kUnsentFloor, kUnsentCeiling);
        m_mark = now;
        m_sinceMark = 0;
        if (limit == m_limit || m_socket == CURL_SOCKET_BAD)
            return;
        setUnsentLimit(m_socket, limit);
        m_limit = limit;
    }

private:
    curl_socket_t m_socket = CURL_SOCKET_BAD;
    std::size_t m_limit = kUnsentFloor;
    std::size_t m_sinceMark = 0;
    std::chrono::steady_clock::time_point m_mark = std::chrono::steady_clock::now();
};

// `socketOut`, when given, learns the socket libcurl makes.
void commonOptions(CURL* curl, const std::string& target, const CurlHeaderList& headers,
                   const ParallelUploadOptions& options, curl_socket_t* socketOut = nullptr)
{
    curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(
        curl, CURLOPT_SOCKOPTFUNCTION, +[](void* socketOut, curl_socket_t socket, curlsocktype) {
            setUnsentLimit(socket, kUnsentFloor);
            if (socketOut)
                *static_cast<curl_socket_t*>(socketOut) = socket;
            return static_cast<int>(CURL_SOCKOPT_OK);
        });
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, socketOut);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
}

std::vector<std::string> headerLines(const std::string& contentType)
{
    return {"Content-Type: " + contentType, "Accept-Encoding: gzip, deflate", kUserAgent, "Cache-Control: no-cache",
            "Pragma: no-cache", "Connection: Keep-Alive",
            // The body goes out at once, as it always did; no interim answer is awaited.
            "Expect:"};
}

// The body of one multipart post, handed to libcurl piece by piece: the part
// head, the file in counted pieces, the tail.
class MultipartBody
{
public:
    MultipartBody(std::string head, std::FILE* file, std::int64_t fileBytes, std::string tail, TransferContext& context)
        : m_head(std::move(head)), m_file(file), m_fileBytes(fileBytes), m_fileLeft(fileBytes), m_tail(std::move(tail)),
          m_context(context)
    {
    }

    static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* self)
    {
        return static_cast<MultipartBody*>(self)->next(buffer, size * count);
    }

    std::int64_t fileBytesSent() const { return m_fileBytes - m_fileLeft; }
    curl_socket_t* socketSlot() { return m_budget.socketSlot(); }

private:
    enum class Phase { Head, File, Tail };

    std::size_t copyText(const std::string& text, char* buffer, std::size_t room)
    {
        const std::size_t n = std::min(room, text.size() - m_offset);
        text.copy(buffer, n, m_offset);
        m_offset += n;
        return n;
    }

    std::size_t next(char* buffer, std::size_t room)
    {
        switch (m_phase) {
        case Phase::Head: {
            const std::size_t n = copyText(m_head, buffer, room);
            if (m_offset == m_head.size()) {
                m_phase = m_fileLeft > 0 ? Phase::File : Phase::Tail;
                m_offset = 0;
            }
            return n;
        }
        case Phase::File: {
            // Each piece is counted as it is handed over; no more than the
            // budget goes at a time, so the count stays as close to the line
            // as the socket's unsent queue.
            room = std::min(room, m_budget.bytes());
            std::size_t filled = 0;
            while (m_fileLeft > 0 && filled < room) {
                if (m_context.stopped() || automaticStopRequested())
                    return filled > 0 ? filled : CURL_READFUNC_ABORT;
                const std::size_t want = std::min({kFilePiece, room - filled, static_cast<std::size_t>(m_fileLeft)});
                const std::size_t n = std::fread(buffer + filled, 1, want, m_file);
                if (n == 0) // the file shrank: the announced length cannot be kept
                    return filled > 0 ? filled : CURL_READFUNC_ABORT;
                m_fileLeft -= static_cast<std::int64_t>(n);
                m_context.counter->fetch_add(n, std::memory_order_relaxed);
                filled += n;
            }
            m_budget.handedOver(filled);
            if (m_fileLeft == 0)
                m_phase = Phase::Tail;
            return filled;
        }
        case Phase::Tail:
            return copyText(m_tail, buffer, room);
        }
        return 0;
    }

    std::string m_head;
    std::FILE* m_file;
    std::int64_t m_fileBytes;
    std::int64_t m_fileLeft;
    std::string m_tail;
    TransferContext& m_context;
    UnsentBudget m_budget;
    Phase m_phase = Phase::Head;
    std::size_t m_offset = 0;
};

// Returns whether any file byte was handed over.
bool uploadMultipart(const std::string& target, const std::string& localPath, const ParallelUploadOptions& options,
                     TransferContext& context)
{
    File file = openForReading(localPath);
    if (!file)
        return false;
    const std::int64_t size = fileSize(file.get());
    if (size < 0)
        return false;
    std::string head = std::string("--") + kUploadBoundary + "\r\n" +
                       "Content-Disposition: form-data; name=\"file\"; filename=\"" + formFileName(localPath) +
                       "\"\r\n\r\n";
    std::string tail = std::string("\r\n--") + kUploadBoundary + "--\r\n";
    const auto total = static_cast<curl_off_t>(size + static_cast<std::int64_t>(head.size() + tail.size()));

    CurlHandle curl = newCurl();
    if (!curl)
        return false;
    const CurlHeaderList headers(headerLines(std::string("multipart/form-data; boundary=") + kUploadBoundary));
    MultipartBody body(std::move(head), file.get(), size, std::move(tail), context);
    commonOptions(curl.get(), target, headers, options, body.socketSlot());
    bindToContext(curl.get(), context);
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, total);
    curl_easy_setopt(curl.get(), CURLOPT_READFUNCTION, &MultipartBody::read);
    curl_easy_setopt(curl.get(), CURLOPT_READDATA, &body);
    // Room for the largest budget; the budget, not this size, decides how
    // much is handed over at a time.
    curl_easy_setopt(curl.get(), CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(kUnsentCeiling));
    curl_easy_perform(curl.get());
    return body.fileBytesSent() > 0;
}

// Returns whether any post was answered.
bool uploadRepeatedChunk(const std::string& target, const std::string& localPath, const ParallelUploadOptions& options,
                         TransferContext& context)
{
    File file = openForReading(localPath);
    if (!file)
        return false;
    std::string chunk(kRepeatedChunk, '\0');
    chunk.resize(std::fread(chunk.data(), 1, chunk.size(), file.get()));
    if (chunk.empty())
        return false;

    CurlHandle curl = newCurl();
    if (!curl)
        return false;
    const CurlHeaderList headers(headerLines("application/x-www-form-urlencoded"));
    commonOptions(curl.get(), target, headers, options);
    bindToContext(curl.get(), context);
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(chunk.size()));
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, chunk.data());
    // One connection carries post after post, as long as the server keeps it.
    bool answered = false;
    while (!context.stopped() && !automaticStopRequested()) {
        if (curl_easy_perform(curl.get()) != CURLE_OK)
            break;
        context.counter->fetch_add(chunk.size(), std::memory_order_relaxed);
        answered = true;
    }
    return answered;
}

bool multipartMethod(const std::filesystem::path& programDir)
{
    PropertyFile properties(programPath(programDir, "conf\\l_c_config_01.properties").string());
    properties.load();
    const std::string method = properties.get("upload_method");
    return method == PropertyFile::kNull || method == "m1";
}

} // namespace

bool ParallelUpload(const std::string& url, const std::string& localFilePath, ByteCounterHandle& byteCounterOut,
                    int threadCount)
{
    return ParallelUpload(url, localFilePath, byteCounterOut, threadCount, ParallelUploadOptions{});
}

bool ParallelUpload(const std::string& url, const std::string& localFilePath, ByteCounterHandle& byteCounterOut,
                    int threadCount, const ParallelUploadOptions& options)
{
    auto context = std::make_shared<TransferContext>(threadCount, options.clock);
    byteCounterOut.publish(context->counter);

    UrlParts parts;
    if (!SplitUrl(url, parts))
        return false;
    const std::string target = "http://" + HostHeaderValue(parts, true) + parts.path;
    const bool multipart = multipartMethod(options.programDir);
    const int slots = std::clamp(threadCount, 1, kMaxThreads);

    // The worker may hold a reference: every thread that runs it also holds
    // the context.
    TransferContext& shared = *context;
    superviseWindow(context, slots, options.window, options.poll, [&shared, target, localFilePath, options, multipart] {
        return multipart ? uploadMultipart(target, localFilePath, options, shared)
                         : uploadRepeatedChunk(target, localFilePath, options, shared);
    });
    return true;
}

} // namespace quorvane
