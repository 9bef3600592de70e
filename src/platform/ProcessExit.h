#pragma once

namespace orvel {

namespace ProcessExit {
// Ends the process at once with `status`, running no destructor and joining
// no thread. Closing a file on a drive that stopped answering waits for the
// drive, even when the process exits: the files on drives are left open in a
// child that shares the descriptor table and ends after the process, so that
// only the child waits for the drive. Every other descriptor (sockets, pipes,
// the terminal) is closed first.
[[noreturn]] void leavingDriveFilesOpen(int status);
}  // namespace ProcessExit

}  // namespace orvel
