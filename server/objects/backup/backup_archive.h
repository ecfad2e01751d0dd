// The file work of the backups module: running tar from an argument vector and copying
// directory trees in process. Nothing here goes through a shell.
#ifndef ORVANE_OBJECTS_BACKUP_BACKUP_ARCHIVE_H_
#define ORVANE_OBJECTS_BACKUP_BACKUP_ARCHIVE_H_

#include <set>
#include <string>
#include <vector>

namespace orvane {

// Runs "tar" (looked up in PATH) with the arguments, its standard output on out_fd (or
// /dev/null with -1), standard input on /dev/null, with the default signal mask and SIGPIPE
// disposition. Returns 0 when it exits with status 0, otherwise -1 (logged).
int backup_run_tar(const std::vector<std::string>& args, int out_fd = -1);

// Writes <dir>/<base> as a gzip'd tar stream into a new file `archive` created readable by its
// owner only; the file must not exist yet. On failure the file is removed. Returns 0 or -1.
int backup_archive_create(const std::string& archive, const std::string& dir,
                          const std::string& base);
// Extracts the archive below the directory `into`. Returns 0 or -1.
int backup_archive_extract(const std::string& archive, const std::string& into);

// Copies the directory src to dst (which must not exist) with every regular file and directory
// below it, keeping permission bits and modification times; other entries (links, devices) are
// skipped. Top-level entries named in skip are left out. With lock_files, each file is read
// under a shared flock. Returns 0 or -1 (logged); dst may then hold a partial copy.
int backup_copy_tree(const std::string& src, const std::string& dst, bool lock_files,
                     const std::set<std::string>& skip = {});

}  // namespace orvane

#endif  // ORVANE_OBJECTS_BACKUP_BACKUP_ARCHIVE_H_
