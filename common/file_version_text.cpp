#include "common/file_version_text.h"

#include <cerrno>
#include <cstdio>

#include "common/log.h"
#include "platform/file_version.h"

namespace orvane {

int GetFileVersionText(const char* pszAppPath, std::string* pszVersionNumber, std::size_t capacity) {
    if (!pszAppPath) {
        LogError("[ERR]The parameter pszAppPath is null");
        return 0;
    }
    if (!pszVersionNumber) {
        LogError("[ERR]The parameter pszVersionNumber is null");
        return 0;
    }
    platform::VersionNote note{};
    int err = 0;
    switch (platform::ReadFileVersion(pszAppPath, note, err)) {
        case platform::VersionReadResult::Ok:
            break;
        case platform::VersionReadResult::NoFile:
            LogError("[ERR]Get size of file version info failed! errorcode:%d", err);
            return 0;
        case platform::VersionReadResult::NotElf:
            LogError("[ERR]Get size of file version info failed! errorcode:%d", ENOEXEC);
            return 0;
        case platform::VersionReadResult::NoVersion:
            LogError("[ERR]Query Value failed!");
            return 0;
    }
    char text[64];
    int len = std::snprintf(text, sizeof text, "%u.%u.%u.%u", note.versionMs >> 16, note.versionMs & 0xFFFF,
                            note.versionLs >> 16, note.versionLs & 0xFFFF);
    if (len < 0 || 2 * static_cast<std::size_t>(len) >= capacity) {
        LogError("[ERR]The version number buffer too small");
        return 0;
    }
    pszVersionNumber->assign(text, static_cast<std::size_t>(len));
    return 1;
}

}  // namespace orvane
