#pragma once
// Where the workers keep their state stores, shared by the worker (which writes them) and
// orvanectl (which shows and resets them without opening them).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// The folder of the stores: ORVANE_STATE_DIR when set (tests), else /var/lib/orvane.
std::string StateFolder();
// A worker's file in that folder: "state-reports.db" for the client-report worker (server
// argument "." or empty), "state-dc-<server>.db" for a log-query worker (characters other than
// letters, digits, '.', '-' and ':' become '_').
std::string StateFileName(std::string_view serverArgument);

struct StateFileInfo {
    std::string name;            // the database file's name ("state-reports.db")
    std::uint64_t bytes = 0;     // the database and its write-ahead log together
    std::int64_t lastWrite = 0;  // the later modification time of the two, seconds since 1970
};
// The stores in `folder`, by name; none when the folder cannot be read.
std::vector<StateFileInfo> ListStateFiles(const std::string& folder);
// Deletes every store of `folder` (database, write-ahead log, shared-memory index); set-aside
// damaged stores stay for the administrator. False with errno at the first failure.
bool RemoveStateFiles(const std::string& folder, std::size_t& removed);

}  // namespace orvane
