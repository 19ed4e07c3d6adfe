#pragma once
// Where the running program lives. Start-up makes the program's folder the
// working directory, so everything else can use relative paths.
#include <filesystem>
#include <string>

namespace quorvane::platform
{

// The full path of the running executable, resolved through /proc/self/exe.
// Empty when it cannot be read.
std::filesystem::path currentExecutablePath();

// The folder that holds the running executable; empty when unknown.
std::filesystem::path currentExecutableDirectory();

// The instance name of a program: its file name without folder and
// extension ("/opt/q/Quorvane" -> "Quorvane", "Quorvane.bin" -> "Quorvane").
// Copies of the program under another file name are other instances.
std::string instanceNameOf(const std::filesystem::path& executable);

} // namespace quorvane::platform
