#pragma once
// The text log writer behind auto.txt and logfile.txt. Each user makes one on
// the spot, opens it, writes lines and closes it. Every operation is
// serialised by the object's own lock; separate objects on one file rely on
// append mode and the flush after every line.
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace quorvane {

class CLogFile {
public:
    static constexpr long kDefaultMaxSize = 0x100000; // 1,048,576 bytes
    static constexpr std::size_t kMaxMessageBytes = 259;

    CLogFile() = default;
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Opens `name` for appending (or truncated when !append). A name shorter
    // than 4 characters opens nothing. An absolute name is used as given; any
    // other name is placed in the program directory (the working directory
    // that start-up fixes).
    void open(const std::string& name, bool append, long maxSize);

    // Writes one line "YYYY-MM-DD hh:mm:ss,<message>\n" in local time. The
    // message is cut to 259 bytes without splitting a character. When the
    // file has grown past maxSize, it is emptied first and this line becomes
    // its first. Ignored while nothing is open.
    void writeLine(std::string_view message);
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));

    void close();
    bool isOpen() const;

    // Open, write one line, close: the common use.
    static void append(const std::string& name, std::string_view message);

private:
    mutable std::mutex m_mutex;
    std::string m_path;
    std::FILE* m_file = nullptr;
    long m_maxSize = kDefaultMaxSize;
};

} // namespace quorvane
