#include "net/http_get.h"

#include "net/http_internal.h"
#include "net/http_url.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace quorvane
{

using namespace http_detail;

namespace
{

// A receive takes what the socket holds, up to this much: small pieces cost
// a system call per kilobyte, which on a fast line is the processor's limit,
// not the line's. Every byte received is counted all the same.
constexpr std::size_t kBodyPiece = 256 * 1024;
constexpr int kMaxThreads = 64;

std::vector<std::string> timedGetRequest(const UrlParts& url)
{
    return {"GET " + url.path + " HTTP/1.1\r\n",
            "Accept: */*\r\n",
            "Cache-Control: no-cache\r\n",
            "Connection: Keep-Alive\r\n",
            "Host: " + HostHeaderValue(url, false) + "\r\n",
            "Pragma: no-cache\r\n",
            "\r\n"};
}

std::vector<std::string> parallelGetRequest(const UrlParts& url)
{
    return {"GET " + url.path + " HTTP/1.1\r\n",
            "Accept: */*\r\n",
            "Accept-Encoding: gzip, deflate\r\n",
            "Connection: Keep-Alive\r\n",
            "Host: " + HostHeaderValue(url, false) + "\r\n",
            "Cache-Control: no-cache\r\n",
            "Pragma: no-cache\r\n",
            "\r\n"};
}

std::uint32_t millisecondsBetween(Clock::Steady::time_point start, Clock::Steady::time_point end)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
    return static_cast<std::uint32_t>(std::max<long long>(ms, 0));
}

std::uint32_t millisecondsSince(const Clock& clock, Clock::Steady::time_point start)
{
    return millisecondsBetween(start, clock.now());
}

// Receives up to `contentLength` body bytes, counting each receive into the
// context's counter as it arrives. Ends at the end of the body, a
// receive error or time-out, the end of the stream, or the context's stop.
// Returns the bytes received.
std::int64_t receiveBody(int fd, std::int64_t contentLength, TransferContext& context)
{
    const auto buffer = std::make_unique_for_overwrite<char[]>(kBodyPiece);
    std::int64_t total = 0;
    while (total < contentLength && !context.stopped() && !automaticStopRequested()) {
        // Never read past the body: what follows it is not part of this answer.
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBodyPiece, contentLength - total));
        const ssize_t n = ::recv(fd, buffer.get(), want, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        context.counter->fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        total += n;
    }
    return total;
}

// One connection: request, head, body. Returns the body bytes received.
std::int64_t fetchOnce(const UrlParts& url, const std::vector<std::string>& request,
                       std::chrono::milliseconds connectTimeout, std::chrono::milliseconds receiveTimeout,
                       TransferContext& context)
{
    const int fd = connectTcp(url, connectTimeout, receiveTimeout, context);
    if (fd < 0)
        return 0;
    HttpHeadParser head;
    std::int64_t length = 0;
    std::int64_t received = 0;
    if (sendLines(fd, request) && readHead(fd, head))
        length = acceptedContentLength(head);
    if (length > 0) {
        context.contentLength = length;
        received = receiveBody(fd, length, context);
    }
    context.release(fd);
    return received;
}

} // namespace

bool CHttpGet::TimedGet(const std::string& url, ByteCounterHandle& byteCounterOut,
                        std::atomic<std::int64_t>& contentLengthOut, std::atomic<std::uint32_t>& connectMsOut,
                        std::atomic<std::uint32_t>& loadMsOut, int timeoutSeconds)
{
    auto context = std::make_shared<TransferContext>(0, m_options.clock);
    const Clock& clock = *context->clock;
    byteCounterOut.publish(context->counter);
    contentLengthOut = 0;
    connectMsOut = 0;
    loadMsOut = 0;

    UrlParts parts;
    if (!SplitUrl(url, parts))
        return false;
    const auto request = timedGetRequest(parts);

    // The first connection only learns the size; its time to connect is the
    // connect time the test reports.
    const auto connectStart = clock.now();
    const int fd = connectTcp(parts, m_options.connectTimeout, m_options.receiveTimeout, *context);
    if (fd < 0)
        return false;
    connectMsOut = millisecondsSince(clock, connectStart);
    HttpHeadParser head;
    const bool headRead = sendLines(fd, request) && readHead(fd, head);
    context->release(fd);
    const std::int64_t length = headRead ? acceptedContentLength(head) : 0;
    if (length <= 0)
        return false;
    contentLengthOut = length;

    const auto loadStart = clock.now();
    const Options options = m_options;
    // The load ends when the reading thread is done, not when this thread,
    // woken late on a busy machine, gets to look at the clock.
    auto endedAt = std::make_shared<std::atomic<Clock::Steady::rep>>(0);
    const bool started = startTransferThread([context, parts, request, options, endedAt] {
        fetchOnce(parts, request, options.connectTimeout, options.receiveTimeout, *context);
        endedAt->store(context->clock->now().time_since_epoch().count());
        context->markDone();
    });
    bool done = false;
    if (started) {
        done = true;
        if (timeoutSeconds < 0)
            context->waitDone();
        else
            done = context->waitDone(loadStart + std::chrono::seconds(timeoutSeconds));
    }
    // Ends a reading thread that is still at work; whatever it still receives
    // goes only into this transfer's counter.
    context->stopAll();
    loadMsOut =
        done ? millisecondsBetween(loadStart, Clock::Steady::time_point(Clock::Steady::duration(endedAt->load())))
             : millisecondsSince(clock, loadStart);
    return true;
}

bool CHttpDownloadGet::ParallelGet(const std::string& url, ByteCounterHandle& byteCounterOut, int threadCount)
{
    auto context = std::make_shared<TransferContext>(threadCount, m_options.clock);
    byteCounterOut.publish(context->counter);

    UrlParts parts;
    if (!SplitUrl(url, parts))
        return false;
    const auto request = parallelGetRequest(parts);
    const Options options = m_options;
    const int slots = std::clamp(threadCount, 1, kMaxThreads);

    TransferContext& shared = *context;
    // The worker may hold a reference: every thread that runs it also holds
    // the context.
    superviseWindow(context, slots, options.window, options.poll, [&shared, parts, request, options] {
        return fetchOnce(parts, request, options.connectTimeout, options.receiveTimeout, shared) > 0;
    });
    return true;
}

} // namespace quorvane
