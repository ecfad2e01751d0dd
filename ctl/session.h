// The stored session: the server, domain, CA and client certificate last logged in with, the
// user, the token and the identity blob that renews it. Kept in "session" inside the
// configuration folder ($ORVANE_CONFIG_DIR, else $XDG_CONFIG_HOME/orvane, else
// ~/.config/orvane), which is created owner-only (0700); the file is written owner-only (0600)
// through a temporary file and a rename, and tightened when found readable by others.
#ifndef ORVANE_CTL_SESSION_H_
#define ORVANE_CTL_SESSION_H_

#include <string>

namespace ctl {

struct session {
  std::string server;
  std::string domain;
  std::string ca;
  std::string cert;
  std::string key;
  std::string user;
  std::string token;
  std::string expire;    // the token's expiry, seconds since the epoch
  std::string identity;  // renews the token without the password; empty: none kept

  bool logged_in() const { return !token.empty(); }
};

// The configuration folder.
std::string config_dir();

// Reads the session; an absent file is an empty session. False with a message when the file
// exists but cannot be read.
bool session_load(session* s, std::string* error);
// Writes the session (creating the folder). False with a message on failure.
bool session_save(const session& s, std::string* error);
// Removes the stored session.
bool session_remove(std::string* error);

}  // namespace ctl

#endif  // ORVANE_CTL_SESSION_H_
