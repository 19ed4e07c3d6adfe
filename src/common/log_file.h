#pragma once
// The text log writer behind auto.txt and logfile.txt. Each user makes one on
// the spot, opens it, writes lines and closes it.
//
// Thread-safety: every operation is serialised by the object's own lock.
// Separate objects on one file (several threads write auto.txt) stay apart
// line by line because the file is opened for appending and every line goes
// to the file in one write.
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace quorvane
{

class CLogFile
{
public:
    static constexpr long kDefaultMaxSize = 0x100000; // 1,048,576 bytes
    static constexpr std::size_t kMaxMessageBytes = 259;

    CLogFile() = default;
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // Opens `name` for appending (or truncated when !append); a file open
    // before is closed. A name shorter than 4 characters does nothing at all.
    // An absolute name is used as given; any other name is placed in the
    // program directory (the working directory that start-up fixes). A file
    // that cannot be opened leaves the object closed.
    void open(const std::string& name, bool append, long maxSize);

    // Writes one line "YYYY-MM-DD hh:mm:ss,<message>\n" in local time. The
    // message is cut to 259 bytes without splitting a UTF-8 character. When
    // the file has grown past maxSize, it is emptied first and this line
    // becomes its first. Ignored while nothing is open.
    void writeLine(std::string_view message);
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));

    void close();
    bool isOpen() const;
    std::string path() const;

    // Open for appending with the default cap, write one line, close: the
    // common use.
    static void append(const std::string& name, std::string_view message);

    // Lines that could not be written (a full disk, a folder that cannot be
    // written) since the process started, over all log files. A lost line
    // never stops the caller; the next line that goes into the same file is
    // preceded by one line saying how many went missing there and why.
    static long long linesLost();

private:
    mutable std::mutex m_mutex;
    std::string m_path;
    int m_fd = -1;
    int m_openError = 0; // why the last open failed
    long m_maxSize = kDefaultMaxSize;
};

// Text from outside (an answer, a name) with its control characters blanked,
// so a line end inside it cannot forge log lines.
std::string OneLogLine(std::string text);

} // namespace quorvane
