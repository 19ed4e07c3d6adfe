// What the idle hand-back may unmap: only ranges of the named library that
// hold nothing but the file's own pages, never written (relocated) data.
#include "platform/idle_memory.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

using namespace quorvane::platform;

namespace
{

// One smaps entry: the head line and its Anonymous line (none when
// `anonymousKb` is negative).
std::string entry(const std::string& head, int anonymousKb)
{
    std::string text = head + "\nSize:               1024 kB\nRss:                 512 kB\n";
    if (anonymousKb >= 0)
        text += "Anonymous:          " + std::to_string(anonymousKb) + " kB\n";
    return text + "VmFlags: rd mr mw me\n";
}

} // namespace

TEST(IdleMemory, TakesOnlyTheLibrarysUnwrittenReadOnlyRanges)
{
    const std::string lib = " 08:01 11 /usr/lib/libQt6WebEngineCore.so.6.4.2";
    const std::string smaps =
        entry("7f0000000000-7f0000100000 r--p 00000000" + lib, 0) +  // taken
        entry("7f0000100000-7f0004000000 r-xp 00100000" + lib, 0) +  // taken
        entry("7f0004000000-7f0004100000 r--p 04000000" + lib, 8) +  // relocated: written pages
        entry("7f0004100000-7f0004200000 rw-p 04100000" + lib, 0) +  // writable
        entry("7f0004200000-7f0004300000 r--p 04200000" + lib, -1) + // no Anonymous line
        entry("7f0005000000-7f0005001000 r--p 00000000 08:01 12 /usr/lib/libQt6WebEngineWidgets.so.6", 0) +
        entry("7f0007000000-7f0007001000 r-xp 00000000 08:01 14 /opt/libQt6WebEngineCore.so.6 (deleted)", 0) +
        entry("7f0008000000-7f0008001000 r--p 00000000 00:00 0 ", 0) +
        entry("7f0009000000-7f0009001000 r--p 00000000 00:00 0 [vvar]", 0) +
        entry("zz-7f000b001000 r--p 00000000" + lib, 0) + entry("7f000c001000-7f000c000000 r--p 00000000" + lib, 0) +
        entry("7f000d000000-7f000d001000 r--s 00000000 08:01 16 /other/libQt6WebEngineCore.so.6", 0); // taken
    const std::vector<MappedRange> expected = {
        {0x7f0000000000, 0x7f0000100000}, {0x7f0000100000, 0x7f0004000000}, {0x7f000d000000, 0x7f000d001000}};
    EXPECT_EQ(readOnlyFileRanges(smaps, "libQt6WebEngineCore"), expected);
    EXPECT_TRUE(readOnlyFileRanges(smaps, "").empty());
    EXPECT_TRUE(readOnlyFileRanges(smaps, "libQt6WebEngineCore.so.7").empty());
    EXPECT_EQ(readOnlyFileRanges(smaps, "libQt6WebEngineW").size(), 1u);
    // The last entry's Anonymous line may end the text without a newline.
    std::string unterminated = entry("7f0000000000-7f0000100000 r-xp 00000000" + lib, 0);
    unterminated.erase(unterminated.find("VmFlags"));
    unterminated.pop_back();
    EXPECT_EQ(readOnlyFileRanges(unterminated, "libQt6WebEngineCore").size(), 1u);
}

// A file mapped read-only: its pages are unmapped and read back intact; a
// private copy written before it was made read-only keeps what was written.
TEST(IdleMemory, UnmappedPagesReadBackIntactAndWrittenOnesStay)
{
    char path[] = "/tmp/qv-idle-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::size_t length = 64 * 4096;
    std::string content(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        content[i] = static_cast<char>('a' + i % 23);
    ASSERT_EQ(::write(fd, content.data(), length), static_cast<ssize_t>(length));
    auto* plain = static_cast<char*>(::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0));
    auto* written = static_cast<char*>(::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0));
    ::close(fd);
    ASSERT_NE(plain, MAP_FAILED);
    ASSERT_NE(written, MAP_FAILED);
    written[4096] = '#';
    ASSERT_EQ(::mprotect(written, length, PROT_READ), 0);
    std::string expectedWritten = content;
    expectedWritten[4096] = '#';
    volatile char touched = plain[0];
    (void)touched;

    const IdleRelease release = releaseIdleMemory(std::string(path).substr(5)); // the name after "/tmp/"
    EXPECT_EQ(release.unmappedBytes, length);
    EXPECT_GT(release.residentBefore, 0u);
    EXPECT_EQ(std::string(plain, length), content);
    EXPECT_EQ(std::string(written, length), expectedWritten);
    EXPECT_EQ(releaseIdleMemory().unmappedBytes, 0u); // no library named: the heap alone
    ::munmap(plain, length);
    ::munmap(written, length);
    ::unlink(path);
}
