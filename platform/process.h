#pragma once
// This process: its executable, its id, and the system folders the programs refer to.
#include <string>

namespace orvane::platform {

enum class ModulePathResult { Ok, Failed, Truncated };

// Full path of the running executable, at most capacity - 1 characters.
ModulePathResult GetModulePath(std::string& path, std::size_t capacity, int& err);

// The folder part of a path (without the trailing separator).
std::string FolderOf(const std::string& path);

// Joins a folder and a name with the path separator.
std::string JoinPath(const std::string& folder, const std::string& name);

// The system's folder for installed programs (Program Files on Windows).
std::string ProgramFilesFolder();

unsigned CurrentProcessId();

}  // namespace orvane::platform
