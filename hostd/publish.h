// The published name-service cache (layout in hostproto/cache_view.h): built from the daemon's
// entries without their password hashes, and written where the module maps it.
#ifndef ORVANE_HOSTD_PUBLISH_H_
#define ORVANE_HOSTD_PUBLISH_H_

#include <string>

namespace orvane_hostd {

struct snapshot;

// The file's bytes for the snapshot. Each passwd entry's group is its user's own group (gid =
// uid), as the server's group entries have it.
std::string publish_image(const snapshot& s);

// Writes the image aside, flushes it and renames it over path, world-readable. 0 or -1.
int publish_write(const std::string& path, const snapshot& s);

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_PUBLISH_H_
