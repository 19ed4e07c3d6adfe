#pragma once
// The upload half of the bandwidth test: parallel HTTP POSTs of a local file
// over a fixed window, counting the file bytes handed to the network.
//
// Thread-safety: the call blocks its calling thread for the window; run it on
// a worker thread. Separate calls may run at the same time.
#include "common/clock.h"
#include "net/http_transfer.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace quorvane
{

struct ParallelUploadOptions {
    std::chrono::milliseconds window{18000};
    std::chrono::milliseconds poll{100}; // longest wait between checks of the window and the stop flags
    std::chrono::milliseconds connectTimeout{5000};
    // The program directory, under which "conf\l_c_config_01.properties"
    // names the upload method.
    std::filesystem::path programDir{"."};
    // The window and the checks run on `clock`; the connect time-out on real time.
    std::shared_ptr<Clock> clock = systemClock();
};

// The multipart boundary of the "m1" upload method.
inline constexpr const char* kUploadBoundary = "----------------63686572697368";

// Uploads `localFilePath` to `url` (plain HTTP to the URL's host and port)
// over `threadCount` connections (callers pass 5) for the window, starting a
// new upload whenever one ends. The method is `upload_method` of
// "conf\l_c_config_01.properties": "m1" (also when the key is absent) posts
// the whole file as multipart form data, counting each piece handed over;
// any other value posts the file's first 32768 bytes again and again on one
// connection, counting each post once it was answered.
// `byteCounterOut` receives the live counter before any network work.
// Blocks for the window, or until the scheduler's automatic stop. False only
// when the URL cannot be split.
bool ParallelUpload(const std::string& url, const std::string& localFilePath, ByteCounterHandle& byteCounterOut,
                    int threadCount);
bool ParallelUpload(const std::string& url, const std::string& localFilePath, ByteCounterHandle& byteCounterOut,
                    int threadCount, const ParallelUploadOptions& options);

} // namespace quorvane
